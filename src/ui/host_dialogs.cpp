// The host's dialogs: the password and notice callbacks stand in for the
// Windows dialog and message box on hosts that have neither.
#include "ui/host_dialogs.h"

#include <cstring>

namespace arcsalve {
namespace {

// The host's callbacks, as the integers the host passed (0: none).
struct HostDialogSlots {
    CallbackAddress password = 0;
    CallbackAddress notice = 0;
};
HostDialogSlots g_hostDialogs;

}  // namespace

int RunPasswordDialog(HWND parent, const char* name, PasswordDialogHandler handler) {
    if (g_hostDialogs.password == 0) return ShowPasswordDialog(parent, name, handler);
    // Looked up again for each question: the host may change its callback
    // from inside one of its own calls.
    for (;;) {
        auto ask = reinterpret_cast<PasswordCallback>(g_hostDialogs.password);
        if (ask == nullptr) return 1;  // removed meanwhile: as Skip
        // The buffer is cleared for each answer, and its last byte forced to
        // the terminator: a host that fills all 40 bytes gets its first 39,
        // as an edit control read into 40 bytes would give.
        char typed[PASSWORD_BUFFER_SIZE];
        std::memset(typed, 0, sizeof typed);
        if (ask(parent, name, typed) == 0) {
            handler(parent, kDialogSkip, nullptr);
            return 1;
        }
        typed[PASSWORD_BUFFER_SIZE - 1] = '\0';
        if (handler(parent, kDialogOk, typed)) return 1;
    }
}

void ShowNotice(HWND owner, const char* text, const char* caption, uint32_t flags) {
    if (g_hostDialogs.notice == 0) {
        ShowMessageBox(owner, text, caption, flags);
        return;
    }
    reinterpret_cast<NoticeCallback>(g_hostDialogs.notice)(owner, text, caption, flags);
}

}  // namespace arcsalve

// --- Exported ---------------------------------------------------------------

CallbackAddress SetPasswordCallback(CallbackAddress callback) {
    CallbackAddress previous = arcsalve::g_hostDialogs.password;
    arcsalve::g_hostDialogs.password = callback;
    return previous;
}

CallbackAddress SetNoticeCallback(CallbackAddress callback) {
    CallbackAddress previous = arcsalve::g_hostDialogs.notice;
    arcsalve::g_hostDialogs.notice = callback;
    return previous;
}
