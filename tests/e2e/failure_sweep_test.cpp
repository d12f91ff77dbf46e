// One failure sweep over a whole repair of an archive that takes every
// decoder (shrink, reduce, implode, deflate, stored, traditional encryption)
// and an entry found through its central directory record:
// each allocation of the decoders fails in turn, each byte budget of the
// writes runs out in turn, and each platform call that can fail does. The
// repair must never crash or leave its temporary file, must end with a
// complete archive of what it saved (or, for a write, say once that the disk
// is full), and must leave the input as it was. Then the limits where ZIP's
// fields end, lowered for the run so that they are reached in a test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "platform/testing/fault_platform.h"
#include "salvage/salvage_entry.h"
#include "support/harness.h"
#include "support/zlib_oracle.h"

namespace arcsalve::test {
namespace {

const char* const kParts[] = {"legacy/shrunk-pkzip-sharpcompress.zip", "legacy/reduced-f4-pkzip-sharpcompress.zip",
                              "legacy/imploded-mixed-pkzip-sharpcompress.zip", "legacy/zipcrypto-stored-sharpcompress.zip"};
const std::string kStopped = "2|ERROR (STOPPED): A write failed (is the disk full?); nothing more can be saved";

int ARCSALVE_CALLBACK AnswerTest(HWND, const char*, char* password) {
    std::strcpy(password, "test");
    return 1;
}

class FailureSweep : public ::testing::Test {
protected:
    void SetUp() override {
        Bytes input;
        for (const char* part : kParts) {
            Bytes b = ReadFile(std::string(ARCSALVE_FIXTURES_DIR) + "/" + part);
            input.insert(input.end(), b.begin(), b.end());
        }
        Bytes example = ReadFile(std::string(ARCSALVE_SOURCE_DIR) + "/examples/damaged.zip");  // deflated, cut
        input.insert(input.end(), example.begin(), example.end());
        Bytes lost = ReadFile(std::string(ARCSALVE_FIXTURES_DIR) + "/legacy/imploded-4k-2trees-pkzip11-commons-compress.zip");
        std::fill(lost.begin(), lost.begin() + 30, 0);  // its local header gone: found through its record
        input.insert(input.end(), lost.begin(), lost.end());
        WriteFile(dir / "in.zip", input);
        inputSize = input.size();
        ASSERT_EQ(std::system(("mkdir '" + dir / "out" + "'").c_str()), 0);
        SetPasswordCallback(reinterpret_cast<CallbackAddress>(&AnswerTest));
        reference = Repair(dir / "in.zip", out(), REPAIR_OVERWRITE | REPAIR_EXTENSIONS);
        referenceBytes = ReadFile(reference.output);
        ASSERT_GT(reference.messages.size(), 20u);
        ASSERT_EQ(reference.Count("0|  1 files found through the central directory"), 1u);
        ASSERT_EQ(reference.messages.back(), "0|Salvaged data stored in " + dir / "out/in.zip");
    }
    void TearDown() override {
        InjectAllocFailure(-1);
        PlatformClearFaults();
        SetPasswordCallback(0);
    }
    const char* out() const { return outPath.c_str(); }
    std::vector<std::string> ReferenceClassic() { return Repair(dir / "in.zip", out(), REPAIR_OVERWRITE).messages; }
    // The input unchanged and no temporary file left.
    void ExpectClean() {
        EXPECT_EQ(ReadFile(dir / "in.zip").size(), inputSize);
        EXPECT_FALSE(std::ifstream(dir / "arcsalve.tmp").good());
        EXPECT_FALSE(std::ifstream(dir / "arcsalve-records.tmp").good());
    }

