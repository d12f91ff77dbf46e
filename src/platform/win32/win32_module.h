// What the Win32 backend's units share: the library's own module and the
// language module that strings and the password dialog come from, and the
// stand-ins for the dialog-support calls.
#ifndef ARCSALVE_PLATFORM_WIN32_WIN32_MODULE_H
#define ARCSALVE_PLATFORM_WIN32_WIN32_MODULE_H

#include <windows.h>

namespace arcsalve {

// The module this code is linked into: arcsalve.dll, or the program that
// links the library statically.
HINSTANCE LibraryInstance();
// The module that strings and dialog 481 are loaded from (opened on first
// use if the library's load did not open it yet). It is LibraryInstance()
// unless a language DLL was loaded.
HMODULE LanguageModule();

// The dialog-support calls of the password dialog.
//
// Returns the module that strings and dialogs come from: the resource-only
// DLL named by the environment variable ARCSALVE_LANGUAGE, loaded as a data
// file (none of its code runs), or `instance` itself when the variable is
// unset or the DLL cannot be loaded.
HMODULE QVLoadLanguageDll(HINSTANCE instance);
// Called once by a dialog at WM_INITDIALOG. See dialog_support.cpp.
BOOL QVSubclassDialog(HWND dialog);
// A message box over `owner` (centred on it), returning when it is closed.
int QVMessageBox(HWND owner, const char* text, const char* caption, UINT flags);
// Centres a top-level window over `reference` (the desktop when null),
// kept on the screen.
void CenterWindow(HWND window, HWND reference);

}  // namespace arcsalve

#endif  // ARCSALVE_PLATFORM_WIN32_WIN32_MODULE_H
