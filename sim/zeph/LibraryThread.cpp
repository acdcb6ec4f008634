#include "sim/zeph/LibraryThread.h"

#include <memory>

namespace {

DWORD WINAPI runWork(void* parameter) {
    std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(parameter));
    (*work)();
    return 0;
}

}  // namespace

HANDLE startLibraryThread(std::function<void()> work, DWORD* threadId) {
    auto* owned = new std::function<void()>(std::move(work));
    HANDLE thread = CreateThread(nullptr, 0, runWork, owned, 0, threadId);
    if (!thread) delete owned;
    return thread;
}

bool runDetached(std::function<void()> work) {
    HANDLE thread = startLibraryThread(std::move(work));
    if (!thread) return false;
    CloseHandle(thread);
    return true;
}
