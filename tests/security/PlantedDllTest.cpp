// An updater is often run from a downloads folder. DLLs planted beside it, or in the
// current folder, under the names of DLLs it uses must never be loaded.

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/TempFiles.h"
#include "tests/e2e/rig/Launcher.h"
#include "tests/e2e/rig/UiDriver.h"

namespace {

const char* const kPlanted[] = {"winmm.dll", "ksuser.dll", "setupapi.dll", "comctl32.dll"};

// The log, in lower case: the loader names a DLL as the importer spelled it.
std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::string lower = text.str();
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return lower;
}

class PlantedDll : public ::testing::Test {
protected:
    void SetUp() override {
        exeDir = downloads.path();
        workDir = current.path();
        log = logs.file("planted.log");
        for (const char* name : kPlanted) {
            std::string planted = windowsPathOf(CARROWICK_PLANTED_DLL);
            ASSERT_TRUE(CopyFileA(planted.c_str(), (exeDir + "\\" + name).c_str(), FALSE));
            ASSERT_TRUE(CopyFileA(planted.c_str(), (workDir + "\\" + name).c_str(), FALSE));
        }
        firmware = downloads.write("lumetra.syx", std::vector<uint8_t>{0xF0, 0x00, 0x7A, 0x51, 0x01, 0xF7});
    }

    LaunchOptions options(const std::string& commandLine) {
        LaunchOptions o;
        o.commandLine = commandLine;
        o.workingDirectory = workDir;
        o.environment = {"CARROWICK_PLANT_LOG=" + log};
        return o;
    }

    TempDir downloads, current, logs;
    std::string exeDir, workDir, log, firmware;
};

TEST_F(PlantedDll, AProgramThatImportsWinmmWouldLoadIt) {
    std::string control = exeDir + "\\imports_winmm.exe";
    ASSERT_TRUE(CopyFileA(windowsPathOf(CARROWICK_IMPORTS_WINMM).c_str(), control.c_str(), FALSE));
    Launcher launcher(options("\"" + control + "\""));
    ASSERT_TRUE(launcher.start());
    ASSERT_TRUE(launcher.waitForExit(20000));
    EXPECT_NE(readText(log).find("winmm.dll loaded by"), std::string::npos) << readText(log);
}

TEST_F(PlantedDll, CarrowickLoadsOnlyTheSystemCopies) {
    std::string exe = exeDir + "\\Carrowick.exe";
    ASSERT_TRUE(CopyFileA(windowsPathOf(CARROWICK_EXE).c_str(), exe.c_str(), FALSE));
    Launcher launcher(options("\"" + exe + "\" " + firmware));
    ASSERT_TRUE(launcher.start());
    // By the connect box the program has counted the WinMM devices and the maker's USB
    // devices: everything it loads is loaded.
    // The connect box, or the confirmation when the prefix offers an instrument.
    UiDriver ui(launcher.processId());
    HWND box = nullptr;
    for (DWORD waited = 0; !box && waited < 20000 && !launcher.exited(); waited += 50) {
        box = ui.findWindow("Lumetra Firmware check", "#32770");
        if (!box) box = ui.findWindow("Lumetra Update", "#32770");
        if (!box) Sleep(50);
    }
    ASSERT_NE(box, nullptr) << launcher.debugText();
    UiDriver::press(box, UiDriver::caption(box) == "Lumetra Update" ? IDNO : IDCANCEL);
    ASSERT_TRUE(launcher.waitForExit(20000));
    EXPECT_EQ(launcher.exitCode(), -1);
    EXPECT_EQ(readText(log), "");
}

}  // namespace
