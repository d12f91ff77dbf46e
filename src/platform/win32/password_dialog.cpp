// The password prompt's window: dialog 481 "Decrypt File" of the language
// module. Its logic (which password fits, the notice, what is remembered)
// lives in the handler the prompt passes in; this unit only runs the dialog
// and hands the handler the OK, Skip and other commands.
#include "platform/platform.h"
#include "platform/win32/win32_module.h"

#include <windows.h>

namespace arcsalve {
namespace {

constexpr int kDialogTemplate = 481;
constexpr int kNameControl = 1010;    // "Static", replaced by the entry's name
constexpr int kPasswordEdit = 1011;

// What the dialog procedure needs while the modal loop runs.
struct DialogState {
    HWND parent = nullptr;
    const char* name = nullptr;
    PasswordDialogHandler handler = nullptr;
    bool ran = false;  // WM_INITDIALOG arrived: the dialog was created
};
static DialogState g_dialog;

// The dialog procedure. It answers 0 to every message: at WM_INITDIALOG that
// keeps the focus where it was put, and for WM_COMMAND it leaves the default
// processing to the dialog manager, which never closes a dialog by itself.
// So Escape (command 2) does nothing unless the handler says so, and without
// a system menu there is no close box: OK and Skip are the ways out.
INT_PTR CALLBACK DecryptDialogWindowProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    if (message == WM_INITDIALOG) {
        g_dialog.ran = true;
        QVSubclassDialog(dialog);
        CenterWindow(dialog, g_dialog.parent);
        SendMessageA(GetDlgItem(dialog, kNameControl), WM_SETTEXT, 0,
                     reinterpret_cast<LPARAM>(g_dialog.name));
        SetFocus(GetDlgItem(dialog, kPasswordEdit));
        return FALSE;
    }
    if (message != WM_COMMAND) return FALSE;
    // Buttons, Enter and Escape; not the edit's change notifications.
    if (HIWORD(wparam) != BN_CLICKED && HIWORD(wparam) != 1) return FALSE;
    int command = LOWORD(wparam);
    char typed[PASSWORD_BUFFER_SIZE] = {};
    // At most 39 characters and the terminator: a longer entry is cut.
    if (command == kDialogOk) GetDlgItemTextA(dialog, kPasswordEdit, typed, sizeof typed);
    int close = g_dialog.handler(dialog, command, command == kDialogOk ? typed : nullptr);
    SecureZeroMemory(typed, sizeof typed);
    if (close) {
        EndDialog(dialog, 0);
    } else {
        // After the "Incorrect Password" notice: type again, the text kept.
        SetFocus(GetDlgItem(dialog, kPasswordEdit));
    }
    return FALSE;
}

}  // namespace

int ShowPasswordDialog(HWND parent, const char* name, PasswordDialogHandler handler) {
    g_dialog = DialogState();
    g_dialog.parent = parent;
    g_dialog.name = name;
    g_dialog.handler = handler;
    HMODULE module = LanguageModule();
    DialogBoxParamA(module, MAKEINTRESOURCEA(kDialogTemplate), parent, DecryptDialogWindowProc, 0);
    // A language DLL that translates only the strings: the library's own dialog.
    if (!g_dialog.ran && module != LibraryInstance())
        DialogBoxParamA(LibraryInstance(), MAKEINTRESOURCEA(kDialogTemplate), parent,
                        DecryptDialogWindowProc, 0);
    int ran = g_dialog.ran ? 1 : 0;
    g_dialog = DialogState();
    return ran;
}

void ShowMessageBox(HWND owner, const char* text, const char* caption, uint32_t flags) {
    QVMessageBox(owner, text, caption, flags);
}

}  // namespace arcsalve
