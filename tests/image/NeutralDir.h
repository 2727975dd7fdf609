#pragma once
// A temporary directory reached by a path that holds no "_" or "x" of its
// own. A raw bitmap's size is read after the last "_" and "x" of its whole
// path, and the temporary directory's name (TMPDIR's included) may hold
// either, so tests of that rule reach their files through the directory's
// descriptor.

#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "support/TempDir.h"

class NeutralDir
{
public:
    NeutralDir() : mFd(::open(mDir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
    ~NeutralDir() { ::close(mFd); }
    NeutralDir(const NeutralDir&) = delete;
    NeutralDir& operator=(const NeutralDir&) = delete;

    std::string path() const { return "/proc/self/fd/" + std::to_string(mFd); }
    std::string file(const std::string& name) const { return path() + "/" + name; }

private:
    TempDir mDir;
    int mFd;
};
