// uidriver [--pid N] SUBCOMMAND ...: drives a running program's windows for scripts.
//   wait-window CAPTION [TIMEOUT-MS]   waits for a visible top-level window
//   text CAPTION                       prints a message box's text, buttons and icon
//   press CAPTION BUTTON-ID            presses a button of a dialog or box
//   escape CAPTION                     presses Escape in it
//   close CAPTION                      uses its close box
//   rect CAPTION                       prints its screen rectangle: "X Y WIDTH HEIGHT"
//   command ID                         posts WM_COMMAND ID to the main window
//   post-result N                      posts the update result N to the main window
// Exit code 0 on success, 1 when the window was not found or the post failed, 2 on misuse.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/e2e/rig/UiDriver.h"

namespace {

const DWORD kDefaultTimeoutMs = 5000;

int usage() {
    std::fprintf(stderr,
                 "usage: uidriver [--pid N] wait-window CAPTION [TIMEOUT-MS] | text CAPTION |\n"
                 "       press CAPTION BUTTON-ID | escape CAPTION | close CAPTION | rect CAPTION |\n"
                 "       command ID | post-result N\n");
    return 2;
}

int notFound(const std::string& what) {
    std::fprintf(stderr, "uidriver: %s not found\n", what.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    int i = 1;
    DWORD processId = 0;
    if (i + 1 < argc && std::string(argv[i]) == "--pid") {
        processId = static_cast<DWORD>(std::strtoul(argv[i + 1], nullptr, 10));
        i += 2;
    }
    if (i >= argc) return usage();
    std::string command = argv[i++];
    int rest = argc - i;
    UiDriver driver(processId);

    if (command == "command" || command == "post-result") {
        if (rest != 1) return usage();
        int value = static_cast<int>(std::strtol(argv[i], nullptr, 0));
        if (!driver.waitForMainWindow(kDefaultTimeoutMs)) return notFound("main window \"CARROWICK\"");
        bool posted = command == "command" ? driver.postCommand(value) : driver.postUpdateResult(value);
        return posted ? 0 : 1;
    }
    if (rest < 1) return usage();
    std::string caption = argv[i];
    DWORD timeoutMs = kDefaultTimeoutMs;
    if (command == "wait-window" && rest == 2) timeoutMs = static_cast<DWORD>(std::strtoul(argv[i + 1], nullptr, 10));
    HWND window = driver.waitForWindow(caption, timeoutMs);
    if (!window) return notFound("window \"" + caption + "\"");

    if (command == "wait-window" && rest <= 2) {
        std::printf("%s [%s]\n", caption.c_str(), UiDriver::className(window).c_str());
        return 0;
    }
    if (command == "text" && rest == 1) {
        std::printf("caption: %s\ntext: %s\nicon: %s\n", caption.c_str(), UiDriver::messageBoxText(window).c_str(),
                    iconKindName(UiDriver::messageBoxIcon(window)));
        for (const ButtonInfo& button : UiDriver::buttons(window))
            std::printf("button %d: %s\n", button.id, button.text.c_str());
        return 0;
    }
    if (command == "press" && rest == 2) return UiDriver::press(window, std::atoi(argv[i + 1])) ? 0 : 1;
    if (command == "escape" && rest == 1) return UiDriver::pressEscape(window) ? 0 : 1;
    if (command == "close" && rest == 1) return UiDriver::closeBox(window) ? 0 : 1;
    if (command == "rect" && rest == 1) {
        RECT r = UiDriver::windowRect(window);
        std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
        return 0;
    }
    return usage();
}
