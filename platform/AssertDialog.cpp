// The texts of the assertion dialog, the same on every system.
#include "platform/AssertDialog.h"

namespace platform {
namespace {

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

std::string AssertSourceFileName(const char* file) {
    const char* name = OrEmpty(file);
    for (const char* c = name; *c; ++c)
        if (*c == '\\' || *c == '/') name = c + 1;
    return name;
}

std::string FormatAssertClipboardText(const char* application, const char* fileName, const char* lineText,
                                      const char* expression, const char* message) {
    std::string text;
    text.append("Application: ").append(OrEmpty(application)).append("\r\n");
    text.append("Filename: ").append(OrEmpty(fileName)).append(" (").append(OrEmpty(lineText)).append(")\r\n");
    text.append("Expression: ").append(OrEmpty(expression)).append("\r\n");
    text.append("Message: ").append(OrEmpty(message)).append("\r\n");
    return text;
}

}  // namespace platform
