#include "win_support.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace wintest {
namespace {

template <typename F>
bool Bind(HMODULE module, const char* name, F* slot, std::string* error) {
    FARPROC address = GetProcAddress(module, name);
    if (address == nullptr) {
        *error += std::string("missing export ") + name + "\n";
        return false;
    }
    *slot = reinterpret_cast<F>(reinterpret_cast<void*>(address));
    return true;
}

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool Inflate(const uint8_t* in, size_t size, uint32_t expected, std::vector<uint8_t>* out) {
    out->assign(expected, 0);
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return false;
    z.next_in = const_cast<Bytef*>(in);
    z.avail_in = static_cast<uInt>(size);
    uint8_t spare;
    z.next_out = expected ? out->data() : &spare;
    z.avail_out = expected;
    int rc = inflate(&z, Z_FINISH);
    bool ok = rc == Z_STREAM_END && z.total_out == expected;
    inflateEnd(&z);
    return ok;
}

void RemoveTree(const std::string& dir) {
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((dir + "*").c_str(), &found);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..") continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(dir + name + "\\");
            } else {
                SetFileAttributesA((dir + name).c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA((dir + name).c_str());
            }
        } while (FindNextFileA(h, &found));
        FindClose(h);
    }
    RemoveDirectoryA(dir.c_str());
}

}  // namespace

bool LoadArcsalve(ArcsalveDll* dll, std::string* error) {
    error->clear();
    dll->module = LoadLibraryA((ProgramDirectory() + "arcsalve.dll").c_str());
    if (dll->module == nullptr) {
        *error = "LoadLibrary failed: " + std::to_string(GetLastError());
        return false;
    }
    bool ok = Bind(dll->module, "?RepairFile@@YAKPEAD0KPEAUHWND__@@@Z", &dll->RepairFile, error);
    ok &= Bind(dll->module, "?GetFilePaths@@YAXPEAPEAD00@Z", &dll->GetFilePaths, error);
    ok &= Bind(dll->module, "?SetMessageCallback@@YA_K_K@Z", &dll->SetMessageCallback, error);
    ok &= Bind(dll->module, "?SetProgressCallback@@YA_K_K@Z", &dll->SetProgressCallback, error);
    ok &= Bind(dll->module, "?SetPasswordCallback@@YA_K_K@Z", &dll->SetPasswordCallback, error);
    ok &= Bind(dll->module, "?SetNoticeCallback@@YA_K_K@Z", &dll->SetNoticeCallback, error);
    return ok;
}

void UnloadArcsalve(ArcsalveDll* dll) {
    if (dll->module != nullptr) FreeLibrary(dll->module);
    *dll = ArcsalveDll();
}

std::vector<std::pair<int, std::string>>& Messages() {
    static std::vector<std::pair<int, std::string>> messages;
    return messages;
}

void ARCSALVE_CALLBACK RecordMessage(int level, const char* text) {
    Messages().emplace_back(level, text);
}

unsigned long ARCSALVE_CALLBACK KeepGoing(unsigned long) { return 1; }

std::vector<std::string> TextsAt(int level) {
    std::vector<std::string> out;
    for (const auto& m : Messages())
        if (m.first == level) out.push_back(m.second);
    return out;
}

std::string ProgramDirectory() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of('\\') + 1);
}

std::string FromUnixPath(const std::string& unix_path) {
    std::string out = "Z:" + unix_path;
    for (char& c : out)
        if (c == '/') c = '\\';
    return out;
}

std::string FixturePath(const std::string& name) {
    return FromUnixPath(ARCSALVE_WIN_FIXTURES_DIR) + "\\" + name;
}

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

namespace {
std::string Environment(const char* name) {
    char value[MAX_PATH];
    DWORD n = GetEnvironmentVariableA(name, value, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::string(value, n) : std::string();
}
void SetEnvironment(const char* name, const std::string& value) {
    SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str());
}
}  // namespace

TestDirectory::TestDirectory() : old_tmp_(Environment("TMP")), old_temp_(Environment("TEMP")) {
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    unsigned seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
    for (unsigned n = 0; n < 1000; ++n) {
        path_ = std::string(base) + "arcsalve-test-" + std::to_string(seed + n) + "\\";
        if (CreateDirectoryA(path_.c_str(), nullptr)) break;
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    EXPECT_TRUE(GetFileAttributesA(path_.c_str()) & FILE_ATTRIBUTE_DIRECTORY) << "cannot create " << path_;
    SetEnvironment("TMP", path_);
    SetEnvironment("TEMP", path_);
}

TestDirectory::~TestDirectory() {
    SetEnvironment("TMP", old_tmp_);
    SetEnvironment("TEMP", old_temp_);
    RemoveTree(path_);
}

std::vector<ExpectedEntry> ReadExpected(const std::string& path) {
    std::vector<ExpectedEntry> out;
    std::ifstream f(path, std::ios::binary);
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream fields(line);
        ExpectedEntry e;
        std::string size, crc;
        std::getline(fields, e.name, '\t');
        std::getline(fields, size, '\t');
        std::getline(fields, crc, '\t');
        e.size = static_cast<uint32_t>(std::stoul(size));
        e.crc = static_cast<uint32_t>(std::stoul(crc, nullptr, 16));
        out.push_back(e);
    }
    return out;
}

