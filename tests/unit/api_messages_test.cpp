// The callback slots, the message texts (built-in and from a language
// catalogue) and the scaling of progress values.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "api/messages.h"
#include "arcsalve/arcsalve.h"
#include "platform/platform.h"
#include "support/api_fixture.h"

namespace arcsalve {
namespace {

using test_api::HostRecorder;
using test_api::ScratchDir;
using test_api::WriteText;

std::vector<std::string> g_seen;
void FirstCallback(int, const char* text) { g_seen.push_back(std::string("first:") + text); }
void SecondCallback(int, const char* text) { g_seen.push_back(std::string("second:") + text); }
unsigned long StopCallback(unsigned long) { return 0; }

// Every slot's Set returns the previous address; 0 removes the callback.
TEST(MessageCallbacks, SlotsReturnThePreviousAddressAndZeroSilences) {
    const auto first = reinterpret_cast<CallbackAddress>(&FirstCallback);
    const auto second = reinterpret_cast<CallbackAddress>(&SecondCallback);
    g_seen.clear();
    EXPECT_EQ(SetMessageCallback(first), 0u);
    EmitMessage(MESSAGE_INFO, "one");
    EXPECT_EQ(SetMessageCallback(second), first);
    EmitMessage(MESSAGE_ERROR, "two");
    EXPECT_EQ(SetMessageCallback(0), second);
    EmitMessage(MESSAGE_INFO, "dropped");
    EXPECT_EQ(g_seen, (std::vector<std::string>{"first:one", "second:two"}));

    // Without a progress callback a report means "go on"; the host's answer
    // is passed back as it is.
    EXPECT_EQ(EmitProgress(10), 1u);
    const auto stop = reinterpret_cast<CallbackAddress>(&StopCallback);
    EXPECT_EQ(SetProgressCallback(stop), 0u);
    EXPECT_EQ(EmitProgress(10), 0u);
    EXPECT_EQ(SetProgressCallback(0), stop);
    EXPECT_EQ(EmitProgress(10), 1u);

    SetPasswordCallback(0);
    SetNoticeCallback(0);
    EXPECT_EQ(SetPasswordCallback(first), 0u);
    EXPECT_EQ(SetPasswordCallback(0), first);
    EXPECT_EQ(SetNoticeCallback(second), 0u);
    EXPECT_EQ(SetNoticeCallback(first), second);
    EXPECT_EQ(SetNoticeCallback(0), first);
}

TEST(MessageTexts, TwoTextsStayAliveAndUnknownIdsAreEmpty) {
    ResetMessageTextIndex();
    const char* caption = LoadMessageText(7);
    const char* text = LoadMessageText(6);
    EXPECT_NE(caption, text);
    EXPECT_STREQ(caption, "Incorrect Password");
    EXPECT_STREQ(text, "The entered password does not appear to be correct");
    const char* third = LoadMessageText(2);
    EXPECT_EQ(third, caption);
    EXPECT_STREQ(caption, "File Error");
    EXPECT_STREQ(text, "The entered password does not appear to be correct");
    // A scan starts with the first buffer again.
    ResetMessageTextIndex();
    EXPECT_EQ(LoadMessageText(17), caption);
    // Unknown ids give empty texts.
    EXPECT_STREQ(LoadMessageText(9999), "");
    EXPECT_STREQ(LoadLongMessageText(1), "Error creating backup file");
    EXPECT_STREQ(LoadLongMessageText(9999), "");
}

TEST(MessageTexts, EmitFormattedFillsTheLoadedText) {
    HostRecorder host;
    EmitFormatted(MESSAGE_INFO, 14, "dir/file.txt", 1234);
    EmitFormatted(MESSAGE_ERROR, 12, "x", -1, 2147483647);
    ASSERT_EQ(host.messages.size(), 2u);
    EXPECT_EQ(host.messages[0], std::make_pair(0, std::string("    dir/file.txt: size = 1234:  OK")));
    EXPECT_EQ(host.messages[1],
              std::make_pair(2, std::string("ERROR: File x is corrupt.  Salvaged -1 of 2147483647")));
}

// A language catalogue replaces texts by id; ids it lacks keep the built-in
// text, and a text whose conversions differ from the built-in one is ignored
// (it would make the formatter read arguments that are not there).
class CatalogueTest : public ::testing::Test {
protected:
    void TearDown() override {
        ::unsetenv("ARCSALVE_LANGUAGE");
        FreeLanguageModule();
        LoadLanguageModule();
    }
    void Load(const std::string& contents) {
        WriteText(dir / "lang.txt", contents);
        ::setenv("ARCSALVE_LANGUAGE", (dir / "lang.txt").c_str(), 1);
        FreeLanguageModule();
        LoadLanguageModule();
    }
    ScratchDir dir;
};

TEST_F(CatalogueTest, TranslatedTextsAndTheirLimits) {
    const std::string long120(120, 'x');
    Load("2\t" + long120 + "\n"
         "17\tDebut du sauvetage...\r\n"
         "14\t%s : %d octets\n"
         "8\tCannot open %d\n"      // wrong conversion: ignored
         "9\tCannot %ld %s\n"       // a length modifier: ignored
         "not a row\n"
         "x\tnot an id\n"
         "5000\tunused id\n");
    EXPECT_EQ(std::string(LoadMessageText(2)), long120.substr(0, 99));
    EXPECT_EQ(std::string(LoadLongMessageText(2)), long120);
    EXPECT_STREQ(LoadMessageText(17), "Debut du sauvetage...");
    EXPECT_STREQ(LoadMessageText(14), "%s : %d octets");
    EXPECT_STREQ(LoadMessageText(8), "ERROR (SKIPPING FILE): Cannot open %s");
    EXPECT_STREQ(LoadMessageText(9), "Unable to re-compress %s");
    EXPECT_STREQ(LoadMessageText(18), "No files found in archive.");  // not in the catalogue
    EXPECT_STREQ(LoadMessageText(5000), "unused id");

    // A catalogue that is missing means the built-in table.
    ::setenv("ARCSALVE_LANGUAGE", (dir / "absent.txt").c_str(), 1);
    FreeLanguageModule();
    LoadLanguageModule();
    EXPECT_STREQ(LoadMessageText(1012), "Salvage Aborted");
    EXPECT_STREQ(LoadMessageText(2), "File Error");
}

// ((pos * 100) / total) * (hi - lo) / 100 + lo, reported only when it grows.
TEST(ScaledProgress, ReportsOnlyGrowthWithExactPercentages) {
    struct Case {
        const char* label;
        uint32_t lo, hi;
        uint64_t pos, total;
        uint32_t last;
        std::vector<uint32_t> reported;
        uint32_t lastAfter;
    };
    const Case cases[] = {
        {"middle of 50,000,000 bytes", 0, 100, 25000000, 50000000, 0, {50}, 50},
        {"equal to the last value: no call", 0, 100, 25000000, 50000000, 50, {}, 50},
        {"below the last value: no call", 0, 100, 1, 3, 40, {}, 40},
        {"under one percent", 0, 100, 9999, 1000000, 0, {}, 0},
        {"near 2^32, not yet 100", 0, 100, 0xFFFFFFFEu, 0xFFFFFFFFu, 0, {99}, 99},
        {"at 2^32 - 1 of 2^32 - 1", 0, 100, 0xFFFFFFFFu, 0xFFFFFFFFu, 99, {100}, 100},
        {"beyond 4 GiB", 0, 100, uint64_t{3} << 32, uint64_t{4} << 32, 0, {75}, 75},
        {"scaled into 20..60", 20, 60, 50, 100, 0, {40}, 40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        HostRecorder host;
        uint32_t last = c.last;
        EXPECT_EQ(ReportScaledProgress(c.lo, c.hi, c.pos, c.total, &last), 1u);
        EXPECT_EQ(host.progress, c.reported);
        EXPECT_EQ(last, c.lastAfter);
    }
    HostRecorder stopping;
    stopping.progressAnswer = 0;
    uint32_t last = 0;
    EXPECT_EQ(ReportScaledProgress(0, 100, 1, 2, &last), 0u);
}

}  // namespace
}  // namespace arcsalve
