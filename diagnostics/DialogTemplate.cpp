// The dialog template builder; portable code, shown by the Win32 build.
#include "diagnostics/DialogTemplate.h"

namespace diag {
namespace {

// Offset of the control count in the dialog header.
constexpr std::size_t controlCountOffset = 8;

// Windows-1252 maps 0x80-0x9F to these characters; the rest of the code page is Latin-1.
constexpr std::uint16_t windows1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                               0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                               0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                               0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

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
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text != nullptr ? text : ""); *c; ++c)
        AppendWord(*c >= 0x80 && *c < 0xA0 ? windows1252High[*c - 0x80] : *c);
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
