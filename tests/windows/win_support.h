// Support for the Windows tests: arcsalve.dll bound the way a Windows host
// binds it (LoadLibrary, then the decorated export names), private test
// directories, and a reader for rebuilt archives that inflates with zlib.
#ifndef ARCSALVE_TESTS_WINDOWS_WIN_SUPPORT_H
#define ARCSALVE_TESTS_WINDOWS_WIN_SUPPORT_H

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "arcsalve/arcsalve.h"

namespace wintest {

// The exports of arcsalve.dll. The names are those Microsoft's x64 compiler
// gives the public header's declarations (the 32-bit names differ only in
// pointer and integer codes; CI checks those in the 32-bit DLL).
struct ArcsalveDll {
    HMODULE module = nullptr;
    unsigned long (*RepairFile)(char*, char*, unsigned long, HWND) = nullptr;
    void (*GetFilePaths)(char**, char**, char**) = nullptr;
    CallbackAddress (*SetMessageCallback)(CallbackAddress) = nullptr;
    CallbackAddress (*SetProgressCallback)(CallbackAddress) = nullptr;
    CallbackAddress (*SetPasswordCallback)(CallbackAddress) = nullptr;
    CallbackAddress (*SetNoticeCallback)(CallbackAddress) = nullptr;
};

// Loads arcsalve.dll from the test program's directory and binds every
// export; false (with the reason in *error) if any is missing.
bool LoadArcsalve(ArcsalveDll* dll, std::string* error);
void UnloadArcsalve(ArcsalveDll* dll);

// Every message the library sent, in order, as (level, text); the callback
// that fills it and a progress callback that always goes on.
std::vector<std::pair<int, std::string>>& Messages();
void ARCSALVE_CALLBACK RecordMessage(int level, const char* text);
unsigned long ARCSALVE_CALLBACK KeepGoing(unsigned long percent);
// The texts at `level`, in order.
std::vector<std::string> TextsAt(int level);

// The directory of the test program, with a trailing backslash.
std::string ProgramDirectory();
// A Unix path as Wine's drive Z: shows it.
std::string FromUnixPath(const std::string& unix_path);
// A fixture made by make_fixtures.py.
std::string FixturePath(const std::string& name);
bool FileExists(const std::string& path);
std::vector<uint8_t> ReadBytes(const std::string& path);

// A fresh directory under the temporary directory, removed with everything
// in it when the object goes. It also becomes TMP and TEMP, so the library's
// temporary file of this test is private to it.
class TestDirectory {
public:
    TestDirectory();
    ~TestDirectory();
    TestDirectory(const TestDirectory&) = delete;
    TestDirectory& operator=(const TestDirectory&) = delete;
    // The directory, with a trailing backslash.
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + name; }

private:
    std::string old_tmp_, old_temp_;
    std::string path_;
};

// One line of a fixture's .expect file.
struct ExpectedEntry {
    std::string name;
    uint32_t size = 0;
    uint32_t crc = 0;
};
std::vector<ExpectedEntry> ReadExpected(const std::string& path);

// One entry of a rebuilt archive, read through its central directory record
// and its local header, its data inflated by zlib (or copied when stored).
struct RebuiltEntry {
    std::string name;
    uint16_t method = 0;
    uint16_t flags = 0;
    uint32_t recorded_crc = 0;   // from the central directory
    std::vector<uint8_t> data;   // what an independent reader gets back
};
// Reads the whole archive; false with the reason in *error when anything in
// it does not hold together (end record, directory, local headers, sizes,
// CRC-32 of the data against the recorded one).
bool ReadRebuiltArchive(const std::string& path, std::vector<RebuiltEntry>* entries,
                        std::string* error);

uint32_t Crc32(const std::vector<uint8_t>& data);

template <typename F>
CallbackAddress AddressOf(F* function) {
    return reinterpret_cast<CallbackAddress>(function);
}

// A test of arcsalve.dll: loaded afresh, messages recorded, a private
// directory; unloaded at the end (which releases its language module).
class DllTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    unsigned long Repair(const std::string& in, const char* out_dir, unsigned long flags);
    // GetFilePaths: the path the last repair read and the one it wrote.
    std::string SourcePath();
    std::string OutputPath();

    ArcsalveDll dll;
    TestDirectory dir;
};

}  // namespace wintest

#endif  // ARCSALVE_TESTS_WINDOWS_WIN_SUPPORT_H
