// The assertion dialog as a question at the terminal, and the ANSI code page of its texts.
#include "platform/AssertDialog.h"

#include <cstdio>

#include "platform/Process.h"

namespace platform {
namespace {

// Windows-1252 maps 0x80-0x9F to these characters; the rest of the code page is Latin-1.
constexpr char16_t windows1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                          0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                          0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                          0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

int RunAssertDialog(const std::vector<std::uint8_t>&, const AssertDialogFields& fields) {
    if (!IsInteractive()) return 0;

    std::string application;
    if (GetProgramPath(&application)) application = AssertSourceFileName(application.c_str());
    std::string report =
        "Assert Failed: " + application + "\n" +
        FormatAssertClipboardText(application.c_str(), fields.fileName.c_str(), fields.lineText.c_str(),
                                  fields.expression.c_str(), fields.message.c_str());
    for (std::size_t at; (at = report.find('\r')) != std::string::npos;) report.erase(at, 1);
    std::fputs(report.c_str(), stderr);

    for (;;) {
        std::fputs("[D]ebug, [I]gnore, Ignore [A]lways, E[x]it? ", stderr);
        std::fflush(stderr);
        char answer[64];
        // End of input is Ignore.
        if (std::fgets(answer, sizeof answer, stdin) == nullptr) return assertChoiceIgnore;
        switch (answer[0]) {
            case 'd':
            case 'D': return assertChoiceDebug;
            case 'i':
            case 'I': return assertChoiceIgnore;
            case 'a':
            case 'A': return assertChoiceIgnoreAlways;
            case 'x':
            case 'X':
            case 'e':
            case 'E': return assertChoiceExit;
            default: break;
        }
    }
}

std::u16string AnsiToUtf16(const char* text) {
    // Archives made on Windows name their files in its Western code page.
    std::u16string wide;
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text != nullptr ? text : ""); *c; ++c)
        wide.push_back(*c >= 0x80 && *c < 0xA0 ? windows1252High[*c - 0x80] : static_cast<char16_t>(*c));
    return wide;
}

}  // namespace platform
