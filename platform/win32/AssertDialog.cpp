// The assertion dialog over the Win32 dialog manager, and the ANSI code page of its texts.
#include "platform/AssertDialog.h"

#include <windows.h>
#include <cstring>

namespace platform {
namespace {

void SetField(HWND dialog, int identifier, const std::string& text) {
    const HWND field = GetDlgItem(dialog, identifier);
    if (field != nullptr) SetWindowTextA(field, text.c_str());
}

// The program's file name, as the user knows it from the task list.
std::string ApplicationName() {
    char path[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    const char* name = std::strrchr(path, '\\');
    return name != nullptr ? name + 1 : path;
}

// Leaves the report on the clipboard as CF_TEXT, so that it can be pasted into a bug report
// after the dialog is gone. Once SetClipboardData takes the block, the clipboard owns it.
void CopyToClipboard(HWND owner, const std::string& text) {
    if (!OpenClipboard(owner)) return;
    const HGLOBAL block = GlobalAlloc(GHND | GMEM_SHARE, text.size() + 1);
    if (block != nullptr) {
        void* bytes = GlobalLock(block);
        if (bytes != nullptr) {
            std::memcpy(bytes, text.c_str(), text.size() + 1);
            GlobalUnlock(block);
            EmptyClipboard();
            if (SetClipboardData(CF_TEXT, block) == nullptr) GlobalFree(block);
        } else {
            GlobalFree(block);
        }
    }
    CloseClipboard();
}

// True when this process's window station is shown on a screen; a service's is not, and a
// dialog there would wait for a click that never comes.
bool HasVisibleDesktop() {
    USEROBJECTFLAGS flags = {};
    const HWINSTA station = GetProcessWindowStation();
    if (station == nullptr || !GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, nullptr))
        return false;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

INT_PTR CALLBACK AssertDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            const auto& fields = *reinterpret_cast<const AssertDialogFields*>(lParam);
            SetField(dialog, assertControlFileName, fields.fileName);
            SetField(dialog, assertControlLine, fields.lineText);
            SetField(dialog, assertControlExpression, fields.expression);
            SetField(dialog, assertControlMessage, fields.message);
            const std::string application = ApplicationName();
            SetWindowTextA(dialog, ("Assert Failed: " + application).c_str());
            CopyToClipboard(
                dialog, FormatAssertClipboardText(application.c_str(), fields.fileName.c_str(), fields.lineText.c_str(),
                                                  fields.expression.c_str(), fields.message.c_str()));
            // No focus: a key pressed in the middle of other work must not answer the dialog.
            return FALSE;
        }
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case assertControlDebug: EndDialog(dialog, assertChoiceDebug); return TRUE;
                case assertControlIgnore: EndDialog(dialog, assertChoiceIgnore); return TRUE;
                case assertControlIgnoreAlways: EndDialog(dialog, assertChoiceIgnoreAlways); return TRUE;
                case assertControlExit: EndDialog(dialog, assertChoiceExit); return TRUE;
                default: return FALSE;  // Enter (IDOK) and Escape (IDCANCEL) leave the dialog up
            }
        default: return FALSE;
    }
}

}  // namespace

int RunAssertDialog(const std::vector<std::uint8_t>& dialogTemplate, const AssertDialogFields& fields) {
    if (!HasVisibleDesktop()) return 0;
    const INT_PTR result =
        DialogBoxIndirectParamA(GetModuleHandleA(nullptr), reinterpret_cast<LPCDLGTEMPLATEA>(dialogTemplate.data()),
                                nullptr, AssertDialogProc, reinterpret_cast<LPARAM>(&fields));
    return static_cast<int>(result);
}

std::u16string AnsiToUtf16(const char* text) {
    if (text == nullptr || *text == '\0') return {};
    const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (length <= 1) return {};
    std::u16string wide(static_cast<std::size_t>(length), u'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, reinterpret_cast<wchar_t*>(wide.data()), length);
    wide.resize(static_cast<std::size_t>(length - 1));
    return wide;
}

}  // namespace platform
