#pragma once
// One run of the program through its whole update, driven like a user: every box of the
// check flow and the result box is recorded when it appears (caption, text, icon, and what
// the progress dialog showed at that moment) and answered by the test's policy, while a
// per-poll hook lets the test act on the instrument (unplug it, hold its completions).

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/e2e/ProgramSession.h"

// What an answer policy may return instead of a button id.
const int kUseCloseBox = -2;

struct BoxSeen {
    std::string caption;
    std::string text;
    IconKind icon = IconKind::None;
    DWORD tick = 0;
    // The progress dialog at that moment: whether it was visible, and its bar.
    bool progressVisible = false;
    int progressPosition = -1;
    int progressHigh = -1;
};

class UpdateRun {
public:
    // caption of the box and how many boxes with that caption came before it.
    using Answer = std::function<int(const std::string& caption, int earlier)>;
    using Poll = std::function<void()>;

    UpdateRun(const std::string& firmwarePath, std::vector<std::string> environment);

    // Default: Cancel in the connect box, Yes in the confirmation, OK on the result.
    void setAnswer(Answer answer) { answer_ = std::move(answer); }
    void setPoll(Poll poll) { poll_ = std::move(poll); }
    // The result box's icon is told by its pixels, which takes a moment; off when the test
    // must answer at once.
    void setCheckResultIcon(bool check) { checkResultIcon_ = check; }

    bool start();
    // Polls until the program ends; false at the deadline.
    bool runToExit(DWORD timeoutMs);

    ProgramSession& session() { return session_; }
    int32_t exitCode() { return session_.launcher().exitCode(); }
    const std::vector<BoxSeen>& boxes() const { return boxes_; }
    std::vector<BoxSeen> boxesCaptioned(const std::string& caption) const;
    std::string describeBoxes() const;

    // The progress dialog, once it was seen, and where it was when it showed.
    HWND progressDialog() const { return progress_; }
    RECT progressRect() const { return progressRect_; }
    DWORD progressShownTick() const { return progressTick_; }
    // Reads the bar now; false when the dialog is not there or did not answer.
    bool readProgress(int& position, int& high) const;

private:
    void lookForProgressDialog(const std::vector<UiDriver::Shown>& dialogs);
    void serveBox(const std::vector<UiDriver::Shown>& dialogs, const char* caption);

    ProgramSession session_;
    Answer answer_;
    Poll poll_;
    bool checkResultIcon_ = true;
    std::vector<BoxSeen> boxes_;
    HWND progress_ = nullptr;
    RECT progressRect_ = {};
    DWORD progressTick_ = 0;
};
