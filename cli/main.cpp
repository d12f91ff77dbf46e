// The arcsalve command. Work in progress.
#include <cstdio>

#include "arcsalve/arcsalve.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: arcsalve ARCHIVE...\n");
        return 2;
    }
    return static_cast<int>(RepairFile(argv[1], nullptr, 0, nullptr)) == 0 ? 0 : 3;
}
