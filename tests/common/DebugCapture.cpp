#include "tests/common/DebugCapture.h"

void DebugCapture::record(const char* text) {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.push_back(text ? text : "");
}

std::vector<std::string> DebugCapture::lines() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
}

std::string DebugCapture::text() const {
    std::string all;
    for (const std::string& line : lines()) all += line;
    return all;
}

bool DebugCapture::contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }

void DebugCapture::clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.clear();
}
