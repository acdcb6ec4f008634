// The main window's own commands and the result message, sent to the running program
// the way the menu, the accelerators and the update worker would. The program is kept
// running by its connect box: it is started on a readable file with no instrument, so
// the check flow waits for the user there.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CarrowickVersion.h"
#include "tests/common/TempFiles.h"
#include "tests/e2e/ProgramSession.h"

namespace {

class RunningProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        // No instrument: a Zeph library another run left named would offer one.
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Veltro\\Zeph");
        // An empty file loads as a valid image.
        std::string path = temp_.write("lumetra.syx", std::vector<uint8_t>());
        session_.reset(new ProgramSession(path));
        ASSERT_TRUE(session_->start()) << "error " << session_->launcher().error();
        connectBox_ = session_->waitForWindow(kConnectCaption, kWindowTimeoutMs);
        ASSERT_NE(nullptr, connectBox_) << "no connect box" << ended() << "; debugger output: "
                                        << session_->launcher().debugText();
        // The window may still be inside its creation when the box shows: wait for it.
        ASSERT_NE(nullptr, session_->ui().waitForMainWindow(kWindowTimeoutMs))
            << "no message-only main window of class CARROWICK"
            << (FindWindowExA(nullptr, nullptr, "CARROWICK", nullptr) ? "; a top-level one is there" : "");
    }

    UiDriver& ui() { return session_->ui(); }
    std::string ended() {
        return session_->launcher().exited()
                   ? " (the program ended with " + std::to_string(session_->launcher().exitCode()) + ")"
                   : "";
    }

    // Opens the About box with command 104 and checks what it shows.
    HWND openAbout() {
        EXPECT_TRUE(ui().postCommand(104));
        HWND about = session_->waitForWindow(kAboutCaption, kWindowTimeoutMs);
        EXPECT_NE(nullptr, about) << "no About box";
        if (!about) return nullptr;
        std::vector<ButtonInfo> buttons = UiDriver::buttons(about);
        EXPECT_EQ(1u, buttons.size());
        if (!buttons.empty()) {
            EXPECT_EQ(IDOK, buttons[0].id);
            EXPECT_EQ("OK", buttons[0].text);
        }
        return about;
    }

    // Answers the result box and checks the exit code it leads to.
    void expectResultBox(int result, const char* text, IconKind icon) {
        ASSERT_TRUE(ui().postUpdateResult(result));
        HWND box = session_->waitForWindow(kResultCaption, kWindowTimeoutMs);
        ASSERT_NE(nullptr, box) << "no result box" << ended();
        EXPECT_EQ(text, UiDriver::messageBoxText(box));
        EXPECT_EQ(icon, UiDriver::messageBoxIcon(box));
        std::vector<ButtonInfo> buttons = UiDriver::buttons(box);
        ASSERT_EQ(1u, buttons.size());
        EXPECT_EQ(IDOK, buttons[0].id);
        // The program ends only once the user has seen the result.
        EXPECT_FALSE(session_->launcher().waitForExit(200));
        ASSERT_TRUE(UiDriver::press(box, IDOK));
        ASSERT_TRUE(session_->launcher().waitForExit(kExitTimeoutMs)) << "the program did not end";
        EXPECT_EQ(result, session_->launcher().exitCode());
    }

    TempDir temp_;
    std::unique_ptr<ProgramSession> session_;
    HWND connectBox_ = nullptr;
};

TEST_F(RunningProgramTest, AboutBoxClosesOnOkEscapeAndItsCloseBox) {
    HWND about = openAbout();
    ASSERT_NE(nullptr, about);
    ASSERT_TRUE(UiDriver::press(about, IDOK));
    EXPECT_TRUE(UiDriver::waitUntilGone(about, kWindowTimeoutMs)) << "OK did not close it";

    about = openAbout();
    ASSERT_NE(nullptr, about);
    ASSERT_TRUE(UiDriver::pressEscape(about));
    EXPECT_TRUE(UiDriver::waitUntilGone(about, kWindowTimeoutMs)) << "Escape did not close it";

    about = openAbout();
    ASSERT_NE(nullptr, about);
    ASSERT_TRUE(UiDriver::closeBox(about));
    EXPECT_TRUE(UiDriver::waitUntilGone(about, kWindowTimeoutMs)) << "the close box did not close it";

    // The About box changed nothing: the program still waits, and Cancel ends it with -1.
    EXPECT_FALSE(session_->launcher().exited());
    ASSERT_TRUE(session_->declineUntilExit(kExitTimeoutMs));
    EXPECT_EQ(-1, session_->launcher().exitCode());
}

// The first line names the build's version whole: a development version is longer than a
// release's, and a label cuts off what does not fit. Measured in the dialog's font.
TEST_F(RunningProgramTest, AboutBoxShowsTheWholeVersion) {
    HWND about = openAbout();
    ASSERT_NE(nullptr, about);
    const std::string expected = std::string("Carrowick, Version ") + CARROWICK_VERSION;
    HWND label = nullptr;
    for (HWND child = GetWindow(about, GW_CHILD); child && !label; child = GetWindow(child, GW_HWNDNEXT)) {
        char text[128] = {};
        GetWindowTextA(child, text, sizeof text);
        if (expected == text) label = child;
    }
    ASSERT_NE(nullptr, label) << "no label \"" << expected << "\"";
    RECT client = {};
    ASSERT_TRUE(GetClientRect(label, &client));
    HDC dc = GetDC(nullptr);
    HFONT font = CreateFontA(-MulDiv(8, GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                             DEFAULT_CHARSET, 0, 0, 0, 0, "MS Shell Dlg");
    HGDIOBJ old = SelectObject(dc, font);
    SIZE extent = {};
    GetTextExtentPoint32A(dc, expected.c_str(), static_cast<int>(expected.size()), &extent);
    SelectObject(dc, old);
    DeleteObject(font);
    ReleaseDC(nullptr, dc);
    EXPECT_LE(extent.cx, client.right) << expected << ": " << extent.cx << " pixels in a label of " << client.right;
    ASSERT_TRUE(UiDriver::press(about, IDOK));
    EXPECT_TRUE(UiDriver::waitUntilGone(about, kWindowTimeoutMs));
}

TEST_F(RunningProgramTest, ExitCommandEndsWithZero) {
    ASSERT_TRUE(ui().postCommand(105));
    ASSERT_TRUE(session_->launcher().waitForExit(kExitTimeoutMs)) << "the program did not end";
    EXPECT_EQ(0, session_->launcher().exitCode());
}

TEST_F(RunningProgramTest, CompletedUpdateShowsInformationAndEndsWithZero) {
    expectResultBox(0, "Lumetra firmware update completed.", IconKind::Information);
}

TEST_F(RunningProgramTest, FailedUpdateShowsExclamationAndEndsWithItsCode) {
    expectResultBox(-1, "Error updating the Lumetra firmware.", IconKind::Exclamation);
}

}  // namespace
