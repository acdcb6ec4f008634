#pragma once
// Ports are heap objects shared by reference count. The count is deliberately not atomic:
// a port is only ever held by the one thread that owns it at the time.

#include <cstdint>

class RefCounted {
public:
    RefCounted() : refCount_(1) {}
    virtual ~RefCounted() {}
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;

    void addRef() { ++refCount_; }
    void release() {
        if (--refCount_ == 0) delete this;
    }

private:
    int32_t refCount_;
};
