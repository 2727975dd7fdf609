#include "image/ImageFile.h"

#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/FileIo.h"

namespace {

// Closes the descriptor on every path out.
struct Descriptor
{
    int fd;
    ~Descriptor()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

} // namespace

ImageFileResult imageFileRead(const char* path, uint64_t maxBytes, std::vector<uint8_t>& out)
{
    out.clear();
    // O_NONBLOCK keeps the open itself from waiting for a FIFO's writer.
    const Descriptor file{::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    struct stat info;
    if (file.fd < 0 || ::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)
        || static_cast<uint64_t>(info.st_size) > maxBytes) {
        return ImageFileResult::OpenFailed;
    }
    try {
        out.resize(static_cast<size_t>(info.st_size));
    } catch (const std::bad_alloc&) {
        return ImageFileResult::NoMemory;
    }
    if (!FileIo::readAll(file.fd, out.data(), out.size())) {
        out.clear();
        return ImageFileResult::ShortRead;
    }
    return ImageFileResult::Ok;
}