    Scratch dir;
    std::string outPath = dir / "out";
    Repaired reference;
    Bytes referenceBytes;
    size_t inputSize = 0;
};

TEST_F(FailureSweep, EveryAllocationFailsInTurn) {
    bool whole = false;
    for (int allowed = 0; allowed < 20000 && !whole; allowed += allowed < 300 ? 1 : 37) {
        SCOPED_TRACE(allowed);
        InjectAllocFailure(allowed);
        Repaired run = Repair(dir / "in.zip", out(), REPAIR_OVERWRITE | REPAIR_EXTENSIONS);
        InjectAllocFailure(-1);
        ASSERT_EQ(run.result, 0u);
        ASSERT_EQ(run.messages.back(), reference.messages.back());  // a complete archive, of what was saved
        Bytes got = ReadFile(run.output);
        ASSERT_GE(got.size(), 22u);
        ASSERT_EQ(Bytes(got.end() - 22, got.end() - 18), (Bytes{'P', 'K', 5, 6}));
        ExpectClean();
        whole = run.messages == reference.messages && got == referenceBytes;
    }
    EXPECT_TRUE(whole);
}

TEST_F(FailureSweep, EveryWriteBudgetRunsOut) {
    bool whole = false;
    RunLimits spilling;  // every saved entry's record goes through the temporary file
    spilling.recordsInMemory = 1;
    for (uint64_t budget = 0; budget < 50000000 && !whole; budget += budget < 200 ? 1 : budget / 8) {
        SCOPED_TRACE(budget);
        PlatformInjectFault(PlatformFault::kShortWrite, budget);
        Repaired run = Repair(dir / "in.zip", out(), REPAIR_OVERWRITE | REPAIR_EXTENSIONS, spilling);
        PlatformClearFaults();
        ASSERT_EQ(run.result, 0u);
        ExpectClean();
        whole = run.messages == reference.messages && ReadFile(run.output) == referenceBytes;
        if (!whole) {
            ASSERT_LE(run.Count(kStopped), 1u);  // none when the directory was being written
            ASSERT_EQ(run.messages.back(), "2|Unable to write to output file");
        }
    }
    EXPECT_TRUE(whole);
    // In place, the damaged file is kept under its backup name whatever happens.
    PlatformInjectFault(PlatformFault::kShortWrite, 5000);
    Repaired run = Repair(dir / "in.zip", nullptr, 0);
    PlatformClearFaults();
    EXPECT_EQ(run.Count(kStopped), 1u);
    EXPECT_EQ(ReadFile(dir / "in_BAK.zip").size(), inputSize);
}

TEST_F(FailureSweep, PlatformCallsThatFail) {
    struct Case {
        PlatformFault fault;
        bool inPlace;
        unsigned long result;
        const char* first;
    } cases[] = {
        {PlatformFault::kMoveFails, true, REPAIR_ERR_BACKUP, "-1|Error creating backup file"},
        {PlatformFault::kCreateFails, true, REPAIR_ERR_FILE, "-1|File Error"},
        {PlatformFault::kCreateFails, false, REPAIR_ERR_FILE, "-1|File Error"},
        {PlatformFault::kCreatePrivateFails, false, 0, "0|Beginning salvage operations..."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first);
        std::remove((dir / "out/in.zip").c_str());
        PlatformInjectFault(c.fault);
        Repaired run = Repair(dir / "in.zip", c.inPlace ? nullptr : out(), 0);
        PlatformClearFaults();
        EXPECT_EQ(run.result, c.result);
        EXPECT_EQ(run.messages.at(0), c.first);
        ExpectClean();
        EXPECT_FALSE(std::ifstream(dir / "in_BAK.zip").good());
        if (c.result != 0) {
            EXPECT_EQ(run.messages.size(), 1u);
            EXPECT_FALSE(std::ifstream(dir / "out/in.zip").good());
        } else {  // no temporary file: the entry is skipped and counted
            EXPECT_EQ(run.messages.at(1), "2|ERROR (SKIPPING FILE): Unable to create temp file " + dir / "arcsalve.tmp");
            EXPECT_TRUE(std::any_of(run.messages.begin(), run.messages.end(), [](const std::string& m) {
                return m.rfind("2|  ", 0) == 0 && m.find(" system errors") != std::string::npos;
            }));
        }
    }
    // A link planted under the temporary file's name is replaced, never written through.
    WriteFile(dir / "victim", {'k', 'e', 'e', 'p'});
    ASSERT_EQ(::symlink((dir / "victim").c_str(), (dir / "arcsalve.tmp").c_str()), 0);
    const std::vector<std::string> linked = Repair(dir / "in.zip", out(), REPAIR_OVERWRITE).messages;
    EXPECT_EQ(linked, ReferenceClassic());
    EXPECT_EQ(ReadFile(dir / "victim"), (Bytes{'k', 'e', 'e', 'p'}));
    ExpectClean();
}

#if defined(__linux__)
#include <sched.h>

// Workers for all cores: no more than the affinity mask and a cgroup's CPU
// quota leave room for.
TEST(Platform, ProcessorCountHonoursAffinityAndQuota) {
    // A cgroup v2 group a/b: the least quota of it and the groups above, in
    // whole processors rounded up; "max" (none) and junk do not count.
    Scratch dir;
    ASSERT_EQ(std::system(("mkdir -p " + dir / "proc/self " + dir / "cg/a/b").c_str()), 0);
    std::ofstream(dir / "proc/self/cgroup") << "1:cpu:/x\n0::/a/b\n";
    std::ofstream(dir / "proc/self/mountinfo") << "30 1 0:26 / " + dir / "cg" + " rw - cgroup2 cgroup2 rw\n";
    const char* const quotas[][3] = {{"max 100000\n", "max 100000\n", "0"}, {"max 100000", "150000 100000", "2"},
                                     {"100000 100000", "350000 100000", "1"}, {"junk", "0 100000", "0"}};
    for (const auto& [outer, inner, count] : quotas) {
        std::ofstream(dir / "cg/a/cpu.max") << outer;
        std::ofstream(dir / "cg/a/b/cpu.max") << inner;
        EXPECT_EQ(CgroupProcessorLimit(dir.path.c_str()), std::stoul(count)) << outer << inner;
    }
    // A cgroup v1 cpu hierarchy beside it (a mount of cpuacct alone is another): the smaller limit counts.
    ASSERT_EQ(std::system(("mkdir -p " + dir / "v1/x").c_str()), 0);
    std::ofstream(dir / "proc/self/mountinfo") << "30 1 0:26 / " + dir / "cg" + " rw - cgroup2 cgroup2 rw\n31 1 0:27 / " +
                                                      dir / "acct" + " rw - cgroup cgroup rw,cpuacct\n32 1 0:28 / " +
                                                      dir / "v1" + " rw shared:9 - cgroup cgroup rw,cpu,cpuacct\n";
    std::ofstream(dir / "v1/x/cpu.cfs_period_us") << "100000\n";
    const std::tuple<const char*, const char*, uint32_t> rows[] = {
        {"-1\n", "0 100000", 0}, {"250000\n", "0 100000", 3}, {"250000\n", "150000 100000", 2}};
    for (const auto& [v1, v2, count] : rows) {
        std::ofstream(dir / "v1/x/cpu.cfs_quota_us") << v1;
        std::ofstream(dir / "cg/a/b/cpu.max") << v2;
        EXPECT_EQ(CgroupProcessorLimit(dir.path.c_str()), count) << v1 << v2;
    }
    cpu_set_t one;  // the processor this thread is on
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_EQ(ProcessorCount(), 1u);
}
#endif

// A stream that expands past what an entry may hold (4 GiB - 2 bytes; here
// 100,000) is kept that far, as damaged, and the scan goes on after it.
TEST(Limits, DecodedSizeAndZip64) {
    Scratch dir;
    const Bytes zeros(1000000, 0);
    const Bytes bomb = ZlibRawDeflate(zeros, 9);
    Bytes input;
    auto add = [&](const std::string& name, uint16_t method, const Bytes& data, const Bytes& plain) {
        const uint32_t crc = ZlibCrc32(plain), sizes[] = {static_cast<uint32_t>(data.size()), static_cast<uint32_t>(plain.size())};
        Bytes header = {'P', 'K', 3, 4, 20, 0, 0, 0, static_cast<uint8_t>(method), 0, 0, 0, 0x21, 0};
        for (uint32_t v : {crc, sizes[0], sizes[1]})
            for (int i = 0; i < 4; ++i) header.push_back(static_cast<uint8_t>(v >> (8 * i)));
        header.insert(header.end(), {static_cast<uint8_t>(name.size()), 0, 0, 0});
        input.insert(input.end(), header.begin(), header.end());
        input.insert(input.end(), name.begin(), name.end());
        input.insert(input.end(), data.begin(), data.end());
    };
    add("bomb.bin", 8, bomb, zeros);
    const Bytes after = {'s', 't', 'i', 'l', 'l'};
    for (int i = 0; i < 4; ++i) add("e" + std::to_string(i) + ".zip", 0, after, after);
    WriteFile(dir / "in.zip", input);
    RunLimits limits;
    limits.decodedSize = 100000;
    Repaired run = Repair(dir / "in.zip", dir.path.c_str(), REPAIR_NO_BACKUP_NAME_CHECK, limits);
    EXPECT_EQ(run.messages.at(1), "2|ERROR: File bomb.bin is corrupt.  Salvaged 100000 of 1000000");
    EXPECT_EQ(run.Count("0|    e3.zip: size = 5:  OK"), 1u);
    // From zip64From on (4 GiB - 1; here 6, then 5) sizes and offsets go into
    // ZIP64 blocks: every offset but the first, the bomb's sizes (both in its
    // local block and its central one), then the small entries' sizes too
    // (central blocks of all three); readers take the archive whole.
    for (uint64_t from : {6, 5}) {
        limits.zip64From = from;
        run = Repair(dir / "in_BAK.zip", dir.path.c_str(), REPAIR_ALLOW_BACKUP_INPUT, limits);
        const std::string z = run.output, check = "python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
            "assert z.testzip() is None; print(*[(i.file_size, i.extract_version, len(i.extra)) for i in z.infolist()], "
            "open(sys.argv[1], \"rb\").read()[-98:-94])' " + z + " >" + dir / "list && 7z t " + z + " >/dev/null && unzip -tq " + z;
        ASSERT_EQ(std::system((check + " >/dev/null").c_str()), 0);
        const std::string small = from == 6 ? " (5, 45, 12)" : " (5, 45, 28)",
                          want = "(100000, 45, 20)" + small + small + small + small + " b'PK\\x06\\x06'\n";
        EXPECT_EQ(ReadFile(dir / "list"), Bytes(want.begin(), want.end()));
    }
}

// Extra blocks an entry carries go into both its headers; a block that does
// not fit the room is refused.
TEST(RebuiltHeaders, CarriedBlocks) {
    Scratch dir;
    char name[] = "a";
    SalvageEntry entry{};
    entry.name = name;
    entry.localHeader[kLhNameLength] = 1;
    const uint8_t data[kMaxCarriedExtra] = {7};
    ASSERT_TRUE(CarryExtraBlock(entry.carried, 0x9901, data, 7));
    EXPECT_FALSE(CarryExtraBlock(entry.carried, 0x5455, data, kMaxCarriedExtra - 11 - 3));
    FileHandle out = FileCreate((dir / "h").c_str());
    ASSERT_TRUE(WriteLocalHeader(out, entry) && WriteCentralRecord(out, entry, kZip64Threshold));
    FileClose(out);
    const Bytes bytes = ReadFile(dir / "h"), block = {0x01, 0x99, 7, 0, 7, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(bytes.size(), 30 + 1 + 11 + 46 + 1 + 11);
    for (auto at : {bytes.begin() + 31, bytes.end() - 11}) EXPECT_EQ(Bytes(at, at + 11), block);
}

// The offsets of the headers read, the places taken and the stretches of
// saved entries are packed while they rise: a lookup finds exactly the ones
// noted, risen or fallen back, across blocks and steps of any width.
TEST(ListedNames, PackedOffsets) {
    std::vector<uint64_t> noted;
    uint64_t at = 3;
    for (uint64_t i = 0; i < 300; ++i) {  // steps of 0, 1, 127s, 70,000s and one of 2^40
        at += (i % 4 == 0 ? 0 : 1) + (i % 5) * (i % 7 ? 127 : 70000) + (i == 150 ? uint64_t{1} << 40 : 0);
        noted.push_back(at);
    }
    noted.insert(noted.end(), {5, 1000, noted[200] + 3, 0});
    ListedNames names;
    char name[] = "a";
    for (uint64_t place : noted) {
        NoteFoundName(names, name, 1, place);
        ASSERT_TRUE(TakePlace(names, place));
        NoteSavedEntry(names, place, place + place % 3 * 100, place % 2 == 0);  // some empty: not noted
    }
    ASSERT_TRUE(PrepareFoundLookup(names));
    EXPECT_EQ(LowestFoundHeader(names), 0u);
    for (uint64_t place : noted)
        for (uint64_t probe : {place, place + 1, place + 2, place + 199, place + 200}) {
            const bool was = std::find(noted.begin(), noted.end(), probe) != noted.end();
            EXPECT_EQ(HeaderWasFound(names, probe), was) << probe;
            EXPECT_EQ(PlaceTaken(names, probe), was) << probe;
            const bool inside = std::any_of(noted.begin(), noted.end(),
                                            [&](uint64_t p) { return p <= probe && probe < p + p % 3 * 100; });
            EXPECT_EQ(InsideSavedEntry(names, probe), inside ? 1 : 0) << probe;
        }
    ReleaseListedNames(names);
}

}  // namespace
}  // namespace arcsalve::test
