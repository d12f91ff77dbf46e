// A minimal host of libarcsalve: repairs one archive in place, printing the
// library's messages and its progress, and answers "salvage from the existing
// backup again" with yes. Built with the project (target arcsalve_example_host)
// so that the README's example keeps compiling.
#include <arcsalve/arcsalve.h>

#include <cstdio>

static void OnMessage(int level, const char* text) {
    std::fprintf(level == MESSAGE_INFO ? stdout : stderr, "%s\n", text);
}

static unsigned long OnProgress(unsigned long percent) {
    std::fprintf(stderr, "%lu%%\r", percent);
    return 1;  // 0 would stop the repair after the entry in hand
}

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    SetMessageCallback(reinterpret_cast<CallbackAddress>(&OnMessage));
    SetProgressCallback(reinterpret_cast<CallbackAddress>(&OnProgress));

    unsigned long result = RepairFile(argv[1], nullptr, 0, nullptr);
    if (result == REPAIR_BACKUP_EXISTS)  // a real host asks its user first
        result = RepairFile(argv[1], nullptr, REPAIR_USE_EXISTING_BACKUP, nullptr);

    char* source = nullptr;
    char* output = nullptr;
    GetFilePaths(&source, &output, nullptr);
    std::printf("read %s, wrote %s, result %lu\n", source, output, result);

    SetMessageCallback(0);  // before the callbacks' code goes away
    SetProgressCallback(0);
    return result == REPAIR_OK ? 0 : 1;
}
