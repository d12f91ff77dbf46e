// The DLL's load and unload, and the strings of the language module.
//
// At process attach the library opens its language module: a resource-only
// DLL named by ARCSALVE_LANGUAGE, or the library itself. Strings and dialog
// 481 are loaded from it by id; at process detach it is released unless it is
// the library itself.
#include "platform/platform.h"
#include "platform/win32/win32_module.h"

#include <windows.h>

#include <cstring>

// The linker's symbol for the start of the image this code is linked into: its
// module handle, for a DLL as well as for a program.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace arcsalve {
namespace {

struct ModuleState {
    HINSTANCE instance = nullptr;  // this library's own module
    HMODULE language = nullptr;    // where strings and dialogs come from
    bool open = false;
};
static ModuleState g_module;

void OpenLanguage(HINSTANCE self) {
    if (g_module.open) return;
    g_module.instance = self;
    g_module.language = QVLoadLanguageDll(self);
    g_module.open = true;
}

// The conversions of a format text in order ("sdd" for "%s ... %d ... %d").
// The formatter reads one argument per conversion, so a translated text is
// used only when its conversions are the library's own: a faulty translation
// can never make it read arguments that were not passed.
void Conversions(const char* text, char* out, size_t capacity) {
    size_t n = 0;
    for (const char* p = text; *p; ++p) {
        if (*p != '%') continue;
        ++p;
        // Flags and widths are harmless; a length modifier is not ("%ld"
        // reads 32 bits on one system and 64 on another, "%llu" 64), so
        // modifiers are kept with the conversion and make the text differ.
        while (*p == '-' || (*p >= '0' && *p <= '9')) ++p;
        while (*p == 'l' || *p == 'h' || *p == 'L' || *p == 'q' || *p == 'j' || *p == 'z' || *p == 't' ||
               *p == 'I' || (*p >= '0' && *p <= '9')) {
            if (n + 1 < capacity) out[n++] = *p;
            ++p;
        }
        if (*p == '\0') break;
        if (n + 1 < capacity) out[n++] = *p;
    }
    out[n] = '\0';
}

// String resources are at most 4096 characters long on disk, but nothing the
// library loads is ever given more than 300 bytes; this much is enough to see
// every conversion of a text that could be handed out.
constexpr int kCheckBuffer = 1024;

// Loads a text from the language DLL when it has one for `id` with the
// library's conversions. Returns its length, 0 when it must not be used.
int LoadTranslated(uint32_t id, char* buffer, int capacity) {
    char translated[kCheckBuffer];
    char own[kCheckBuffer];
    int n = LoadStringA(g_module.language, id, translated, kCheckBuffer);
    if (n <= 0) return 0;
    if (LoadStringA(g_module.instance, id, own, kCheckBuffer) <= 0) own[0] = '\0';
    char a[64], b[64];
    Conversions(translated, a, sizeof a);
    Conversions(own, b, sizeof b);
    if (std::strcmp(a, b) != 0) return 0;
    if (n > capacity - 1) n = capacity - 1;
    std::memcpy(buffer, translated, static_cast<size_t>(n));
    buffer[n] = '\0';
    return n;
}

}  // namespace

HINSTANCE LibraryInstance() {
    return g_module.instance ? g_module.instance : reinterpret_cast<HINSTANCE>(&__ImageBase);
}

HMODULE LanguageModule() {
    LoadLanguageModule();
    return g_module.language;
}

void LoadLanguageModule() { OpenLanguage(reinterpret_cast<HINSTANCE>(&__ImageBase)); }

void FreeLanguageModule() {
    if (!g_module.open) return;
    // A language DLL is mapped as a data file: releasing it runs none of its
    // code, so this is safe even from the DLL's own detach notification.
    if (g_module.language != nullptr && g_module.language != g_module.instance)
        FreeLibrary(g_module.language);
    g_module = ModuleState();
}

int LoadStringText(uint32_t id, char* buffer, int capacity) {
    if (capacity <= 0) return 0;
    buffer[0] = '\0';
    LoadLanguageModule();
    int n = 0;
    if (g_module.language != g_module.instance) n = LoadTranslated(id, buffer, capacity);
    // Ids that a language DLL lacks (or gets wrong) come from the library's own table.
    if (n <= 0) n = LoadStringA(g_module.instance, id, buffer, capacity);
    if (n <= 0) {
        buffer[0] = '\0';
        return 0;
    }
    return n;
}

}  // namespace arcsalve

// Process attach opens the language module, process detach releases it;
// thread notifications do nothing. The load never fails because of it: without
// a language DLL the library's own strings serve.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        arcsalve::OpenLanguage(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        arcsalve::FreeLanguageModule();
    }
    return TRUE;
}
