// Entry names as the rest of the library sees them (see entry_name.h).
#include "common/entry_name.h"

#include <cstring>

#include "common/zip_format.h"
#include "platform/platform.h"

namespace arcsalve {
namespace {

// Whether bytes are well-formed UTF-8: no stray continuation bytes, no
// overlong forms, no surrogates, nothing above U+10FFFF.
bool IsUtf8(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n;) {
        const uint8_t b = p[i];
        size_t more;
        uint32_t lowest;
        if (b < 0x80) {
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            more = 1, lowest = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            more = 2, lowest = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            more = 3, lowest = 0x10000;
        } else {
            return false;
        }
        if (n - i <= more) return false;
        uint32_t cp = b & (0x3F >> more);
        for (size_t k = 1; k <= more; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = cp << 6 | (p[i + k] & 0x3F);
        }
        if (cp < lowest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += more + 1;
    }
    return true;
}

}  // namespace

// Whether a name reads as UTF-8: it is well-formed UTF-8, and flagged so
// (bit 11) or holding a byte above 127. The unflagged case matters because
// the rebuilt central directory says "made on MS-DOS", under which readers
// take an unflagged name as CP437: archives written on Unix and macOS store
// UTF-8 names without the flag (their host field told readers), and their
// accented names would come back garbled. A real CP437 name is almost never
// well-formed UTF-8 (a box-drawing or Greek letter would have to stand
// before accented letters, byte for byte as UTF-8 wants them). A name
// flagged as UTF-8 that is not is read, and kept, as CP437.
bool NameIsUtf8(const char* name, size_t length, uint16_t flags) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(name);
    if (!IsUtf8(bytes, length)) return false;
    if (flags & kFlagUtf8) return true;
    for (size_t i = 0; i < length; ++i)
        if (bytes[i] >= 0x80) return true;
    return false;
}

size_t EntryDisplayName(const char* name, uint16_t flags, char* out, size_t capacity) {
    if (capacity == 0) return 0;
    size_t length = std::strlen(name);
    const bool utf8 = NameIsUtf8(name, length, flags);
    if (length <= kShownNameBytes) return utf8 ? Utf8ToHost(name, out, capacity) : OemToHost(name, out, capacity);
    // A long name is shown by its start, cut at a whole character.
    char start[kShownNameBytes + 1];
    length = kShownNameBytes;
    while (utf8 && length > 0 && (static_cast<uint8_t>(name[length]) & 0xC0) == 0x80) --length;
    std::memcpy(start, name, length);
    start[length] = '\0';
    size_t shown = utf8 ? Utf8ToHost(start, out, capacity) : OemToHost(start, out, capacity);
    if (shown + 3 < capacity) {
        std::memcpy(out + shown, "...", 4);
        shown += 3;
    }
    return shown;
}

}  // namespace arcsalve
