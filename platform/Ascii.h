// ASCII case folding, the only folding that names and commands get: bytes outside A-Z and a-z
// are left as they are, whatever the locale.
#pragma once

namespace platform {

constexpr char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

constexpr char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - ('a' - 'A')) : c; }

/// True when the two zero-terminated texts are equal with ASCII case ignored.
constexpr bool EqualIgnoringAsciiCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (AsciiLower(*a) != AsciiLower(*b)) return false;
    return *a == *b;
}

}  // namespace platform
