// Showing the assertion dialog and waiting for the user's answer: a Win32 dialog on Windows, a
// question at the terminal elsewhere. The template comes from diagnostics/.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

/// The dialog's results, as its buttons end it.
enum AssertChoice {
    assertChoiceDebug = 1,
    assertChoiceIgnore = 2,
    assertChoiceIgnoreAlways = 3,
    assertChoiceExit = 4,
};

/// Control identifiers of the dialog's fields and buttons.
enum AssertControl : std::uint16_t {
    assertControlFileName = 1000,
    assertControlExpression = 1001,
    assertControlMessage = 1002,
    assertControlLine = 1003,
    assertControlDebug = 1004,
    assertControlIgnore = 5,
    assertControlIgnoreAlways = 6,
    assertControlExit = 7,
};

/// The last component of a recorded source path (after its last '\', or '/' as recorded on this
/// system), or the whole path when it has none.
std::string AssertSourceFileName(const char* file);

/// The report text that the dialog copies to the clipboard:
/// "Application: %s\r\nFilename: %s (%s)\r\nExpression: %s\r\nMessage: %s\r\n".
/// `message` may be null.
std::string FormatAssertClipboardText(const char* application, const char* fileName, const char* lineText,
                                      const char* expression, const char* message);

/// The four fields the dialog fills in.
struct AssertDialogFields {
    std::string fileName;  // the source file's name, without its folders
    std::string lineText;  // the line number in decimal
    std::string expression;
    std::string message;  // empty when the check has none
};

/// Shows the dialog built from `dialogTemplate` (a DLGTEMPLATE in memory) and waits for a button;
/// on Windows the report is left on the clipboard too. Elsewhere the same texts are a question at
/// the terminal. Gives the answer (1 Debug, 2 Ignore, 3 Ignore Always, 4 Exit), or 0 or -1 when
/// nobody can be asked: no desktop, or no terminal on standard input and standard error.
int RunAssertDialog(const std::vector<std::uint8_t>& dialogTemplate, const AssertDialogFields& fields);

/// Converts `text` from the system's ANSI code page to UTF-16.
std::u16string AnsiToUtf16(const char* text);

}  // namespace platform
