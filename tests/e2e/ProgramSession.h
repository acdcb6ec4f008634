#pragma once
// One run of the real Carrowick.exe under the rig, with what a test needs around it:
// its command line, the windows it showed, and the boxes of the check flow answered
// the way a user who does not want an update would.

#include <windows.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/rig/Launcher.h"
#include "tests/e2e/rig/UiDriver.h"

// Captions and classes of the program's boxes.
extern const char* const kConnectCaption;
extern const char* const kConfirmCaption;
extern const char* const kResultCaption;
extern const char* const kAboutCaption;
extern const char* const kDialogClass;

extern const char* const kProgressCaption;
const int kProgressBarId = 1001;

// Deadlines: a start under Wine takes about 0.3 s, the first dialog up to 2 s.
const DWORD kWindowTimeoutMs = 8000;
const DWORD kExitTimeoutMs = 8000;

class ProgramSession {
public:
    // argumentText is appended after the quoted program path and one blank; an empty
    // text gives a command line of the program's name alone. environment ("NAME=value")
    // is added to the test's own, which the program inherits.
    explicit ProgramSession(const std::string& argumentText, std::vector<std::string> environment = {});

    // The program under test: CARROWICK_E2E_PROGRAM when set, else the one this build made.
    static std::string programPath();

    // Before start: another build of the program, and whether it runs under the rig's debugger.
    void useProgram(const std::string& path, bool debugged);

    bool start();
    Launcher& launcher() { return *launcher_; }
    UiDriver& ui() { return ui_; }

    // Waits for a box or dialog of the program; null at the deadline or as soon as the program ended.
    HWND waitForWindow(const std::string& caption, DWORD timeoutMs);
    // Waits for the end, noting every visible top-level window the program showed meanwhile.
    bool waitForExitWatchingWindows(DWORD timeoutMs);
    const std::set<std::string>& windowsSeen() const { return windowsSeen_; }

    // Lets the check flow end without an update: Cancel in the connect box, No in the
    // confirmation. True when the program ended within the time.
    bool declineUntilExit(DWORD timeoutMs);

    // How many debugger output strings were exactly this text.
    int debugCount(const std::string& text) const;

private:
    std::string argumentText_;
    std::string program_;
    bool debugged_ = true;
    std::vector<std::string> environment_;
    std::unique_ptr<Launcher> launcher_;
    UiDriver ui_{0};
    std::set<std::string> windowsSeen_;
};

// The diagnostic line the program writes for a firmware file it cannot read.
std::string invalidFileLine(const std::string& path);
