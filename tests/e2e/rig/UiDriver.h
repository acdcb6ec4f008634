#pragma once
// Finds and drives the windows of one program from outside, as a user would see them.
// Everything is posted or sent with a time-out, so a hung program fails a test
// instead of hanging it.

#include <windows.h>

#include <string>
#include <vector>

enum class IconKind { None, Information, Exclamation, Error, Question, Unknown };
const char* iconKindName(IconKind kind);

struct ButtonInfo {
    int id;
    std::string text;
};

class UiDriver {
public:
    // processId 0: windows of any process.
    explicit UiDriver(DWORD processId) : processId_(processId) {}

    struct Shown {
        HWND window;
        std::string caption;
    };
    // The visible top-level windows of a class of the process, with their captions: one look
    // that serves a poll for several captions.
    std::vector<Shown> shownWindows(const char* className) const;
    static HWND captioned(const std::vector<Shown>& shown, const std::string& caption);

    // A visible top-level window with this caption (and class, when given) of the process.
    HWND findWindow(const std::string& caption, const char* className = nullptr) const;
    // Polls findWindow until the deadline; null when it did not appear.
    HWND waitForWindow(const std::string& caption, DWORD timeoutMs, const char* className = nullptr) const;
    // Polls until the window is gone or hidden; false on time-out.
    static bool waitUntilGone(HWND window, DWORD timeoutMs);
    // Captions of the visible top-level windows of the process right now.
    std::vector<std::string> visibleWindows() const;

    static std::string caption(HWND window);
    static std::string className(HWND window);
    // The message text of a message box (its static control 0xFFFF).
    static std::string messageBoxText(HWND box);
    // The push buttons of a dialog, in child order.
    static std::vector<ButtonInfo> buttons(HWND dialog);
    // The standard icon a message box shows, told apart by its pixels on screen.
    static IconKind messageBoxIcon(HWND box);

    // Presses a dialog button as a click would report it (WM_COMMAND, BN_CLICKED).
    static bool press(HWND dialog, int buttonId);
    // The Escape key, through the dialog manager of the window's own thread.
    static bool pressEscape(HWND dialog);
    // The close box (SC_CLOSE).
    static bool closeBox(HWND window);

    // The program's message-only main window (class "CARROWICK").
    HWND mainWindow() const;
    HWND waitForMainWindow(DWORD timeoutMs) const;
    bool postCommand(int id) const;
    bool postUpdateResult(int result) const;

    static RECT windowRect(HWND window);
    static bool visible(HWND window);
    // Position and range of a progress bar control; false when it did not answer.
    static bool progress(HWND bar, int& position, int& low, int& high);

private:
    bool ours(HWND window) const;
    DWORD processId_;
};
