#pragma once
// Low-level pieces of reading a file whole and of replacing one durably
// (write a temporary file, sync it, rename it over the old one, sync the
// directory), and of clearing away the temporary files of writers that were
// killed before their rename. No function logs; errno is left as the failing
// call set it. Any thread may call them.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

class FileIo
{
public:
    FileIo() = delete;

    // Writes size octets, retrying interrupted and short writes. Returns the
    // count written: size, or fewer when a write failed (errno says why) or
    // took nothing (errno 0).
    static std::size_t writeAll(int fd, const void* data, std::size_t size);
    // Reads exactly size octets, retrying interrupted reads; false on an error
    // or an early end of file.
    static bool readAll(int fd, void* data, std::size_t size);

    enum class ReadResult {
        Ok,
        // Missing or not openable; errno says why.
        OpenFailed,
        // The final target is a FIFO, a device, a directory or a socket.
        NotRegular,
        TooLarge,
        NoMemory,
        // An error (errno) or an early end (errno 0) before the size read.
        ShortRead,
    };
    // Reads a file that a host or a peer names whole into out, when its final
    // target is a regular file of at most maxBytes octets. Kind and size are
    // judged before the open, so a FIFO, a terminal or a device is never
    // opened (it could block or act), and again on the opened descriptor.
    // size, when given, gets the size found (-1 while unknown). out is empty
    // after any failure.
    static ReadResult readRegular(const std::string& path, std::size_t maxBytes, std::vector<uint8_t>& out,
                                  long long* size = nullptr);
    static ReadResult readRegular(const std::string& path, std::size_t maxBytes, std::string& out,
                                  long long* size = nullptr);

    // The most symbolic links finalTarget follows, as the kernel's lookup.
    static constexpr int kMaxLinks = 40;
    // Where the chain of symbolic links that starts at path ends, whether or
    // not that exists yet: path itself when it is no link; a relative link
    // counts from its own directory. Empty after kMaxLinks links (errno
    // ELOOP) or when a link cannot be read.
    static std::string finalTarget(const std::string& path);
    // The directory holding path, "." for a bare file name.
    static std::string directoryOf(const std::string& path);
    // Syncs the directory holding path, making a rename into it durable;
    // false when the directory could not be opened or synced.
    static bool syncDirectory(const std::string& path);
    // What name holds between prefix and suffix; empty when it does not
    // start with prefix and end with suffix, apart.
    static std::string between(const std::string& name, const std::string& prefix, const std::string& suffix);
    // The process id that text spells in decimal (one to nine digits and
    // nothing else); 0 for any other text.
    static pid_t processId(const std::string& text);
    // Removes each file in directory whose name ownerOf maps to the id of a
    // process that no longer runs. Names mapped to 0 and the files of running
    // processes stay; a directory that cannot be read is left alone.
    static void removeOrphans(const std::string& directory,
                              const std::function<pid_t(const std::string& name)>& ownerOf);
};
