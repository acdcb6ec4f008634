// The release package's "Update Lumetra.cmd", run by cmd the way a double-click runs it, from
// folders whose names hold what cmd treats specially. The updater takes its whole command
// line as the path and removes no quotes, so the launcher must hand it the firmware's full
// path bare, and hand back its exit code. The instrument is already in its update mode (no
// start message), so each run takes the program's own pauses and little more.

#include <fstream>
#include <iterator>

#include "tests/e2e/InstrumentTest.h"

namespace {

const char kFirmwareName[] = "lumetra firmware.syx";

class LauncherTest : public InstrumentTest, public ::testing::WithParamInterface<const char*> {
protected:
    // The package's folder: the updater, the firmware and the launcher made from its template.
    std::string makePackage(const Firmware& firmware) {
        const std::string folder = temp_.file(GetParam());
        EXPECT_TRUE(CreateDirectoryA(folder.c_str(), nullptr)) << folder;
        EXPECT_TRUE(CopyFileA(ProgramSession::programPath().c_str(), (folder + "\\Carrowick.exe").c_str(), FALSE));
        temp_.write(std::string(GetParam()) + "\\" + kFirmwareName, firmware.file);
        std::ifstream in(windowsPathOf(CARROWICK_LAUNCHER_TEMPLATE), std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_FALSE(text.empty()) << "no " << CARROWICK_LAUNCHER_TEMPLATE;
        const std::string placeholder = "@FIRMWARE@";
        size_t at = text.find(placeholder);
        EXPECT_NE(std::string::npos, at);
        if (at != std::string::npos) text.replace(at, placeholder.size(), kFirmwareName);
        std::string crlf;
        for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
        temp_.write(std::string(GetParam()) + "\\Update Lumetra.cmd", crlf);
        return folder;
    }
};

TEST_P(LauncherTest, UpdatesWithTheFirmwareBesideIt) {
    Firmware firmware = makeFirmware(20, false);
    const std::string folder = makePackage(firmware);
    const uint32_t port = addLumetra();
    ASSERT_NE(0u, port);

    LaunchOptions options;
    options.commandLine = "cmd.exe /c \"\"" + folder + "\\Update Lumetra.cmd\" \"";
    options.environment = environment({"CARROWICK_SIMZEPH_NO_DEVICE=1"});
    Launcher launcher(options);
    ASSERT_TRUE(launcher.start()) << "error " << launcher.error();
    // The boxes belong to the updater, a child of cmd: look for them in any process.
    UiDriver ui(0);
    bool confirmed = false, resultSeen = false;
    const DWORD start = GetTickCount();
    while (!launcher.waitForExit(5) && GetTickCount() - start < kUpdateTimeoutMs) {
        if (HWND box = ui.findWindow(kConfirmCaption, kDialogClass)) confirmed = UiDriver::press(box, IDYES);
        if (HWND box = ui.findWindow(kResultCaption, kDialogClass)) {
            EXPECT_EQ(kCompletedText, UiDriver::messageBoxText(box));
            resultSeen = UiDriver::press(box, IDOK);
        }
    }
    ASSERT_TRUE(launcher.exited()) << "cmd did not end; confirmed " << confirmed << ", result seen " << resultSeen;
    EXPECT_TRUE(confirmed) << "no confirmation box: the updater did not read the firmware";
    EXPECT_TRUE(resultSeen);
    EXPECT_EQ(0, launcher.exitCode()) << "the launcher did not hand back the updater's exit code";
    expectDelivered(firmware.expected, port);
    EXPECT_NE(std::string::npos, onlyUpdateLog().find("firmware path: " + folder + "\\" + kFirmwareName));
}

INSTANTIATE_TEST_SUITE_P(Folders, LauncherTest,
                         ::testing::Values("Lumetra update 1.1", "Lumetra update & notes (1)! a^b;c,d=e'f"));

}  // namespace
