#include "foundation/FileIo.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Closes the descriptor on every path out.
struct Descriptor {
    int fd;
    ~Descriptor()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

template <typename Bytes>
FileIo::ReadResult readRegularInto(const std::string& path, std::size_t maxBytes, Bytes& out, long long* size)
{
    out.clear();
    long long found = -1;
    const auto judged = [&](const struct stat& info) {
        found = static_cast<long long>(info.st_size);
        if (!S_ISREG(info.st_mode)) {
            return FileIo::ReadResult::NotRegular;
        }
        return static_cast<unsigned long long>(info.st_size) > maxBytes ? FileIo::ReadResult::TooLarge
                                                                        : FileIo::ReadResult::Ok;
    };
    const auto result = [&](FileIo::ReadResult r) {
        if (size != nullptr) {
            *size = found;
        }
        return r;
    };
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
        return result(FileIo::ReadResult::OpenFailed);
    }
    if (const FileIo::ReadResult r = judged(info); r != FileIo::ReadResult::Ok) {
        return result(r);
    }
    // O_NONBLOCK and O_NOCTTY: the kind may change between stat and open.
    const Descriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (file.fd < 0 || ::fstat(file.fd, &info) != 0) {
        return result(FileIo::ReadResult::OpenFailed);
    }
    if (const FileIo::ReadResult r = judged(info); r != FileIo::ReadResult::Ok) {
        return result(r);
    }
    try {
        out.resize(static_cast<std::size_t>(info.st_size));
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return result(FileIo::ReadResult::NoMemory);
    }
    errno = 0;
    if (!FileIo::readAll(file.fd, out.data(), out.size())) {
        const int error = errno;
        out.clear();
        errno = error;
        return result(FileIo::ReadResult::ShortRead);
    }
    return result(FileIo::ReadResult::Ok);
}

} // namespace

std::size_t FileIo::writeAll(int fd, const void* data, std::size_t size)
{
    const char* next = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        errno = 0;
        const ssize_t written = ::write(fd, next + done, size - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    return done;
}

bool FileIo::readAll(int fd, void* data, std::size_t size)
{
    char* next = static_cast<char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, next + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

FileIo::ReadResult FileIo::readRegular(const std::string& path, std::size_t maxBytes, std::vector<uint8_t>& out,
                                       long long* size)
{
    return readRegularInto(path, maxBytes, out, size);
}

FileIo::ReadResult FileIo::readRegular(const std::string& path, std::size_t maxBytes, std::string& out,
                                       long long* size)
{
    return readRegularInto(path, maxBytes, out, size);
}

std::string FileIo::finalTarget(const std::string& path)
{
    std::string target = path;
    for (int links = 0;; ++links) {
        struct stat info;
        if (::lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            return target;
        }
        if (links == kMaxLinks) {
            errno = ELOOP;
            return std::string();
        }
        std::error_code error;
        const std::filesystem::path next = std::filesystem::read_symlink(target, error);
        if (error) {
            errno = error.value();
            return std::string();
        }
        target = next.is_absolute() ? next.string() : (std::filesystem::path(directoryOf(target)) / next).string();
    }
}

std::string FileIo::directoryOf(const std::string& path)
{
    const std::string parent = std::filesystem::path(path).parent_path().string();
    return parent.empty() ? std::string(".") : parent;
}

bool FileIo::syncDirectory(const std::string& path)
{
    const int fd = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    errno = error;
    return synced;
}

std::string FileIo::between(const std::string& name, const std::string& prefix, const std::string& suffix)
{
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return std::string();
    }
    return name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
}

pid_t FileIo::processId(const std::string& text)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
        return 0;
    }
    return static_cast<pid_t>(std::stol(text));
}

void FileIo::removeOrphans(const std::string& directory, const std::function<pid_t(const std::string& name)>& ownerOf)
{
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        const pid_t owner = ownerOf(it->path().filename().string());
        // ESRCH only: a process of another user answers EPERM and still runs.
        if (owner > 0 && ::kill(owner, 0) != 0 && errno == ESRCH) {
            ::unlink(it->path().c_str());
        }
    }
}
