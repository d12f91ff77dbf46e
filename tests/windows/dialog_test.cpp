// The password dialog itself, driven the way a user drives it. The repair
// runs on the test's main thread, which sits in the dialog's modal loop; a
// second thread plays the user: it finds the "Decrypt File" window, reads
// it, types and presses buttons, and answers the "Incorrect Password" box.
//
// Needs a display: ctest runs these tests under Xvfb (xvfb-run) in a Wine
// prefix of their own. Without a display they are skipped.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "win_support.h"

namespace wintest {
namespace {

constexpr int kNameControl = 1010;
constexpr int kPasswordEdit = 1011;
constexpr int kSkipButton = 3;

// Waits up to 20 s for a top-level window with this title owned by this
// process (the message box's class is the dialog class "#32770").
HWND WaitForWindow(const char* title, HWND not_this = nullptr) {
    for (int i = 0; i < 400; ++i) {
        HWND w = FindWindowA("#32770", title);
        if (w != nullptr && w != not_this && IsWindowVisible(w)) return w;
        Sleep(50);
    }
    return nullptr;
}

std::string TextOf(HWND window, int control) {
    char text[256] = {};
    GetDlgItemTextA(window, control, text, sizeof text);
    return text;
}

// Types like a keyboard: one WM_CHAR per character into the focused edit.
void Type(HWND edit, const char* text) {
    SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""));
    for (const char* p = text; *p; ++p) PostMessageA(edit, WM_CHAR, static_cast<unsigned char>(*p), 1);
}

void PressKey(HWND window, WPARAM key) {
    PostMessageA(window, WM_KEYDOWN, key, 1);
    PostMessageA(window, WM_KEYUP, key, 0xC0000001);
}

void Click(HWND dialog, int button) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
}

// Gets every dialog and box out of the way until the repair has returned,
// so a failed test cannot leave the repair waiting in a modal loop.
void SkipUntil(const std::atomic<bool>& repair_done) {
    while (!repair_done) {
        HWND box = FindWindowA("#32770", "Incorrect Password");
        if (box) PostMessageA(box, WM_COMMAND, IDOK, 0);
        HWND dialog = FindWindowA("#32770", "Decrypt File");
        if (dialog) Click(dialog, kSkipButton);
        Sleep(100);
    }
}

bool Near(long a, long b) { return a - b <= 1 && b - a <= 1; }

// What the user's thread saw; checked on the main thread afterwards.
struct Seen {
    std::vector<std::string> problems;
    std::string name;
    RECT dialog{};
    LONG style = 0;
    bool open_after_escape = false;
    std::string box_text;
    bool box_owned_by_dialog = false;
    bool closed_after_right_password = false;
    int dialogs = 0;
};

class Dialog : public DllTest {
protected:
    void SetUp() override {
        // The dialog needs a display (and so Wine's X11 driver).
        if (GetEnvironmentVariableA("DISPLAY", nullptr, 0) == 0)
            GTEST_SKIP() << "no display: run under xvfb-run";
        DllTest::SetUp();
    }

    // Repairs the fixture archive while `user` plays the user on another thread.
    template <typename User>
    void RepairWith(const char* fixture, HWND parent, User user) {
        std::string input = dir / fixture;
        ASSERT_TRUE(CopyFileA(FixturePath(fixture).c_str(), input.c_str(), TRUE));
        ASSERT_TRUE(CreateDirectoryA((dir / "out").c_str(), nullptr));
        std::atomic<bool> repair_done{false};
        std::thread thread([&] {
            user();
            SkipUntil(repair_done);
        });
        std::string out = dir / "out";
        result = dll.RepairFile(&input[0], &out[0], 0, parent);
        repair_done = true;
        thread.join();
        output = out + "\\" + fixture;
    }

    Seen seen;
    unsigned long result = 0;
    std::string output;
};

TEST_F(Dialog, WrongThenRightPassword) {
    RepairWith("crypt_stored.zip", nullptr, [&] {
        HWND dialog = WaitForWindow("Decrypt File");
        if (!dialog) return seen.problems.push_back("no \"Decrypt File\" window");
        seen.dialogs++;
        seen.name = TextOf(dialog, kNameControl);
        GetWindowRect(dialog, &seen.dialog);
        seen.style = GetWindowLongA(dialog, GWL_STYLE);
        HWND edit = GetDlgItem(dialog, kPasswordEdit);

        // Escape is ignored: the dialog stays.
        PressKey(edit, VK_ESCAPE);
        Sleep(500);
        seen.open_after_escape = IsWindow(dialog) && IsWindowVisible(dialog);

        // A wrong password, confirmed with Enter (OK is the default button).
        Type(edit, "wrong");
        PressKey(edit, VK_RETURN);
        HWND box = WaitForWindow("Incorrect Password");
        if (!box) return seen.problems.push_back("no \"Incorrect Password\" box");
        seen.box_text = TextOf(box, 0xFFFF);  // a message box's text control
        seen.box_owned_by_dialog = GetWindow(box, GW_OWNER) == dialog;
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        for (int i = 0; i < 100 && IsWindow(box); ++i) Sleep(50);

        // The right one, with the OK button.
        Type(edit, "test");
        Sleep(200);
        Click(dialog, IDOK);
        for (int i = 0; i < 100 && IsWindow(dialog); ++i) Sleep(50);
        seen.closed_after_right_password = !IsWindow(dialog);
        // Every other entry shares the password: no second dialog.
        Sleep(500);
        if (FindWindowA("#32770", "Decrypt File")) seen.dialogs++;
    });
    EXPECT_TRUE(seen.problems.empty()) << seen.problems.front();
    EXPECT_EQ(result, REPAIR_OK);
    EXPECT_EQ(seen.name, "brown.txt");
    EXPECT_EQ(seen.style & WS_SYSMENU, 0);  // no system menu, no close box
    EXPECT_TRUE(seen.open_after_escape);
    EXPECT_EQ(seen.box_text, "The entered password does not appear to be correct");
    EXPECT_TRUE(seen.box_owned_by_dialog);
    EXPECT_TRUE(seen.closed_after_right_password);
    EXPECT_EQ(seen.dialogs, 1);

    // No parent: centred over the desktop.
    RECT desktop;
    GetWindowRect(GetDesktopWindow(), &desktop);
    EXPECT_TRUE(Near((seen.dialog.left + seen.dialog.right) / 2, (desktop.left + desktop.right) / 2));
    EXPECT_TRUE(Near((seen.dialog.top + seen.dialog.bottom) / 2, (desktop.top + desktop.bottom) / 2));

    EXPECT_TRUE(TextsAt(MESSAGE_ERROR).empty()) << TextsAt(MESSAGE_ERROR).front();
    std::vector<RebuiltEntry> rebuilt;
    std::string error;
    ASSERT_TRUE(ReadRebuiltArchive(output, &rebuilt, &error)) << error;
    EXPECT_EQ(rebuilt.size(), ReadExpected(FixturePath("crypt_stored.expect")).size());
}

}  // namespace
}  // namespace wintest
