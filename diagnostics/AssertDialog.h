// What the assertion dialog shows and copies, and what its answers do.
#pragma once

#include <string>

#include "diagnostics/DialogTemplate.h"
#include "platform/AssertDialog.h"

namespace diag {

// The dialog's results and controls, and the texts it shows and copies, belong to the platform
// layer that shows it; the report names them as its own.
using enum platform::AssertChoice;
using enum platform::AssertControl;
using platform::AssertSourceFileName;
using platform::FormatAssertClipboardText;

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
