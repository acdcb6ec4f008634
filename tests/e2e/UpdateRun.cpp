#include "tests/e2e/UpdateRun.h"

namespace {

const DWORD kPollMs = 10;

int defaultAnswer(const std::string& caption, int) {
    if (caption == kConnectCaption) return IDCANCEL;
    if (caption == kConfirmCaption) return IDYES;
    return IDOK;
}

}  // namespace

UpdateRun::UpdateRun(const std::string& firmwarePath, std::vector<std::string> environment)
    : session_(firmwarePath, std::move(environment)), answer_(defaultAnswer) {}

bool UpdateRun::start() { return session_.start(); }

std::vector<BoxSeen> UpdateRun::boxesCaptioned(const std::string& caption) const {
    std::vector<BoxSeen> result;
    for (const BoxSeen& box : boxes_)
        if (box.caption == caption) result.push_back(box);
    return result;
}

std::string UpdateRun::describeBoxes() const {
    std::string text;
    for (const BoxSeen& box : boxes_) text += " [" + box.caption + ": " + box.text + "]";
    return text.empty() ? " none" : text;
}

bool UpdateRun::readProgress(int& position, int& high) const {
    if (!progress_ || !IsWindow(progress_)) return false;
    HWND bar = GetDlgItem(progress_, kProgressBarId);
    int low = 0;
    return bar && UiDriver::progress(bar, position, low, high);
}

void UpdateRun::lookForProgressDialog(const std::vector<UiDriver::Shown>& dialogs) {
    if (progress_) return;
    HWND dialog = UiDriver::captioned(dialogs, kProgressCaption);
    if (!dialog) return;
    progress_ = dialog;
    progressTick_ = GetTickCount();
    progressRect_ = UiDriver::windowRect(dialog);
}

void UpdateRun::serveBox(const std::vector<UiDriver::Shown>& dialogs, const char* caption) {
    HWND box = UiDriver::captioned(dialogs, caption);
    // A box answered earlier in the same poll is gone, or going.
    if (!box || !UiDriver::visible(box)) return;
    BoxSeen seen;
    seen.caption = caption;
    seen.tick = GetTickCount();
    seen.text = UiDriver::messageBoxText(box);
    seen.progressVisible = progress_ && UiDriver::visible(progress_);
    readProgress(seen.progressPosition, seen.progressHigh);
    int earlier = static_cast<int>(boxesCaptioned(caption).size());
    int button = answer_(caption, earlier);
    if (checkResultIcon_ && seen.caption == kResultCaption) seen.icon = UiDriver::messageBoxIcon(box);
    boxes_.push_back(seen);
    if (button == kUseCloseBox)
        UiDriver::closeBox(box);
    else
        UiDriver::press(box, button);
    // One answer per box: a second one could reach the box shown after it.
    UiDriver::waitUntilGone(box, kWindowTimeoutMs);
}

bool UpdateRun::runToExit(DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        const std::vector<UiDriver::Shown> dialogs = session_.ui().shownWindows(kDialogClass);
        lookForProgressDialog(dialogs);
        for (const char* caption : {kConnectCaption, kConfirmCaption, kResultCaption}) serveBox(dialogs, caption);
        if (poll_) poll_();
        if (session_.launcher().waitForExit(kPollMs)) return true;
        if (GetTickCount() - start >= timeoutMs) return false;
    }
}
