// Where the password prompt meets the user: the host's password and notice
// callbacks when installed, else the platform's dialog and message box.
#ifndef ARCSALVE_UI_HOST_DIALOGS_H
#define ARCSALVE_UI_HOST_DIALOGS_H

#include <cstdint>

#include "arcsalve/arcsalve.h"
#include "common/repair_run.h"
#include "platform/platform.h"

namespace arcsalve {

// Runs the password dialog for one entry, passing every command to handler
// until it closes the dialog. With a password callback installed the
// callback is the dialog: each answer 1 is an OK with the text it wrote, an
// answer 0 a Skip. Without one the platform's dialog is shown. Returns 1 when
// a dialog ran, 0 when none could be created (the handler then saw nothing).
int RunPasswordDialog(const HostCallbacks& host, HWND parent, const char* name, PasswordDialogHandler handler);

// Shows a notice through the host's notice callback, else the platform's
// message box; returns when the user has read it.
void ShowNotice(const HostCallbacks& host, HWND owner, const char* text, const char* caption, uint32_t flags);

}  // namespace arcsalve

#endif  // ARCSALVE_UI_HOST_DIALOGS_H
