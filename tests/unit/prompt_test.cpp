// The password prompt through the host's callbacks: which passwords are
// tried, when the user is asked, what is remembered, and what the user sees.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "api/repair_state.h"
#include "arcsalve/arcsalve.h"
#include "crypt/cipher.h"
#include "platform/platform.h"
#include "support/zipcrypto_writer.h"
#include "ui/password_prompt.h"

namespace arcsalve {
namespace {

using test_crypt::Bytes;

// A scripted user: each question takes the next answer ("\x01" stands for
// Skip); when the script runs out the user skips. Every question and notice
// is recorded.
struct ScriptedUser {
    std::vector<std::string> answers;
    size_t next = 0;
    std::vector<std::string> askedNames;
    std::vector<HWND> askedParents;
    struct Notice {
        HWND owner;
        std::string text, caption;
        unsigned long flags;
    };
    std::vector<Notice> notices;
    bool fillAll40 = false;  // copy 40 bytes without a terminator
};
ScriptedUser g_user;

const char kSkip[] = "\x01";

int ARCSALVE_CALLBACK AskPassword(HWND parent, const char* name, char* password) {
    g_user.askedNames.push_back(name);
    g_user.askedParents.push_back(parent);
    if (g_user.next >= g_user.answers.size()) return 0;
    const std::string& answer = g_user.answers[g_user.next++];
    if (answer == kSkip) return 0;
    if (g_user.fillAll40 && answer.size() >= 40)
        std::memcpy(password, answer.data(), 40);
    else
        std::memcpy(password, answer.c_str(), std::min<size_t>(answer.size() + 1, 40));
    return 1;
}

void ARCSALVE_CALLBACK ShowNoticeToUser(HWND owner, const char* text, const char* caption,
                                        unsigned long flags) {
    g_user.notices.push_back({owner, text, caption, flags});
}

// A header whose check byte fits `password` for an entry with CRC `crc`.
struct Entry {
    Bytes header;
    uint32_t crc;
};

Entry EntryFor(const std::string& password, uint32_t crc, uint32_t seed = 1) {
    return {test_crypt::EncryptionHeader(password, static_cast<uint8_t>(crc >> 24), seed), crc};
}

// A header `password` fits and none of `others` does (the check is one byte,
// so some CRC top bytes let several through).
Entry EntryOnlyFor(const std::string& password, const std::vector<std::string>& others, uint32_t seed) {
    for (uint32_t top = 0;; ++top) {
        Entry e = EntryFor(password, top << 24, seed + top);
        if (std::none_of(others.begin(), others.end(), [&](const std::string& p) {
                return p != password && CheckPassword(p.c_str(), e.header.data(), e.crc, 0, 1);
            }))
            return e;
    }
}

// A prompt for an entry that then decodes to its CRC-32: an accepted
// password is remembered.
int Prompt(const Entry& e, const char* name = "entry.txt", uint16_t flags = 1) {
    const int found = PromptForPassword(e.header.data(), name, e.crc, 0, flags);
    if (found) RememberCurrentPassword();
    return found;
}

class PromptTest : public testing::Test {
protected:
    void SetUp() override {
        ForgetPasswords();
        g_user = ScriptedUser();
        g_parentWindow = reinterpret_cast<HWND>(0x4711);
        previousPassword_ = SetPasswordCallback(reinterpret_cast<CallbackAddress>(&AskPassword));
        previousNotice_ = SetNoticeCallback(reinterpret_cast<CallbackAddress>(&ShowNoticeToUser));
    }
    void TearDown() override {
        SetPasswordCallback(previousPassword_);
        SetNoticeCallback(previousNotice_);
        g_parentWindow = nullptr;
        ForgetPasswords();
    }
    CallbackAddress previousPassword_ = 0;
    CallbackAddress previousNotice_ = 0;
};

// An archive whose entries share a password asks once; the next entry takes
// the remembered one without a question, and CurrentPassword holds it.
TEST_F(PromptTest, RememberedPasswordIsUsedWithoutAsking) {
    g_user.answers = {"shared secret"};
    ASSERT_EQ(Prompt(EntryFor("shared secret", 0x11000000, 1), "a.txt"), 1);
    ASSERT_EQ(Prompt(EntryFor("shared secret", 0x22000000, 2), "b.txt"), 1);
    ASSERT_EQ(Prompt(EntryFor("shared secret", 0x33000000, 3), "c.txt"), 1);
    EXPECT_EQ(g_user.askedNames, std::vector<std::string>{"a.txt"});
    EXPECT_STREQ(CurrentPassword, "shared secret");
    EXPECT_EQ(RememberedPasswordCount(), 1);
    EXPECT_TRUE(g_user.notices.empty());
}

// The user is asked about the same entry until an answer fits or Skip: one
// notice per wrong answer (string 6 with caption 7, the stop icon, owned by
// the parent window). Skip gives 0 and remembers nothing; so does a host
// without a password callback (the dialog cannot be created, nobody is asked).
TEST_F(PromptTest, WrongAnswersShowTheNoticeAndSkipGivesNoPassword) {
    const struct {
        const char* label;
        std::vector<std::string> answers;
        bool callback;
        int result;
        size_t notices;
    } cases[] = {
        // "guess" or "" may pass the one-byte check by chance; not with this CRC.
        {"wrong, empty, right", {"guess", "", "right"}, true, 1, 2},
        {"skip", {kSkip}, true, 0, 0},
        {"wrong, then skip", {"nope", kSkip}, true, 0, 1},
        {"no password callback", {"right"}, false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ForgetPasswords();
        g_user = ScriptedUser();
        g_user.answers = c.answers;
        SetPasswordCallback(c.callback ? reinterpret_cast<CallbackAddress>(&AskPassword) : 0);
        ASSERT_EQ(Prompt(EntryFor("right", 0xABCDEF01), "doc.txt"), c.result);
        const size_t asked = c.callback ? c.answers.size() : 0;
        EXPECT_EQ(g_user.askedNames, std::vector<std::string>(asked, "doc.txt"));
        EXPECT_EQ(g_user.askedParents, std::vector<HWND>(asked, g_parentWindow));
        ASSERT_EQ(g_user.notices.size(), c.notices);
        for (const auto& n : g_user.notices) {
            EXPECT_EQ(n.text, "The entered password does not appear to be correct");
            EXPECT_EQ(n.caption, "Incorrect Password");
            EXPECT_EQ(n.flags, 0x10u);
            EXPECT_EQ(n.owner, g_parentWindow);
        }
        EXPECT_EQ(RememberedPasswordCount(), c.result);
        if (c.result == 1) {
            EXPECT_STREQ(CurrentPassword, "right");
        }
    }
}

// Several remembered passwords fit the same header (the check is one byte):
// the one accepted first wins, whatever the order they were given in later.
TEST_F(PromptTest, OldestFittingRememberedPasswordWins) {
    const uint32_t crc = 0x7E000000;
    Entry shared = EntryFor("first", crc, 9);
    // Another password that passes the same header's check byte.
    std::string other;
    for (int i = 0; other.empty() && i < 100000; ++i) {
        std::string candidate = "other" + std::to_string(i);
        if (CheckPassword(candidate.c_str(), shared.header.data(), crc, 0, 1)) other = candidate;
    }
    ASSERT_FALSE(other.empty());
    for (bool otherFirst : {false, true}) {
        SCOPED_TRACE(otherFirst ? "other accepted first" : "first accepted first");
        ForgetPasswords();
        g_user = ScriptedUser();
        std::string a = otherFirst ? other : "first";
        std::string b = otherFirst ? "first" : other;
        g_user.answers = {a, b};
        // Accept each on an entry that only it fits.
        ASSERT_EQ(Prompt(EntryOnlyFor(a, {b}, 40)), 1);
        ASSERT_EQ(Prompt(EntryOnlyFor(b, {a}, 40)), 1);
        ASSERT_EQ(RememberedPasswordCount(), 2);
        ASSERT_EQ(Prompt(shared), 1);
        EXPECT_EQ(std::string(CurrentPassword), a);
        EXPECT_EQ(g_user.askedNames.size(), 2u);
    }
}

// Five slots: the sixth password accepted pushes out the oldest, which is
// then asked for again; the order of the others is kept.
TEST_F(PromptTest, SixthAcceptedPasswordPushesOutTheOldest) {
    std::vector<std::string> passwords = {"pw-1", "pw-2", "pw-3", "pw-4", "pw-5", "pw-6"};
    g_user.answers = passwords;
    g_user.answers.push_back("pw-1");
    std::vector<Entry> entries;
    for (size_t i = 0; i < passwords.size(); ++i) {
        entries.push_back(EntryOnlyFor(passwords[i], passwords, static_cast<uint32_t>(100 + i)));
        ASSERT_EQ(Prompt(entries.back()), 1);
    }
    EXPECT_EQ(g_user.askedNames.size(), 6u);
    ASSERT_EQ(RememberedPasswordCount(), 5);
    for (int slot = 0; slot < 5; ++slot) EXPECT_EQ(RememberedPassword(slot), passwords[slot + 1]);
    // pw-2 .. pw-6 are still known; pw-1 must be typed again and then comes last.
    ASSERT_EQ(Prompt(entries[1]), 1);
    EXPECT_EQ(g_user.askedNames.size(), 6u);
    ASSERT_EQ(Prompt(entries[0]), 1);
    EXPECT_EQ(g_user.askedNames.size(), 7u);
    EXPECT_STREQ(RememberedPassword(4), "pw-1");
    EXPECT_STREQ(RememberedPassword(0), "pw-3");
}

// A host that fills all 40 bytes of a 45-character password: the first 39
// are tested, accepted and remembered. An entry encrypted with all 45 can
// never be opened (the notice, then Skip).
TEST_F(PromptTest, LongPasswordIsCutTo39Characters) {
    const std::string typed = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHI";
    ASSERT_EQ(typed.size(), 45u);
    const std::string first39 = typed.substr(0, 39);
    g_user.fillAll40 = true;
    g_user.answers = {typed};
    ASSERT_EQ(Prompt(EntryFor(first39, 0x3C000000)), 1);
    EXPECT_EQ(std::string(CurrentPassword), first39);
    EXPECT_EQ(std::string(RememberedPassword(0)), first39);

    ForgetPasswords();
    g_user = ScriptedUser();
    g_user.fillAll40 = true;
    g_user.answers = {typed, kSkip};
    EXPECT_EQ(Prompt(EntryFor(typed, 0x3C000000)), 0);
    EXPECT_EQ(g_user.notices.size(), 1u);
}

// The name the host is shown is converted like the names in messages:
// CP437 unless bit 11 says UTF-8. Password bytes with the high bit set pass
// through unchanged.
TEST_F(PromptTest, NameIsShownAsHostTextAndPasswordBytesAreKept) {
    g_user.answers = {"\xE4\xF6\xFC", "\xE4\xF6\xFC"};
    ASSERT_EQ(Prompt(EntryFor("\xE4\xF6\xFC", 0x01000000), "\x81" "ber.txt", 0x0001), 1);
    ForgetPasswords();
    ASSERT_EQ(Prompt(EntryFor("\xE4\xF6\xFC", 0x02000000), "\xC3\xBC" "ber.txt", 0x0801), 1);
    EXPECT_EQ(g_user.askedNames,
              (std::vector<std::string>{"\xC3\xBC" "ber.txt", "\xC3\xBC" "ber.txt"}));
    EXPECT_STREQ(CurrentPassword, "\xE4\xF6\xFC");
}

// The dialog's logic as a Windows dialog drives it: Escape (2) and other
// commands leave it open and accept nothing; OK with a wrong text keeps it
// open; Skip and a fitting OK close it. The notice goes to the dialog.
TEST_F(PromptTest, DialogCommandsOutsideOkAndSkipAreIgnored) {
    SetPasswordCallback(0);
    Entry e = EntryFor("win", 0x66000000);
    // No dialog exists on POSIX: the prompt ends at once; then drive the
    // logic by hand as the platform's dialog procedure would.
    ASSERT_EQ(Prompt(e), 0);
    HWND dialog = reinterpret_cast<HWND>(0x99);
    // Outside a prompt the logic has no entry: OK closes, accepting nothing.
    EXPECT_EQ(DecryptDialogProc(dialog, kDialogOk, "win"), 1);
    EXPECT_EQ(RememberedPasswordCount(), 0);
    EXPECT_TRUE(g_user.notices.empty());

    // Inside a prompt, through a host callback that plays the dialog.
    struct Commands {
        static int ARCSALVE_CALLBACK Play(HWND, const char*, char* password) {
            HWND d = reinterpret_cast<HWND>(0x99);
            EXPECT_EQ(DecryptDialogProc(d, 2, nullptr), 0);     // Escape
            EXPECT_EQ(DecryptDialogProc(d, 1011, "win"), 0);    // the edit's own notifications
            EXPECT_EQ(DecryptDialogProc(d, kDialogOk, "lose"), 0);
            std::strcpy(password, "win");
            return 1;
        }
    };
    SetPasswordCallback(reinterpret_cast<CallbackAddress>(&Commands::Play));
    ASSERT_EQ(Prompt(e), 1);
    ASSERT_EQ(g_user.notices.size(), 1u);
    EXPECT_EQ(g_user.notices[0].owner, dialog);
    EXPECT_STREQ(RememberedPassword(0), "win");
}

}  // namespace
}  // namespace arcsalve
