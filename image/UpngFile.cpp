// Reading a PNG file whole for the decoder. Names of files reach here from
// remote clients, so only a regular file of bounded size is read, and
// nothing waits (a FIFO would block the calling thread).

#include "image/Upng.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/FileIo.h"
#include "image/ImageLimits.h"
#include "image/UpngCheck.h"

namespace {

// Reads the file into the record, or sets the record's error.
void loadFile(upng_decoder* upng, const char* path)
{
    // Checked before opening too: opening a device can act on it.
    struct stat info;
    if (::stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
        upng->error = UPNG_NOT_OPENED;
        upng->error_line = UPNG_CHECK_FILE_NOT_REGULAR;
        return;
    }
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        upng->error = UPNG_NOT_OPENED;
        upng->error_line = UPNG_CHECK_FILE_OPEN;
        return;
    }
    uint8_t* data = nullptr;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        upng->error = UPNG_NOT_OPENED;
        upng->error_line = UPNG_CHECK_FILE_NOT_REGULAR;
    } else if (uint64_t(info.st_size) > IMAGE_MAX_FILE) {
        upng->error = UPNG_NOT_OPENED;
        upng->error_line = UPNG_CHECK_FILE_TOO_LARGE;
    } else if (!(data = static_cast<uint8_t*>(std::malloc(info.st_size ? info.st_size : 1)))) {
        upng->error = UPNG_NO_MEMORY;
        upng->error_line = UPNG_CHECK_FILE_ALLOC;
    } else if (!FileIo::readAll(fd, data, size_t(info.st_size))) {
        std::free(data);
        upng->error = UPNG_NOT_OPENED;
        upng->error_line = UPNG_CHECK_FILE_SHORT_READ;
    } else {
        upng->source = data;
        upng->source_size = static_cast<unsigned long>(info.st_size);
        upng->source_owned = 1;
    }
    ::close(fd);
}

} // namespace

upng_decoder* upng_new_from_file(const char* path)
{
    upng_decoder* upng = upng_new_from_bytes(nullptr, 0);
    if (upng) {
        loadFile(upng, path);
    }
    return upng;
}