uint32_t Crc32(const std::vector<uint8_t>& data) {
    return static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
}

// The archive is read from its end record backwards, as any reader would:
// end record, then each central directory record, then the local header and
// data it points to. Every length is checked against the file before use.
bool ReadRebuiltArchive(const std::string& path, std::vector<RebuiltEntry>* entries,
                        std::string* error) {
    entries->clear();
    std::vector<uint8_t> zip = ReadBytes(path);
    auto fail = [&](const std::string& why) {
        *error = path + ": " + why;
        return false;
    };
    if (zip.size() < 22) return fail("shorter than an end record");
    size_t end = zip.size() - 22;
    if (Le32(&zip[end]) != 0x06054b50) return fail("no end record at the end");
    uint16_t count = Le16(&zip[end + 10]);
    uint32_t dir_size = Le32(&zip[end + 12]);
    uint32_t dir_offset = Le32(&zip[end + 16]);
    if (static_cast<uint64_t>(dir_offset) + dir_size != end) return fail("directory not before the end record");
    size_t p = dir_offset;
    for (uint16_t i = 0; i < count; ++i) {
        if (p + 46 > end || Le32(&zip[p]) != 0x02014b50) return fail("bad central record");
        RebuiltEntry e;
        e.method = Le16(&zip[p + 10]);
        e.flags = Le16(&zip[p + 8]);
        e.recorded_crc = Le32(&zip[p + 16]);
        uint32_t csize = Le32(&zip[p + 20]);
        uint32_t usize = Le32(&zip[p + 24]);
        uint16_t name_len = Le16(&zip[p + 28]);
        uint16_t extra_len = Le16(&zip[p + 30]);
        uint16_t comment_len = Le16(&zip[p + 32]);
        uint32_t local = Le32(&zip[p + 42]);
        if (p + 46 + name_len > end) return fail("name past the directory");
        e.name.assign(reinterpret_cast<const char*>(&zip[p + 46]), name_len);
        p += 46u + name_len + extra_len + comment_len;

        if (static_cast<uint64_t>(local) + 30 > dir_offset || Le32(&zip[local]) != 0x04034b50)
            return fail(e.name + ": bad local header");
        if (Le16(&zip[local + 8]) != e.method || Le32(&zip[local + 14]) != e.recorded_crc ||
            Le32(&zip[local + 18]) != csize || Le32(&zip[local + 22]) != usize)
            return fail(e.name + ": local header disagrees with the directory");
        uint64_t data = static_cast<uint64_t>(local) + 30 + Le16(&zip[local + 26]) + Le16(&zip[local + 28]);
        if (data + csize > dir_offset) return fail(e.name + ": data past the directory");
        if (e.method == 0) {
            if (csize != usize) return fail(e.name + ": stored sizes differ");
            e.data.assign(zip.begin() + static_cast<long>(data), zip.begin() + static_cast<long>(data + csize));
        } else if (e.method == 8) {
            if (!Inflate(&zip[data], csize, usize, &e.data)) return fail(e.name + ": zlib cannot inflate it");
        } else {
            return fail(e.name + ": method " + std::to_string(e.method));
        }
        if (Crc32(e.data) != e.recorded_crc) return fail(e.name + ": CRC-32 of the data differs");
        entries->push_back(std::move(e));
    }
    if (p != end) return fail("directory size disagrees with its records");
    return true;
}

void DllTest::SetUp() {
    std::string error;
    ASSERT_TRUE(LoadArcsalve(&dll, &error)) << error;
    Messages().clear();
    EXPECT_EQ(dll.SetMessageCallback(AddressOf(RecordMessage)), 0u);
    EXPECT_EQ(dll.SetProgressCallback(AddressOf(KeepGoing)), 0u);
}

void DllTest::TearDown() {
    if (dll.module != nullptr) {
        dll.SetMessageCallback(0);
        dll.SetProgressCallback(0);
        dll.SetPasswordCallback(0);
        dll.SetNoticeCallback(0);
    }
    UnloadArcsalve(&dll);
}

unsigned long DllTest::Repair(const std::string& in, const char* out_dir, unsigned long flags) {
    std::string input = in;
    std::string output = out_dir ? out_dir : "";
    return dll.RepairFile(&input[0], out_dir ? &output[0] : nullptr, flags, nullptr);
}

std::string DllTest::SourcePath() {
    char* source = nullptr;
    dll.GetFilePaths(&source, nullptr, nullptr);
    return source;
}

std::string DllTest::OutputPath() {
    char* output = nullptr;
    dll.GetFilePaths(nullptr, &output, nullptr);
    return output;
}

}  // namespace wintest
