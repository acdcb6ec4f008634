#include "tests/e2e/ProgramSession.h"

const char* const kConnectCaption = "Lumetra Firmware check";
const char* const kConfirmCaption = "Lumetra Update";
const char* const kResultCaption = "Lumetra Firmware Check";
const char* const kAboutCaption = "About Carrowick";
const char* const kDialogClass = "#32770";
const char* const kProgressCaption = "Lumetra OS Update";

namespace {
const DWORD kPollMs = 10;
}

ProgramSession::ProgramSession(const std::string& argumentText, std::vector<std::string> environment)
    : argumentText_(argumentText), program_(programPath()), environment_(std::move(environment)) {}

void ProgramSession::useProgram(const std::string& path, bool debugged) {
    program_ = windowsPathOf(path);
    debugged_ = debugged;
}

std::string ProgramSession::programPath() {
    char path[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("CARROWICK_E2E_PROGRAM", path, sizeof path);
    return windowsPathOf(length > 0 && length < sizeof path ? path : CARROWICK_EXE);
}

bool ProgramSession::start() {
    LaunchOptions options;
    options.commandLine = "\"" + program_ + "\"";
    if (!argumentText_.empty()) options.commandLine += " " + argumentText_;
    options.debugged = debugged_;
    options.environment = environment_;
    launcher_.reset(new Launcher(options));
    if (!launcher_->start()) return false;
    ui_ = UiDriver(launcher_->processId());
    return true;
}

HWND ProgramSession::waitForWindow(const std::string& caption, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        if (HWND window = ui_.findWindow(caption, kDialogClass)) return window;
        if (launcher_->waitForExit(kPollMs) || GetTickCount() - start >= timeoutMs) return nullptr;
    }
}

bool ProgramSession::waitForExitWatchingWindows(DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        for (const std::string& window : ui_.visibleWindows()) windowsSeen_.insert(window);
        if (launcher_->waitForExit(kPollMs)) return true;
        if (GetTickCount() - start >= timeoutMs) return false;
    }
}

bool ProgramSession::declineUntilExit(DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        HWND box = nullptr;
        if ((box = ui_.findWindow(kConnectCaption, kDialogClass)) != nullptr)
            UiDriver::press(box, IDCANCEL);
        else if ((box = ui_.findWindow(kConfirmCaption, kDialogClass)) != nullptr)
            UiDriver::press(box, IDNO);
        // One answer per box: a second one could reach the box shown after it.
        if (box) UiDriver::waitUntilGone(box, timeoutMs);
        if (launcher_->waitForExit(kPollMs)) return true;
        if (GetTickCount() - start >= timeoutMs) return false;
    }
}

int ProgramSession::debugCount(const std::string& text) const {
    int count = 0;
    for (const std::string& line : launcher_->debugStrings())
        if (line == text) ++count;
    return count;
}

std::string invalidFileLine(const std::string& path) { return "UN_FW_Check: invalid file: " + path + "\n"; }
