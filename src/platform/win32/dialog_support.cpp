// The dialog-support calls the library's windows use: the language module,
// the dialog's set-up and a message box over its owner, and centring.
#include "platform/win32/win32_module.h"

#include <windows.h>

namespace arcsalve {
namespace {

// Centring a message box: MessageBoxA places its box in the middle of the
// screen, and only a CBT hook sees the box's window before it is shown.
struct MessageBoxState {
    HHOOK hook = nullptr;
    HWND owner = nullptr;
};
static MessageBoxState g_box;

LRESULT CALLBACK CenterOnActivate(int code, WPARAM wparam, LPARAM lparam) {
    if (code == HCBT_ACTIVATE && g_box.hook != nullptr) {
        HHOOK hook = g_box.hook;
        g_box.hook = nullptr;  // only the box's first activation
        CenterWindow(reinterpret_cast<HWND>(wparam), g_box.owner);
        UnhookWindowsHookEx(hook);
        return 0;
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

}  // namespace

HMODULE QVLoadLanguageDll(HINSTANCE instance) {
    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("ARCSALVE_LANGUAGE", path, sizeof path);
    if (n == 0 || n >= sizeof path) return instance;
    // Mapped as an image for its resources only: no code of it runs, and the
    // file cannot be overwritten while the library uses it. Systems older
    // than Vista know only the plain data-file mapping.
    HMODULE language =
        LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (language == nullptr) language = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    return language != nullptr ? language : instance;
}

// The dialog needs nothing that a plain Win32 dialog lacks: Enter presses the
// default button, Tab walks the template order, and without a system menu the
// frame has no close box. What is left is visibility: a host without windows
// of its own (a console program passes no parent) would otherwise get the
// prompt behind its console, so an unowned dialog is brought to the front.
BOOL QVSubclassDialog(HWND dialog) {
    if (GetWindow(dialog, GW_OWNER) == nullptr) SetForegroundWindow(dialog);
    return TRUE;
}

int QVMessageBox(HWND owner, const char* text, const char* caption, UINT flags) {
    g_box.owner = owner;
    g_box.hook = SetWindowsHookExA(WH_CBT, CenterOnActivate, nullptr, GetCurrentThreadId());
    int result = MessageBoxA(owner, text, caption, flags);
    if (g_box.hook != nullptr) UnhookWindowsHookEx(g_box.hook);
    g_box = MessageBoxState();
    return result;
}

// Centred over the reference's rectangle, then pushed back onto the screen:
// a coordinate below 0 becomes 0, one whose far edge passes the screen's
// becomes screen size minus window size. A window larger than the screen thus
// gets a negative coordinate, and keeps it: its top left is then off screen,
// exactly as far as its excess.
void CenterWindow(HWND window, HWND reference) {
    RECT own, ref;
    GetWindowRect(window, &own);
    GetWindowRect(reference != nullptr ? reference : GetDesktopWindow(), &ref);
    int w = own.right - own.left;
    int h = own.bottom - own.top;
    HDC dc = GetDC(window);
    int screenW = GetDeviceCaps(dc, HORZRES);
    int screenH = GetDeviceCaps(dc, VERTRES);
    ReleaseDC(window, dc);

    int x = (ref.right - ref.left - w) / 2 + ref.left;
    if (x < 0) {
        x = 0;
    } else if (x + w > screenW) {
        x = screenW - w;
    }
    int y = (ref.bottom - ref.top - h) / 2 + ref.top;
    if (y < 0) {
        y = 0;
    } else if (y + h > screenH) {
        y = screenH - h;
    }
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

}  // namespace arcsalve
