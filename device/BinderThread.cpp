#include "device/BinderThread.h"

#include <system_error>

BinderThread::BinderThread(std::function<bool()> work, std::chrono::milliseconds pause)
    : work_(std::move(work)), pause_(pause) {
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        // Left without a thread: the caller falls back on its own threads.
    }
}

BinderThread::~BinderThread() { stop(); }

void BinderThread::wake() {
    std::lock_guard<std::mutex> guard(mutex_);
    woken_ = true;
    changed_.notify_all();
}

void BinderThread::stop() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopped_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

void BinderThread::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return woken_ || stopped_; });
        if (stopped_) return;
        woken_ = false;
        lock.unlock();
        bool again = work_();
        lock.lock();
        if (again) {
            // A library that asks during every rebind gets a round per pause, not a busy loop.
            woken_ = true;
            changed_.wait_for(lock, pause_, [this] { return stopped_; });
        }
    }
}
