#include "support/source_tree.h"

#include <sys/stat.h>

namespace arcsalve::test {

void WriteTree(const std::string& root, const std::vector<SourceFile>& files) {
    ::mkdir(root.c_str(), 0755);
    for (const SourceFile& f : files) {
        std::string path = root + "/" + f.name;
        for (size_t slash = path.find('/', root.size() + 1); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            ::mkdir(path.substr(0, slash).c_str(), 0755);
        if (f.name.back() != '/') WriteFile(path, f.data);
    }
}

std::string ShellNames(const std::vector<SourceFile>& files) {
    std::string names;
    for (const SourceFile& f : files) names += " " + ShellQuote(f.name);
    return names;
}

std::vector<std::string> OkLines(const std::vector<SourceFile>& files) {
    std::vector<std::string> lines;
    for (const SourceFile& f : files)
        lines.push_back("    " + f.name + ": size = " + std::to_string(f.data.size()) + ":  OK");
    return lines;
}

}  // namespace arcsalve::test
