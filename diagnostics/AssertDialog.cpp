// What the assertion dialog shows and what its answers do; platform::RunAssertDialog shows it.
#include "diagnostics/AssertDialog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diagnostics/Assert.h"
#include "platform/AssertDialog.h"
#include "platform/Process.h"

namespace diag {
namespace {

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

AssertDialogRunner& DialogRunner() {
    static AssertDialogRunner runner = platform::RunAssertDialog;
    return runner;
}

}  // namespace

DialogTemplate BuildAssertDialogTemplate() {
    DialogTemplate dialog("Assert Failed!", windowStyleCaption | dialogStyleCenter | dialogStyleSetFont, 10, 10, 353,
                          80, 8, "Tahoma");
    const std::uint16_t noIdentifier = 0xFFFF;
    const std::uint32_t fieldStyle = windowStyleVisible | editStyleReadOnly | editStyleAutoHScroll;
    struct Control {
        std::uint16_t classAtom;
        const char* text;
        short x, y, width, height;
        std::uint16_t identifier;
        std::uint32_t style, extendedStyle;
    };
    const Control controls[] = {
        {classStatic, "Filename:", 5, 7, 37, 8, noIdentifier, windowStyleVisible, 0},
        {classStatic, "Line:", 290, 7, 16, 8, noIdentifier, windowStyleVisible, 0},
        {classStatic, "Expression:", 5, 24, 37, 8, noIdentifier, windowStyleVisible, 0},
        {classStatic, "Message:", 5, 42, 37, 8, noIdentifier, windowStyleVisible, 0},
        {classEdit, "Edit", 48, 7, 239, 12, assertControlFileName, fieldStyle, windowExStyleStaticEdge},
        {classEdit, "Edit", 309, 7, 39, 12, assertControlLine, fieldStyle, windowExStyleStaticEdge},
        {classEdit, "Edit", 48, 24, 300, 12, assertControlExpression, fieldStyle, windowExStyleStaticEdge},
        {classEdit, "Edit", 48, 41, 300, 12, assertControlMessage, fieldStyle, windowExStyleStaticEdge},
    };
    for (const Control& c : controls) {
        dialog.AddControl(c.classAtom, c.text, c.x, c.y, c.width, c.height, c.identifier, c.style, c.extendedStyle);
        dialog.AppendWord(0);
    }
    dialog.AddButton("Debug", 5, 62, 56, 13, assertControlDebug);
    dialog.AddButton("Ignore", 68, 62, 56, 13, assertControlIgnore);
    dialog.AddButton("Ignore Always", 130, 62, 56, 13, assertControlIgnoreAlways);
    dialog.AddButton("Exit", 195, 62, 56, 13, assertControlExit);
    return dialog;
}

AssertDialogRunner ReplaceAssertDialogRunner(AssertDialogRunner runner) {
    const AssertDialogRunner replaced = DialogRunner();
    DialogRunner() = runner != nullptr ? runner : platform::RunAssertDialog;
    return replaced;
}

bool ActOnAssertChoice(int choice, bool* ignoreAlways) {
    switch (choice) {
        case assertChoiceIgnore: return false;
        case assertChoiceIgnoreAlways:
            if (ignoreAlways != nullptr) *ignoreAlways = true;
            return false;
        case assertChoiceExit:
            // Exit must not leave an archive open for edit without its index.
            RunAssertExitHandlers();
            std::exit(0);
        default: return true;
    }
}

bool ShowAssertDialog(const char* expression, const char* message, const char* file, int line, bool* ignoreAlways) {
    char lineText[12];
    std::snprintf(lineText, sizeof lineText, "%i", line);
    const platform::AssertDialogFields fields{AssertSourceFileName(file), lineText, OrEmpty(expression),
                                              OrEmpty(message)};
    int choice;
    {
        // Released before the answer is acted on: Exit does not come back.
        const DialogTemplate dialog = BuildAssertDialogTemplate();
        choice = DialogRunner()(dialog.Bytes(), fields);
    }
    // Nobody could be asked: carry on as Ignore would, so that a run without a desktop never waits.
    if (choice <= 0) return false;
    // A breakpoint without a debugger would end the process; treat Debug as Ignore then.
    if (choice == assertChoiceDebug && !platform::IsDebuggerAttached()) return false;
    return ActOnAssertChoice(choice, ignoreAlways);
}

}  // namespace diag
