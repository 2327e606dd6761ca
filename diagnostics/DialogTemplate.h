// Builds a Win32 dialog template (DLGTEMPLATE followed by DLGITEMTEMPLATE records) in memory.
//
// Layout, all little-endian:
//   header   DWORD style, DWORD extended style, WORD control count, short x, y, cx, cy,
//            WORD 0 (no menu), WORD 0 (default dialog class), UTF-16 title with its zero,
//            WORD point size and UTF-16 face name (the style asks for a font).
//   control  padded to a 4-byte boundary: DWORD style, DWORD extended style,
//            short x, y, cx, cy, WORD identifier, WORD 0xFFFF and WORD class atom,
//            UTF-16 text with its zero, WORD 0 (no creation data).
#pragma once

#include <cstdint>
#include <vector>

namespace diag {

// Style bits of the dialog and its controls.
constexpr std::uint32_t dialogStyleSetFont = 0x00000040;       // DS_SETFONT
constexpr std::uint32_t dialogStyleCenter = 0x00000800;        // DS_CENTER
constexpr std::uint32_t windowStyleCaption = 0x00C00000;       // WS_CAPTION
constexpr std::uint32_t windowStyleVisible = 0x10000000;       // WS_VISIBLE
constexpr std::uint32_t editStyleAutoHScroll = 0x0080;         // ES_AUTOHSCROLL
constexpr std::uint32_t editStyleReadOnly = 0x0800;            // ES_READONLY
constexpr std::uint32_t windowExStyleStaticEdge = 0x00020000;  // WS_EX_STATICEDGE

// Predefined window class atoms.
constexpr std::uint16_t classButton = 0x0080;
constexpr std::uint16_t classEdit = 0x0081;
constexpr std::uint16_t classStatic = 0x0082;

class DialogTemplate {
public:
    /// Writes the dialog header with no controls, then the empty menu, the default class, the
    /// title and, when `style` has DS_SETFONT, the point size and the face name.
    DialogTemplate(const char* title, std::uint32_t style, short x, short y, short width, short height,
                   std::uint16_t pointSize, const char* fontName);
    virtual ~DialogTemplate() = default;

    /// Pads to a 4-byte boundary and appends one control record with its class atom and text,
    /// raising the header's control count. The caller appends the creation-data word.
    void AddControl(std::uint16_t classAtom, const char* text, short x, short y, short width, short height,
                    std::uint16_t identifier, std::uint32_t style, std::uint32_t extendedStyle);

    /// A push button in the dialog's button row: AddControl and the zero creation-data word.
    void AddButton(const char* text, short x, short y, short width, short height, std::uint16_t identifier);

    /// Appends `text`, converted from the system's ANSI code page to UTF-16, and its zero.
    void AppendString(const char* text);

    /// Appends one little-endian 16-bit word.
    void AppendWord(std::uint16_t value);

    const std::vector<std::uint8_t>& Bytes() const { return buffer; }

private:
    void AppendDword(std::uint32_t value);
    void AlignToDword();

    std::vector<std::uint8_t> buffer;
};

}  // namespace diag
