// What the assertion dialog shows and copies, and what its answers do.
#pragma once

#include <string>

#include "diagnostics/DialogTemplate.h"
#include "platform/AssertDialog.h"

namespace diag {

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

/// The "Assert Failed!" dialog: 353 x 80 dialog units, Tahoma 8, four labels, four read-only
/// fields and the Debug, Ignore, Ignore Always and Exit buttons.
DialogTemplate BuildAssertDialogTemplate();

/// What shows the dialog and gives its result: platform::RunAssertDialog unless replaced.
using AssertDialogRunner = int (*)(const std::vector<std::uint8_t>& dialogTemplate,
                                   const platform::AssertDialogFields& fields);

/// Makes `runner` show the dialog from now on, or the platform's own again when it is null;
/// tests answer the dialog this way. Gives the runner it replaces.
AssertDialogRunner ReplaceAssertDialogRunner(AssertDialogRunner runner);

/// Maps the dialog's result to the report's answer: Ignore gives false, Ignore Always sets
/// `*ignoreAlways` and gives false, Exit runs the exit handlers and ends the process with
/// status 0, and Debug or any other result gives true (break into the debugger).
bool ActOnAssertChoice(int choice, bool* ignoreAlways);

}  // namespace diag
