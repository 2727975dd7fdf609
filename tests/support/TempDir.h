#pragma once
// A fresh directory under $TMPDIR (or /tmp) that lives as long as the object;
// its whole tree is removed on destruction. Tests write nowhere else.

#include <string>

class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return mPath; }
    // path() joined with a relative name.
    std::string file(const std::string& name) const;

private:
    std::string mPath;
};

// The file's whole content; empty when it cannot be read.
std::string readFile(const std::string& path);
