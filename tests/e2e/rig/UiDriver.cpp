#include "tests/e2e/rig/UiDriver.h"

#include <commctrl.h>

#include <chrono>
#include <thread>

namespace {

// Wine's and Windows' message boxes both give their text control this id.
const int kMessageBoxTextId = 0xFFFF;
const UINT kUpdateResultMessage = WM_USER + 1;
// A cross-process send that takes longer than this means the program is stuck.
const UINT kSendTimeoutMs = 2000;
const DWORD kPollMs = 10;

DWORD ticks() { return GetTickCount(); }

BOOL CALLBACK collectWindow(HWND window, LPARAM param) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    return TRUE;
}

std::vector<HWND> childrenOf(HWND parent) {
    std::vector<HWND> children;
    EnumChildWindows(parent, collectWindow, reinterpret_cast<LPARAM>(&children));
    return children;
}

std::vector<HWND> topLevelWindows() {
    std::vector<HWND> windows;
    EnumWindows(collectWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

bool sameText(const std::string& a, const char* b) { return lstrcmpiA(a.c_str(), b) == 0; }

// 32-bit top-down pixels of a screen area, or of a candidate icon drawn on a plain background.
class Pixels {
public:
    Pixels(int width, int height) : width_(width), height_(height) {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        dc_ = CreateCompatibleDC(nullptr);
        bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
        old_ = SelectObject(dc_, bitmap_);
    }
    ~Pixels() {
        SelectObject(dc_, old_);
        DeleteObject(bitmap_);
        DeleteDC(dc_);
    }
    Pixels(const Pixels&) = delete;
    Pixels& operator=(const Pixels&) = delete;

    bool ok() const { return bits_ != nullptr; }
    HDC dc() const { return dc_; }
    DWORD at(int x, int y) const { return bits_[y * width_ + x] & 0xFFFFFF; }
    void fill(DWORD color) {
        for (int i = 0; i < width_ * height_; ++i) bits_[i] = color;
    }

private:
    int width_;
    int height_;
    HDC dc_;
    HBITMAP bitmap_;
    HGDIOBJ old_;
    DWORD* bits_ = nullptr;
};

// How many pixels of the capture differ from the icon drawn on the capture's own background.
int mismatches(const Pixels& captured, HICON icon, int width, int height) {
    Pixels drawn(width, height);
    if (!drawn.ok()) return width * height;
    drawn.fill(captured.at(0, 0));
    DrawIconEx(drawn.dc(), 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
    GdiFlush();
    int count = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (captured.at(x, y) != drawn.at(x, y)) ++count;
    return count;
}

IconKind matchIcon(HWND iconControl) {
    RECT rect;
    GetWindowRect(iconControl, &rect);
    int width = GetSystemMetrics(SM_CXICON), height = GetSystemMetrics(SM_CYICON);
    if (rect.right - rect.left < width || rect.bottom - rect.top < height) return IconKind::Unknown;
    Pixels captured(width, height);
    if (!captured.ok()) return IconKind::Unknown;
    HDC screen = GetDC(nullptr);
    BitBlt(captured.dc(), 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    ReleaseDC(nullptr, screen);
    GdiFlush();

    struct Candidate {
        IconKind kind;
        LPCSTR id;
    } const candidates[] = {{IconKind::Information, IDI_INFORMATION},
                            {IconKind::Exclamation, IDI_EXCLAMATION},
                            {IconKind::Error, IDI_ERROR},
                            {IconKind::Question, IDI_QUESTION}};
    IconKind best = IconKind::Unknown;
    int bestCount = width * height;
    for (const Candidate& candidate : candidates) {
        int count = mismatches(captured, LoadIconA(nullptr, candidate.id), width, height);
        if (count < bestCount) {
            bestCount = count;
            best = candidate.kind;
        }
    }
    // A few pixels may differ by blending; a wrong icon differs in hundreds.
    return bestCount <= width * height / 20 ? best : IconKind::Unknown;
}

}  // namespace

const char* iconKindName(IconKind kind) {
    switch (kind) {
    case IconKind::None: return "none";
    case IconKind::Information: return "information";
    case IconKind::Exclamation: return "exclamation";
    case IconKind::Error: return "error";
    case IconKind::Question: return "question";
    case IconKind::Unknown: break;
    }
    return "unknown";
}

bool UiDriver::ours(HWND window) const {
    if (processId_ == 0) return true;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    return owner == processId_;
}

// Tests poll for windows every few milliseconds, and each question about another process's
// window is a trip to the Wine server: only the windows of the class are asked about.
std::vector<UiDriver::Shown> UiDriver::shownWindows(const char* wantedClass) const {
    std::vector<Shown> shown;
    HWND window = nullptr;
    while ((window = FindWindowExA(nullptr, window, wantedClass, nullptr)) != nullptr)
        if (ours(window) && IsWindowVisible(window)) shown.push_back({window, caption(window)});
    return shown;
}

HWND UiDriver::captioned(const std::vector<Shown>& shown, const std::string& wanted) {
    for (const Shown& each : shown)
        if (each.caption == wanted) return each.window;
    return nullptr;
}

HWND UiDriver::findWindow(const std::string& wanted, const char* wantedClass) const {
    if (wantedClass) return captioned(shownWindows(wantedClass), wanted);
    for (HWND window : topLevelWindows()) {
        if (!ours(window) || !IsWindowVisible(window)) continue;
        if (caption(window) == wanted) return window;
    }
    return nullptr;
}

HWND UiDriver::waitForWindow(const std::string& wanted, DWORD timeoutMs, const char* wantedClass) const {
    DWORD start = ticks();
    for (;;) {
        if (HWND window = findWindow(wanted, wantedClass)) return window;
        if (ticks() - start >= timeoutMs) return nullptr;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}

bool UiDriver::waitUntilGone(HWND window, DWORD timeoutMs) {
    DWORD start = ticks();
    while (IsWindow(window) && IsWindowVisible(window)) {
        if (ticks() - start >= timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    return true;
}

std::vector<std::string> UiDriver::visibleWindows() const {
    std::vector<std::string> result;
    for (HWND window : topLevelWindows())
        if (ours(window) && IsWindowVisible(window)) result.push_back(caption(window) + " [" + className(window) + "]");
    return result;
}

std::string UiDriver::caption(HWND window) {
    char text[1024] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

std::string UiDriver::className(HWND window) {
    char name[256] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::string UiDriver::messageBoxText(HWND box) {
    HWND text = GetDlgItem(box, kMessageBoxTextId);
    return text ? caption(text) : std::string();
}

std::vector<ButtonInfo> UiDriver::buttons(HWND dialog) {
    std::vector<ButtonInfo> result;
    for (HWND child : childrenOf(dialog)) {
        if (!sameText(className(child), "Button")) continue;
        LONG type = GetWindowLongA(child, GWL_STYLE) & BS_TYPEMASK;
        if (type != BS_PUSHBUTTON && type != BS_DEFPUSHBUTTON) continue;
        if (!IsWindowVisible(child)) continue;
        result.push_back({GetDlgCtrlID(child), caption(child)});
    }
    return result;
}

IconKind UiDriver::messageBoxIcon(HWND box) {
    for (HWND child : childrenOf(box)) {
        if (!sameText(className(child), "Static")) continue;
        if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) continue;
        DWORD_PTR icon = 0;
        if (!IsWindowVisible(child) ||
            (SendMessageTimeoutA(child, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &icon) && !icon))
            return IconKind::None;
        // The box may not be painted yet right after it appeared.
        IconKind kind = IconKind::Unknown;
        DWORD start = ticks();
        while ((kind = matchIcon(child)) == IconKind::Unknown && ticks() - start < 1000)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return kind;
    }
    return IconKind::None;
}

bool UiDriver::press(HWND dialog, int buttonId) {
    HWND button = GetDlgItem(dialog, buttonId);
    return PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), reinterpret_cast<LPARAM>(button)) != 0;
}

bool UiDriver::pressEscape(HWND dialog) {
    HWND target = GetDlgItem(dialog, IDOK);
    if (!target) target = dialog;
    if (!PostMessageA(target, WM_KEYDOWN, VK_ESCAPE, 0x00010001)) return false;
    // The box may close on the press and be gone before the release is posted.
    PostMessageA(target, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    return true;
}

bool UiDriver::closeBox(HWND window) { return PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0) != 0; }

HWND UiDriver::mainWindow() const {
    HWND window = nullptr;
    while ((window = FindWindowExA(HWND_MESSAGE, window, "CARROWICK", nullptr)) != nullptr)
        if (ours(window)) return window;
    return nullptr;
}

HWND UiDriver::waitForMainWindow(DWORD timeoutMs) const {
    DWORD start = ticks();
    for (;;) {
        if (HWND window = mainWindow()) return window;
        if (ticks() - start >= timeoutMs) return nullptr;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}

bool UiDriver::postCommand(int id) const {
    HWND window = mainWindow();
    return window && PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, 0), 0) != 0;
}

bool UiDriver::postUpdateResult(int result) const {
    HWND window = mainWindow();
    return window && PostMessageA(window, kUpdateResultMessage, static_cast<WPARAM>(static_cast<INT_PTR>(result)), 0) != 0;
}

RECT UiDriver::windowRect(HWND window) {
    RECT rect = {};
    GetWindowRect(window, &rect);
    return rect;
}

bool UiDriver::visible(HWND window) { return IsWindowVisible(window) != 0; }

bool UiDriver::progress(HWND bar, int& position, int& low, int& high) {
    DWORD_PTR pos = 0, lo = 0, hi = 0;
    if (!SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &pos)) return false;
    if (!SendMessageTimeoutA(bar, PBM_GETRANGE, TRUE, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &lo)) return false;
    if (!SendMessageTimeoutA(bar, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &hi)) return false;
    position = static_cast<int>(pos);
    low = static_cast<int>(lo);
    high = static_cast<int>(hi);
    return true;
}
