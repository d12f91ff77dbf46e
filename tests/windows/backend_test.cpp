// The Win32 backend of the platform layer, called directly (the test program
// links the library's core statically): the contracts of platform.h as the
// real Win32 calls keep them.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/platform.h"
#include "win_support.h"

namespace wintest {
namespace {

using namespace arcsalve;

std::vector<uint8_t> Counting(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return v;
}

TEST(Backend, ReadWriteSeekTruncate) {
    TestDirectory dir;
    std::string path = dir / "f.bin";
    std::vector<uint8_t> bytes = Counting(5000);

    FileHandle out = FileCreate(path.c_str());
    ASSERT_TRUE(IsOpenFile(out));
    EXPECT_EQ(FileWrite(out, bytes.data(), 5000), 5000u);
    EXPECT_EQ(FileTell(out), 5000u);
    EXPECT_EQ(FileSize(out), 5000u);
    ASSERT_EQ(FileSeek(out, 1200), 1);
    ASSERT_EQ(FileTruncateHere(out), 1);
    EXPECT_EQ(FileSize(out), 1200u);
    // Offsets beyond 4 GiB: the high word of SetFilePointer.
    const uint64_t beyond = (uint64_t{1} << 32) + 77;
    ASSERT_EQ(FileSeek(out, beyond), 1);
    EXPECT_EQ(FileTell(out), beyond);
    FileClose(out);

    FileHandle in = FileOpenRead(path.c_str());
    ASSERT_TRUE(IsOpenFile(in));
    EXPECT_EQ(FileSize(in), 1200u);
    ASSERT_EQ(FileSeek(in, 100), 1);
    uint8_t buffer[64];
    // A positioned read leaves the current offset where it was.
    ASSERT_EQ(FileReadAt(in, 1000, buffer, 64), 64u);
    EXPECT_EQ(std::memcmp(buffer, &bytes[1000], 64), 0);
    EXPECT_EQ(FileTell(in), 100u);
    EXPECT_EQ(FileReadAt(in, 1190, buffer, 64), 10u);  // short at the end
    ASSERT_EQ(FileRead(in, buffer, 64), 64u);
    EXPECT_EQ(std::memcmp(buffer, &bytes[100], 64), 0);
    ASSERT_EQ(FileSeek(in, 1200), 1);
    EXPECT_EQ(FileRead(in, buffer, 64), 0u);
    // Opened for reading only: writes fail with a count of 0.
    EXPECT_EQ(FileWrite(in, buffer, 10), 0u);
    FileClose(in);
}

TEST(Backend, OpenRules) {
    TestDirectory dir;
    std::string path = dir / "f.bin";
    ASSERT_TRUE(WriteBytes(path, Counting(10)));

    EXPECT_EQ(FileOpenRead((dir / "missing").c_str()), kInvalidFile);
    EXPECT_EQ(FileOpenRead(dir.path().c_str()), kInvalidFile);  // a directory

    // No sharing either way: while the archive is open nobody else may open
    // it, and a file another program holds cannot be opened.
    FileHandle in = FileOpenRead(path.c_str());
    ASSERT_TRUE(IsOpenFile(in));
    HANDLE other = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    FileClose(in);

    // The temporary file: an old one is replaced, its contents gone.
    std::string temp = dir / "arcsalve.tmp";
    ASSERT_TRUE(WriteBytes(temp, Counting(100)));
    FileHandle t = FileCreatePrivate(temp.c_str());
    ASSERT_TRUE(IsOpenFile(t));
    EXPECT_EQ(FileSize(t), 0u);
    FileClose(t);
    // A directory in its place is not deleted or written through.
    ASSERT_TRUE(DeleteFileA(temp.c_str()));
    ASSERT_TRUE(CreateDirectoryA(temp.c_str(), nullptr));
    EXPECT_EQ(FileCreatePrivate(temp.c_str()), kInvalidFile);
    EXPECT_TRUE(RemoveDirectoryA(temp.c_str()));
}

TEST(Backend, Names) {
    TestDirectory dir;
    std::string a = dir / "a.zip", b = dir / "b.zip";
    ASSERT_TRUE(WriteBytes(a, Counting(3)));
    ASSERT_TRUE(WriteBytes(b, Counting(4)));
    EXPECT_EQ(PathExists(a.c_str()), 1);
    EXPECT_EQ(PathExists(dir.path().c_str()), 1);
    EXPECT_EQ(PathExists((dir / "c.zip").c_str()), 0);
    // A move never replaces what is there.
    EXPECT_EQ(PathMove(a.c_str(), b.c_str()), 0);
    EXPECT_EQ(ReadBytes(b), Counting(4));
    EXPECT_EQ(PathMove(a.c_str(), (dir / "c.zip").c_str()), 1);
    EXPECT_EQ(PathExists(a.c_str()), 0);
    EXPECT_EQ(PathDelete((dir / "c.zip").c_str()), 1);
    EXPECT_EQ(PathDelete((dir / "c.zip").c_str()), 0);

    EXPECT_EQ(PathsEqual("C:\\Data\\Old.ZIP", "c:\\data\\old.zip"), 1);
    EXPECT_EQ(PathsEqual("C:\\Data\\Old.ZIP", "C:\\Data\\Old.ZIP "), 0);
    EXPECT_EQ(PathsEqual("C:\\Data\\a.zip", "C:\\Data\\a_BAK.zip"), 0);
    const char* s = "a\\";
    EXPECT_EQ(NextChar(s), s + 1);
    EXPECT_EQ(NextChar(s + 2), s + 2);  // never past the end
}

TEST(Backend, TemporaryDirectory) {
    TestDirectory dir;  // sets TMP
    char buffer[kMaxPath];
    size_t n = GetTempDirectory(buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, n), dir.path());
    char small[8] = "xxxxxxx";
    EXPECT_EQ(GetTempDirectory(small, sizeof small), 0u);
    EXPECT_STREQ(small, "");
}

TEST(Backend, StringsFromTheResources) {
    // The test program carries the library's resources, as the DLL does.
    char buffer[300];
    EXPECT_EQ(LoadStringText(17, buffer, sizeof buffer), 31);
    EXPECT_STREQ(buffer, "Beginning salvage operations...");
    EXPECT_EQ(LoadStringText(1012, buffer, sizeof buffer), 15);
    EXPECT_STREQ(buffer, "Salvage Aborted");
    // LoadStringA-style: capacity - 1 characters and the terminator.
    EXPECT_EQ(LoadStringText(17, buffer, 10), 9);
    EXPECT_STREQ(buffer, "Beginning");
    EXPECT_EQ(LoadStringText(999, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
}

TEST(Backend, OemNamesToAnsi) {
    // Code page 437 to the ANSI code page 1252 of an English system.
    ASSERT_EQ(GetACP(), 1252u);
    char out[16];
    EXPECT_EQ(OemToHost("caf\x82.txt", out, sizeof out), 8u);
    EXPECT_STREQ(out, "caf\xe9.txt");
    EXPECT_EQ(OemToHost("\x8e\x99\x9a", out, sizeof out), 3u);  // umlauts A O U
    EXPECT_STREQ(out, "\xc4\xd6\xdc");
    EXPECT_EQ(OemToHost("0123456789abcdefXYZ", out, sizeof out), 15u);  // cut to fit
    EXPECT_STREQ(out, "0123456789abcde");
}

TEST(Backend, Utf8NamesToAnsi) {
    ASSERT_EQ(GetACP(), 1252u);
    char out[16];
    EXPECT_EQ(Utf8ToHost("caf\xc3\xa9.txt", out, sizeof out), 8u);
    EXPECT_STREQ(out, "caf\xe9.txt");
    EXPECT_EQ(Utf8ToHost("snow\xe2\x98\x83", out, sizeof out), 5u);  // not in 1252
    EXPECT_STREQ(out, "snow?");
    EXPECT_EQ(Utf8ToHost("0123456789abcd\xc3\xa9" "f", out, sizeof out), 15u);  // cut to fit
    EXPECT_STREQ(out, "0123456789abcd\xe9");
}

}  // namespace
}  // namespace wintest
