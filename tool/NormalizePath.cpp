#include "tool/NormalizePath.h"

#include "platform/Ascii.h"

namespace tool {

void NormalizePath(std::string& path) {
    for (char& c : path) c = c == '\\' ? '/' : platform::AsciiLower(c);
}

}  // namespace tool
