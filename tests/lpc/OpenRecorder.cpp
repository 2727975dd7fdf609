#include "OpenRecorder.h"

#include <cstdarg>
#include <fcntl.h>
#include <mutex>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::mutex gMutex;
std::string gWatched;
std::vector<int> gFlags;

} // namespace

// Replaces the C library's function for the whole test program; the file
// is opened by the kernel as before.
extern "C" int open(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    {
        std::lock_guard<std::mutex> lock(gMutex);
        if (!gWatched.empty() && gWatched == path)
            gFlags.push_back(flags);
    }
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

OpenRecorder::OpenRecorder(const std::string& path)
{
    std::lock_guard<std::mutex> lock(gMutex);
    gWatched = path;
    gFlags.clear();
}

OpenRecorder::~OpenRecorder()
{
    std::lock_guard<std::mutex> lock(gMutex);
    gWatched.clear();
}

std::vector<int> OpenRecorder::flags() const
{
    std::lock_guard<std::mutex> lock(gMutex);
    return gFlags;
}
