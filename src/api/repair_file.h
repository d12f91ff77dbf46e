// The steps of RepairFile that tests and the later stages reach directly.
#ifndef ARCSALVE_API_REPAIR_FILE_H
#define ARCSALVE_API_REPAIR_FILE_H

#include <cstdint>

namespace arcsalve {

// What the input's name says before anything is opened: 0 for an ordinary
// archive, REPAIR_BACKUP_EXISTS when NAME_BAK.ext already stands beside it,
// REPAIR_INPUT_IS_BACKUP when the name itself ends in "_BAK" (unless
// REPAIR_NO_BACKUP_NAME_CHECK is set).
uint32_t ClassifyInputName(const char* path, unsigned long flags);

// Opens the damaged archive into g_inputFile and sets g_inputSize (1 for an
// empty file); 1 on success. On failure g_inputFile stays kNoFile.
int OpenInputArchive(const char* path);
// Creates (or truncates) the rebuilt archive into g_outputFile; 1 on success.
int OpenOutputArchive(const char* path);
// Closes whichever of the two archives is open.
void CloseArchives();

}  // namespace arcsalve

#endif  // ARCSALVE_API_REPAIR_FILE_H
