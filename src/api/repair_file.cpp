// RepairFile and GetFilePaths: path derivation, backups, opening the archives.
// Work in progress: the path and backup rules are being written.
#include "api/repair_state.h"
#include "arcsalve/arcsalve.h"

namespace arcsalve {

char SourcePath[kMaxPath];
char OutputPath[kMaxPath];
char ExtraPath[kMaxPath];
HWND g_parentWindow = nullptr;
FileHandle g_inputFile = kNoFile;
FileHandle g_outputFile = kNoFile;
uint64_t g_inputSize = 1;

}  // namespace arcsalve

unsigned long RepairFile(char* inPath, char*, unsigned long, HWND) {
    if (inPath == nullptr) return REPAIR_ERR_NO_INPUT;
    return REPAIR_ERR_FILE;
}

void GetFilePaths(char** source, char** output, char** extra) {
    if (source) *source = arcsalve::SourcePath;
    if (output) *output = arcsalve::OutputPath;
    if (extra) *extra = arcsalve::ExtraPath;
}
