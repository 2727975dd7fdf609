#pragma once
// WakeUp: a descriptor that one thread sets to end another thread's poll at
// once. It stays set until cleared, so a set that comes before the poll
// still ends it. An eventfd, owned by the object.
//
// Threading: set may be called from any thread at any time; clear, wait and
// the poll of descriptor() belong to the thread that waits.

class WakeUp {
public:
    // Throws std::runtime_error when no descriptor can be made.
    WakeUp();
    ~WakeUp();
    WakeUp(const WakeUp&) = delete;
    WakeUp& operator=(const WakeUp&) = delete;

    void set();
    void clear();
    // Waits up to timeoutMs for the set; true when set.
    bool wait(int timeoutMs) const;
    // Readable while set, for a poll beside other descriptors.
    int descriptor() const { return fd; }

private:
    int fd;
};
