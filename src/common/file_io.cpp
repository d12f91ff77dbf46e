#include "common/file_io.h"

namespace arcsalve {

uint32_t ReadFileBytes(FileHandle h, void* buffer, uint32_t count) {
    return FileRead(h, buffer, count);
}

uint32_t WriteFileBytes(FileHandle h, const void* buffer, uint32_t count) {
    return FileWrite(h, buffer, count);
}

void SeekFromStart(FileHandle h, uint64_t offset) { FileSeek(h, offset); }

}  // namespace arcsalve
