// The fault-injecting backend (see fault_platform.h). It compiles the POSIX
// backend with its faultable calls renamed, and puts a thin layer with the
// real names in front of them, so the tests run the very code the library
// ships, failing only where a test says so.
#include "platform/testing/fault_platform.h"

#include "platform/platform.h"

#define FileCreate PosixFileCreate
#define FileCreatePrivate PosixFileCreatePrivate
#define FileCreateNew PosixFileCreateNew
#define FileWrite PosixFileWrite
#define FileCopyAt PosixFileCopyAt
#define PathMove PosixPathMove
#define PathReplace PosixPathReplace
#define MemoryAllocate PosixMemoryAllocate
#include "platform/posix/platform_posix.cpp"
#undef FileCreate
#undef FileCreatePrivate
#undef FileCreateNew
#undef FileWrite
#undef FileCopyAt
#undef PathMove
#undef PathReplace
#undef MemoryAllocate

namespace arcsalve {
namespace {

struct Faults {
    PlatformFault fault = PlatformFault::kNone;
    uint64_t budget = 0;
    int64_t allocationsAllowed = -1;
};
Faults g_faults;

}  // namespace

FileHandle FileCreate(const char* path) {
    if (g_faults.fault == PlatformFault::kCreateFails) return kInvalidFile;
    return PosixFileCreate(path);
}

FileHandle FileCreateNew(const char* path) {
    if (g_faults.fault == PlatformFault::kCreateFails) return kInvalidFile;
    return PosixFileCreateNew(path);
}

FileHandle FileCreatePrivate(const char* path) {
    if (g_faults.fault == PlatformFault::kCreatePrivateFails) return kInvalidFile;
    return PosixFileCreatePrivate(path);
}

uint32_t FileWrite(FileHandle h, const void* buffer, uint32_t count) {
    if (!IsOpenFile(h)) return 0;
    uint32_t allowed = count;
    if (g_faults.fault == PlatformFault::kShortWrite) {
        if (g_faults.budget < count) allowed = static_cast<uint32_t>(g_faults.budget);
        g_faults.budget -= allowed;
    }
    return PosixFileWrite(h, buffer, allowed);
}

// A short write must come through the faultable FileWrite.
uint64_t FileCopyAt(FileHandle from, uint64_t offset, FileHandle to, uint64_t count, bool* shortRead) {
    if (g_faults.fault == PlatformFault::kShortWrite)
        return CopyThroughMemory(from, offset, to, count, shortRead, FileWrite);
    return PosixFileCopyAt(from, offset, to, count, shortRead);
}

int PathMove(const char* from, const char* to) {
    if (g_faults.fault == PlatformFault::kMoveFails) return 0;
    return PosixPathMove(from, to);
}

int PathReplace(const char* from, const char* to) {
    if (g_faults.fault == PlatformFault::kMoveFails) return 0;
    return PosixPathReplace(from, to);
}

void* MemoryAllocate(size_t size) {
    if (g_faults.allocationsAllowed == 0) return nullptr;
    if (g_faults.allocationsAllowed > 0) --g_faults.allocationsAllowed;
    return PosixMemoryAllocate(size);
}

void PlatformInjectFault(PlatformFault fault, uint64_t budget) {
    g_faults.fault = fault;
    g_faults.budget = budget;
}

void PlatformClearFaults() { g_faults = Faults(); }

void InjectAllocFailure(int64_t allowed) { g_faults.allocationsAllowed = allowed; }

}  // namespace arcsalve
