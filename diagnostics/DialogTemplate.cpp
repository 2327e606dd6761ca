// The dialog template builder; portable code, shown by the Win32 build.
#include "diagnostics/DialogTemplate.h"

#include "platform/AssertDialog.h"

namespace diag {
namespace {

// Offset of the control count in the dialog header.
constexpr std::size_t controlCountOffset = 8;

}  // namespace

DialogTemplate::DialogTemplate(const char* title, std::uint32_t style, short x, short y, short width, short height,
                               std::uint16_t pointSize, const char* fontName) {
    AppendDword(style);
    AppendDword(0);
    AppendWord(0);
    AppendWord(static_cast<std::uint16_t>(x));
    AppendWord(static_cast<std::uint16_t>(y));
    AppendWord(static_cast<std::uint16_t>(width));
    AppendWord(static_cast<std::uint16_t>(height));
    AppendWord(0);
    AppendWord(0);
    AppendString(title);
    if (style & dialogStyleSetFont) {
        AppendWord(pointSize);
        AppendString(fontName);
    }
}

void DialogTemplate::AddControl(std::uint16_t classAtom, const char* text, short x, short y, short width, short height,
                                std::uint16_t identifier, std::uint32_t style, std::uint32_t extendedStyle) {
    AlignToDword();
    AppendDword(style);
    AppendDword(extendedStyle);
    AppendWord(static_cast<std::uint16_t>(x));
    AppendWord(static_cast<std::uint16_t>(y));
    AppendWord(static_cast<std::uint16_t>(width));
    AppendWord(static_cast<std::uint16_t>(height));
    AppendWord(identifier);
    AppendWord(0xFFFF);
    AppendWord(classAtom);
    AppendString(text);
    const std::uint16_t count =
        static_cast<std::uint16_t>(buffer[controlCountOffset] | (buffer[controlCountOffset + 1] << 8)) + 1;
    buffer[controlCountOffset] = static_cast<std::uint8_t>(count);
    buffer[controlCountOffset + 1] = static_cast<std::uint8_t>(count >> 8);
}

void DialogTemplate::AddButton(const char* text, short x, short y, short width, short height,
                               std::uint16_t identifier) {
    AddControl(classButton, text, x, y, width, height, identifier, windowStyleVisible, 0);
    AppendWord(0);
}

void DialogTemplate::AppendString(const char* text) {
    for (const char16_t c : platform::AnsiToUtf16(text)) AppendWord(c);
    AppendWord(0);
}

void DialogTemplate::AppendWord(std::uint16_t value) {
    buffer.push_back(static_cast<std::uint8_t>(value));
    buffer.push_back(static_cast<std::uint8_t>(value >> 8));
}

void DialogTemplate::AppendDword(std::uint32_t value) {
    AppendWord(static_cast<std::uint16_t>(value));
    AppendWord(static_cast<std::uint16_t>(value >> 16));
}

void DialogTemplate::AlignToDword() {
    while (buffer.size() % 4 != 0) buffer.push_back(0);
}

}  // namespace diag
