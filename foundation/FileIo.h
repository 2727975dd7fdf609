#pragma once
// Low-level pieces of reading a file whole and of replacing one durably
// (write a temporary file, sync it, rename it over the old one, sync the
// directory). No function logs; errno is left as the failing call set it.
// Any thread may call them.

#include <cstddef>
#include <string>

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
};
