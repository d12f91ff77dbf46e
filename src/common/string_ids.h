// The ids of the string table, named once: resources/strings.inc lists every
// text with its id and its name, and this enum is generated from it, so a
// message is always emitted by name and the table and the code cannot
// disagree about a number.
#ifndef ARCSALVE_COMMON_STRING_IDS_H
#define ARCSALVE_COMMON_STRING_IDS_H

#include <cstdint>

namespace arcsalve {

enum StringId : uint32_t {
#define STR(id, name, text) name = id,
#include "strings.inc"
#undef STR
};

}  // namespace arcsalve

#endif  // ARCSALVE_COMMON_STRING_IDS_H
