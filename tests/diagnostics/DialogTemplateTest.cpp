// The bytes of the assertion dialog's template, decoded by an independent reader.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diagnostics/AssertDialog.h"
#include "diagnostics/DialogTemplate.h"

namespace {

class TemplateReader {
public:
    explicit TemplateReader(const std::vector<std::uint8_t>& bytes) : bytes(bytes) {}
    std::uint16_t Word() {
        EXPECT_LE(at + 2, bytes.size());
        const std::uint16_t v = static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
        at += 2;
        return v;
    }
    std::uint32_t Dword() {
        const std::uint32_t low = Word();
        return low | (std::uint32_t(Word()) << 16);
    }
    std::u16string String() {
        std::u16string s;
        for (std::uint16_t c; (c = Word()) != 0;) s.push_back(static_cast<char16_t>(c));
        return s;
    }
    void Align() {
        while (at % 4 != 0) {
            EXPECT_EQ(bytes[at], 0);
            ++at;
        }
    }
    std::size_t Position() const { return at; }
    bool AtEnd() const { return at == bytes.size(); }

private:
    const std::vector<std::uint8_t>& bytes;
    std::size_t at = 0;
};

struct Control {
    std::uint16_t classAtom;
    std::u16string text;
    short x, y, width, height;
    std::uint16_t identifier;
    std::uint32_t style, extendedStyle;
};

TEST(DialogTemplate, AssertDialogHeaderAndTwelveControls) {
    const diag::DialogTemplate dialog = diag::BuildAssertDialogTemplate();
    TemplateReader reader(dialog.Bytes());

    EXPECT_EQ(reader.Dword(), 0x00C00000u | 0x0800u | 0x40u);  // WS_CAPTION | DS_CENTER | DS_SETFONT
    EXPECT_EQ(reader.Dword(), 0u);
    EXPECT_EQ(reader.Word(), 12u);
    EXPECT_EQ(reader.Word(), 10u);
    EXPECT_EQ(reader.Word(), 10u);
    EXPECT_EQ(reader.Word(), 353u);
    EXPECT_EQ(reader.Word(), 80u);
    EXPECT_EQ(reader.Word(), 0u);  // no menu
    EXPECT_EQ(reader.Word(), 0u);  // the default dialog class
    EXPECT_EQ(reader.String(), u"Assert Failed!");
    EXPECT_EQ(reader.Word(), 8u);
    EXPECT_EQ(reader.String(), u"Tahoma");

    const std::uint32_t visible = 0x10000000, field = visible | 0x0800 | 0x0080, edge = 0x00020000;
    const Control expected[] = {
        {0x82, u"Filename:", 5, 7, 37, 8, 0xFFFF, visible, 0},    {0x82, u"Line:", 290, 7, 16, 8, 0xFFFF, visible, 0},
        {0x82, u"Expression:", 5, 24, 37, 8, 0xFFFF, visible, 0}, {0x82, u"Message:", 5, 42, 37, 8, 0xFFFF, visible, 0},
        {0x81, u"Edit", 48, 7, 239, 12, 1000, field, edge},       {0x81, u"Edit", 309, 7, 39, 12, 1003, field, edge},
        {0x81, u"Edit", 48, 24, 300, 12, 1001, field, edge},      {0x81, u"Edit", 48, 41, 300, 12, 1002, field, edge},
        {0x80, u"Debug", 5, 62, 56, 13, 1004, visible, 0},        {0x80, u"Ignore", 68, 62, 56, 13, 5, visible, 0},
        {0x80, u"Ignore Always", 130, 62, 56, 13, 6, visible, 0}, {0x80, u"Exit", 195, 62, 56, 13, 7, visible, 0},
    };
    for (const Control& c : expected) {
        SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
        reader.Align();
        EXPECT_EQ(reader.Position() % 4, 0u);
        EXPECT_EQ(reader.Dword(), c.style);
        EXPECT_EQ(reader.Dword(), c.extendedStyle);
        EXPECT_EQ(static_cast<short>(reader.Word()), c.x);
        EXPECT_EQ(static_cast<short>(reader.Word()), c.y);
        EXPECT_EQ(static_cast<short>(reader.Word()), c.width);
        EXPECT_EQ(static_cast<short>(reader.Word()), c.height);
        EXPECT_EQ(reader.Word(), c.identifier);
        EXPECT_EQ(reader.Word(), 0xFFFFu);
        EXPECT_EQ(reader.Word(), c.classAtom);
        EXPECT_EQ(reader.String(), c.text);
        EXPECT_EQ(reader.Word(), 0u);  // no creation data
    }
    EXPECT_TRUE(reader.AtEnd());
}

TEST(DialogTemplate, StringsConvertFromWindows1252) {
    diag::DialogTemplate dialog("", 0, 0, 0, 0, 0, 0, nullptr);
    const std::size_t start = dialog.Bytes().size();
    dialog.AppendString("A\x80\xE9");
    const std::vector<std::uint8_t> tail(dialog.Bytes().begin() + static_cast<long>(start), dialog.Bytes().end());
    EXPECT_EQ(tail, (std::vector<std::uint8_t>{'A', 0, 0xAC, 0x20, 0xE9, 0, 0, 0}));
    // Without DS_SETFONT the header ends after the title.
    EXPECT_EQ(start, 18u + 2 + 2 + 2);
}

}  // namespace
