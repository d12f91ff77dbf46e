// The exported callback setters. The slots are process-wide, as the
// interface requires: a host installs its callbacks once, and every repair
// after that uses them through its run.
#include "api/host_callbacks.h"

namespace arcsalve {

HostCallbacks g_hostCallbacks;

namespace {

CallbackAddress Swap(CallbackAddress& slot, CallbackAddress callback) {
    CallbackAddress previous = slot;
    slot = callback;
    return previous;
}

}  // namespace
}  // namespace arcsalve

// --- Exported ---------------------------------------------------------------

CallbackAddress SetMessageCallback(CallbackAddress callback) {
    return arcsalve::Swap(arcsalve::g_hostCallbacks.message, callback);
}

CallbackAddress SetProgressCallback(CallbackAddress callback) {
    return arcsalve::Swap(arcsalve::g_hostCallbacks.progress, callback);
}

CallbackAddress SetPasswordCallback(CallbackAddress callback) {
    return arcsalve::Swap(arcsalve::g_hostCallbacks.password, callback);
}

CallbackAddress SetNoticeCallback(CallbackAddress callback) {
    return arcsalve::Swap(arcsalve::g_hostCallbacks.notice, callback);
}
