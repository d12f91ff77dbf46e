// The host's dialogs: the password and notice callbacks stand in for the
// Windows dialog and message box on hosts that have neither.
#include "ui/host_dialogs.h"

#include <cstring>

namespace arcsalve {

namespace {

// The answer of the installed password callback or hook: 1 with a password
// in `typed`, 0 for Skip.
int AskHost(const HostCallbacks& host, HWND parent, const char* name, char* typed) {
    if (host.onPassword != nullptr) return host.onPassword(host.context, name, typed);
    auto ask = reinterpret_cast<PasswordCallback>(host.password);
    if (ask == nullptr) return 0;  // removed meanwhile: as Skip
    return ask(parent, name, typed);
}

}  // namespace

int RunPasswordDialog(const HostCallbacks& host, HWND parent, const char* name, PasswordDialogHandler handler) {
    if (host.password == 0 && host.onPassword == nullptr) {
        // A call of the C interface without a password hook has no dialog.
        if (host.context != nullptr) return 0;
        return ShowPasswordDialog(parent, name, handler);
    }
    // Looked up again for each question: the host may change its callback
    // from inside one of its own calls.
    for (;;) {
        // The buffer is cleared for each answer, and its last byte forced to
        // the terminator: a host that fills all 40 bytes gets its first 39,
        // as an edit control read into 40 bytes would give.
        char typed[PASSWORD_BUFFER_SIZE];
        std::memset(typed, 0, sizeof typed);
        if (AskHost(host, parent, name, typed) == 0) {
            handler(parent, kDialogSkip, nullptr);
            return 1;
        }
        typed[PASSWORD_BUFFER_SIZE - 1] = '\0';
        if (handler(parent, kDialogOk, typed)) return 1;
    }
}

void ShowNotice(const HostCallbacks& host, HWND owner, const char* text, const char* caption, uint32_t flags) {
    if (host.onNotice != nullptr) {
        host.onNotice(host.context, text, caption);
        return;
    }
    if (host.context != nullptr) return;  // a call of the C interface: no message box
    if (host.notice == 0) {
        ShowMessageBox(owner, text, caption, flags);
        return;
    }
    reinterpret_cast<NoticeCallback>(host.notice)(owner, text, caption, flags);
}

}  // namespace arcsalve
