#pragma once
// Static path and file helpers. Paths are plain strings with '/' as the
// separator; nothing is normalised or resolved unless stated. No function
// logs; failures are false or an empty result, and errno is left as the
// failing call set it. Any thread may call them.

#include <cstdint>
#include <list>
#include <ostream>
#include <string>
#include <vector>

class Utils
{
public:
    Utils() = delete;

    // Joins with exactly one '/' at the seam; an empty b gives a.
    static std::string combinePath(const std::string& a, const std::string& b);
    // Whole-text wildcard match: '?' one character, '*' any run ('/' included).
    static bool match(const std::string& text, const std::string& pattern);

    // Full paths of the non-directory entries of dir whose names match pattern
    // (an empty pattern matches all); hidden entries are skipped; unsorted.
    static std::list<std::string> listFiles(const std::string& dir, const std::string& pattern);
    // Appends to out; returns false, out untouched, when dir cannot be opened.
    static bool listFilesInDir(const std::string& dir, std::list<std::string>& out, const std::string& pattern);
    static std::list<std::string> listDirectories(const std::string& dir, const std::string& pattern);
    static bool listDirectoriesInDir(const std::string& dir, std::list<std::string>& out,
                                     const std::string& pattern);

    // The executable's absolute, symlink-free directory; throws std::logic_error
    // when it cannot be resolved.
    static std::string getAppPath();
    // Makes the executable's directory the working directory of the whole
    // process; returns it, or the empty string on failure.
    static std::string changeToAppPath();
    static std::string getProcessId();

    // Text operations only. The extension includes its dot; empty without one.
    static std::string getFileExtension(const std::string& path);
    // Replaces the extension; ext carries its own dot.
    static std::string changeFileExt(const std::string& path, const std::string& ext);
    static std::string getFilenameFromFilepath(const std::string& path);
    static std::string getPathFromFilepath(const std::string& path);

    static bool fileExists(const std::string& path);
    // True when path is a directory.
    static bool pathExists(const std::string& path);
    static bool isSymlink(const std::string& path);
    static bool deleteFile(const std::string& path);
    // Same file system only; an existing target is replaced.
    static bool moveFile(const std::string& from, const std::string& to);
    // Creates every missing directory of path with mode 0755; an existing
    // directory is no failure.
    static bool makePath(const std::string& path);
    // The link's target, or path itself when it is no readable link.
    static std::string readSymlink(const std::string& path);

    // One decimal digit per byte, most significant first; empty for negatives.
    static std::vector<uint8_t> decToBCD(int n);
    // Size line, then the bytes in lower-case hex, sixteen per line.
    static void printVector(const std::vector<uint8_t>& data, std::ostream& out);
};
