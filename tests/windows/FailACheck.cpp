// Fails one check and says what the answer to the assertion dialog did. Run by dialog_check.py,
// which answers the dialog.
#include <cstdio>

#include "diagnostics/Assert.h"
#include "platform/Process.h"

namespace {

void CloseArchive(void* name) {
    std::printf("exit handler ran: %s\n", static_cast<const char*>(name));
    std::fflush(stdout);
}

}  // namespace

int main() {
    static char archive[] = "open-for-edit.arc";
    diag::AddAssertExitHandler(CloseArchive, archive);
    // The value a failed call left behind; the report must not change it.
    const int lastError = 1392;
    platform::SetLastErrorValue(lastError);

    bool ignoreAlways = false;
    const bool breakIntoDebugger =
        diag::AssertReport("header.version == 7", "Invalid archive file.", __FILE__, __LINE__, &ignoreAlways);
    const bool lastErrorKept = platform::GetLastErrorValue() == lastError;
    std::printf("break into debugger: %s\nignore always: %s\nlast error kept: %s\n", breakIntoDebugger ? "yes" : "no",
                ignoreAlways ? "yes" : "no", lastErrorKept ? "yes" : "no");
    return 0;
}
