// The shared library's dynamic symbols are exactly the public functions:
// nothing internal (and no standard-library template code) leaks out for a
// host to bind to by accident.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

TEST(LibraryExports, OnlyThePublicFunctionsAreDynamicSymbols) {
    const std::string command =
        std::string("nm -D -C --defined-only '") + ARCSALVE_LIBRARY_PATH + "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> names;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        // "<address> <type> <name>"
        size_t space = text.find(' ', text.find(' ') + 1);
        ASSERT_NE(space, std::string::npos) << text;
        names.insert(text.substr(space + 1));
    }
    ASSERT_EQ(::pclose(pipe), 0);

    const std::set<std::string> required = {
        "RepairFile(char*, char*, unsigned long, HWND__*)",
        "GetFilePaths(char**, char**, char**)",
        "SetMessageCallback(unsigned long)",
        "SetProgressCallback(unsigned long)",
        "SetPasswordCallback(unsigned long)",
        "SetNoticeCallback(unsigned long)",
    };
    for (const std::string& name : required) EXPECT_EQ(names.count(name), 1u) << name;
    // Further callback slots (for hosts without dialogs) are public too.
    for (const std::string& name : names) {
        bool callbackSlot = name.compare(0, 3, "Set") == 0 &&
                            name.find("Callback(unsigned long)") != std::string::npos;
        EXPECT_TRUE(required.count(name) == 1 || callbackSlot) << "unexpected export: " << name;
    }
}

}  // namespace
