// Library load and unload: the language module that strings (and, on
// Windows, the password dialog) come from is opened at load and released at
// unload.
#include "platform/platform.h"

namespace {

__attribute__((constructor)) void OnLibraryLoad() { arcsalve::LoadLanguageModule(); }
__attribute__((destructor)) void OnLibraryUnload() { arcsalve::FreeLanguageModule(); }

}  // namespace
