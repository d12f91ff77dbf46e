// Entry names: whether a stored name reads as UTF-8, and how messages show
// it in host text.
#ifndef ARCSALVE_COMMON_ENTRY_NAME_H
#define ARCSALVE_COMMON_ENTRY_NAME_H

#include <cstddef>
#include <cstdint>

#include "common/zip_format.h"

namespace arcsalve {

// Whether a stored name reads as UTF-8: it is well-formed UTF-8, and flagged
// so (bit 11) or holding a byte above 127 (see entry_name.cpp for why).
bool NameIsUtf8(const char* name, size_t length, uint16_t flags);

// An entry name as messages show it, in host text: converted from UTF-8 when
// it reads as UTF-8 (well-formed, and flagged by bit 11 or not plain ASCII),
// else from CP437. A name longer than kShownNameBytes is shown by its first
// characters and "..." (only messages shorten names; the archive keeps them
// whole). Returns the length written into out.
size_t EntryDisplayName(const char* name, uint16_t flags, char* out, size_t capacity);

// The stored bytes of a name that messages show at most.
constexpr size_t kShownNameBytes = 270;
// Room for a displayed name: the bytes shown at three host bytes per CP437
// byte, the ellipsis, and a terminator.
constexpr size_t kDisplayNameSize = kShownNameBytes * 3 + 3 + 1;

}  // namespace arcsalve

#endif  // ARCSALVE_COMMON_ENTRY_NAME_H
