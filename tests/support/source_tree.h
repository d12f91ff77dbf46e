// The files an end-to-end test hands to a real archiver: written to a
// directory tree, named on its command line, and expected back in the
// repair's summary.
#ifndef ARCSALVE_TESTS_SUPPORT_SOURCE_TREE_H
#define ARCSALVE_TESTS_SUPPORT_SOURCE_TREE_H

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace arcsalve::test {

struct SourceFile {
    std::string name;  // ending in "/": a directory
    Bytes data;
};

// Writes each file under root, making root and the directories on the way
// (a name ending in "/" becomes a directory).
void WriteTree(const std::string& root, const std::vector<SourceFile>& files);

// The names, each after a space and quoted for the shell: an archiver's
// list of what to take.
std::string ShellNames(const std::vector<SourceFile>& files);

// The summary's OK line of each file.
std::vector<std::string> OkLines(const std::vector<SourceFile>& files);

}  // namespace arcsalve::test

#endif  // ARCSALVE_TESTS_SUPPORT_SOURCE_TREE_H
