#pragma once
// Low-level pieces of reading a file whole and of replacing one durably
// (write a temporary file, sync it, rename it over the old one, sync the
// directory), and of clearing away the temporary files of writers that were
// killed before their rename. No function logs; errno is left as the failing
// call set it. Any thread may call them.

#include <cstddef>
#include <functional>
#include <string>
#include <sys/types.h>

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
