// The state of one RepairFile call that the later stages read: the derived
// paths, the open archives and the input's size.
#ifndef ARCSALVE_API_REPAIR_STATE_H
#define ARCSALVE_API_REPAIR_STATE_H

#include <cstdint>

#include "arcsalve/arcsalve.h"
#include "platform/platform.h"

namespace arcsalve {

// The archive actually read (the input, or its backup), the rebuilt archive,
// and a third path that is always empty. Kept after RepairFile returns, for
// GetFilePaths.
extern char SourcePath[kMaxPath];
extern char OutputPath[kMaxPath];
extern char ExtraPath[kMaxPath];

// The parent window of the last RepairFile call: owner of the password prompt.
extern HWND g_parentWindow;

// The damaged archive (read) and the rebuilt archive (read/write); kNoFile
// outside RepairFile.
extern FileHandle g_inputFile;
extern FileHandle g_outputFile;

// Size of the damaged archive in bytes, 1 for an empty file (it divides the
// progress percentage).
extern uint64_t g_inputSize;

}  // namespace arcsalve

#endif  // ARCSALVE_API_REPAIR_STATE_H
