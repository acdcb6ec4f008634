#pragma once
// A thread of the device's own on which the rebinds the library asks for are carried out:
// never on a thread of the library, and without waiting for the next use of the ports.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class BinderThread {
public:
    // work carries out what is pending and returns true when something is pending still (a
    // library that asked again during the work): the next round then waits pause first.
    BinderThread(std::function<bool()> work, std::chrono::milliseconds pause);
    ~BinderThread();
    BinderThread(const BinderThread&) = delete;
    BinderThread& operator=(const BinderThread&) = delete;

    // Asks for a round; never waits for the round in progress.
    void wake();
    // Ends the thread once the round in progress is done; later wakes do nothing.
    void stop();
    // False when no thread could be started.
    bool running() const { return thread_.joinable(); }

private:
    void run();

    std::function<bool()> work_;
    std::chrono::milliseconds pause_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool woken_ = false;
    bool stopped_ = false;
    std::thread thread_;
};
