#include "foundation/Utils.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iomanip>
#include <stdexcept>

#include <dirent.h>
#include <libgen.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The directory bit as the listing rules test it: block devices and sockets
// carry it in their type codes too, so they count as directories here.
constexpr mode_t directoryBit = 040000;

bool listEntries(const std::string& dir, std::list<std::string>& out, const std::string& pattern,
                 bool wantDirectories)
{
    DIR* handle = opendir(dir.c_str());
    if (handle == nullptr) {
        return false;
    }
    while (const dirent* entry = readdir(handle)) {
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.') {
            continue;
        }
        const std::string full = Utils::combinePath(dir, name);
        struct stat info;
        if (stat(full.c_str(), &info) != 0) {
            continue;
        }
        if (((info.st_mode & directoryBit) != 0) != wantDirectories) {
            continue;
        }
        if (!pattern.empty() && !Utils::match(name, pattern)) {
            continue;
        }
        out.push_back(full);
    }
    closedir(handle);
    return true;
}

// The directory of the executable, resolved; empty when it cannot be found.
std::string resolveAppPath()
{
    const char* execFn = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
    if (execFn == nullptr) {
        return std::string();
    }
    std::string copy = execFn;
    const char* dir = dirname(&copy[0]);
    char resolved[PATH_MAX];
    if (realpath(dir, resolved) == nullptr) {
        return std::string();
    }
    return resolved;
}

size_t lastSeparator(const std::string& path)
{
    return path.find_last_of("/\\");
}

} // namespace

std::string Utils::combinePath(const std::string& a, const std::string& b)
{
    if (b.empty()) {
        return a;
    }
    std::string result = a;
    if (!a.empty() && a.back() != '/') {
        result += '/';
    }
    result.append(b, b[0] == '/' ? 1 : 0, std::string::npos);
    return result;
}

bool Utils::match(const std::string& text, const std::string& pattern)
{
    // Iterative form of the backtracking match: on a mismatch, the last '*'
    // seen swallows one more character and the rest of the pattern is retried.
    // Same answers as trying every remainder, without recursion depth.
    size_t t = 0;
    size_t p = 0;
    size_t starP = std::string::npos;
    size_t starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
        } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

std::list<std::string> Utils::listFiles(const std::string& dir, const std::string& pattern)
{
    std::list<std::string> out;
    listFilesInDir(dir, out, pattern);
    return out;
}

bool Utils::listFilesInDir(const std::string& dir, std::list<std::string>& out, const std::string& pattern)
{
    return listEntries(dir, out, pattern, false);
}

std::list<std::string> Utils::listDirectories(const std::string& dir, const std::string& pattern)
{
    std::list<std::string> out;
    listDirectoriesInDir(dir, out, pattern);
    return out;
}

bool Utils::listDirectoriesInDir(const std::string& dir, std::list<std::string>& out, const std::string& pattern)
{
    return listEntries(dir, out, pattern, true);
}

std::string Utils::getAppPath()
{
    const std::string path = resolveAppPath();
    if (path.empty()) {
        throw std::logic_error("Could not resolve the application path");
    }
    return path;
}

std::string Utils::changeToAppPath()
{
    const std::string path = resolveAppPath();
    if (path.empty() || chdir(path.c_str()) != 0) {
        return std::string();
    }
    return path;
}

std::string Utils::getProcessId()
{
    return std::to_string(getpid());
}

std::string Utils::getFileExtension(const std::string& path)
{
    const size_t dot = path.rfind('.');
    return dot == std::string::npos ? std::string() : path.substr(dot);
}

std::string Utils::changeFileExt(const std::string& path, const std::string& ext)
{
    return path.substr(0, path.rfind('.')) + ext;
}

std::string Utils::getFilenameFromFilepath(const std::string& path)
{
    const size_t sep = lastSeparator(path);
    return sep == std::string::npos ? path : path.substr(sep + 1);
}

std::string Utils::getPathFromFilepath(const std::string& path)
{
    const size_t sep = lastSeparator(path);
    return sep == std::string::npos ? path : path.substr(0, sep);
}

bool Utils::fileExists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

bool Utils::pathExists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && (info.st_mode & directoryBit) != 0;
}

bool Utils::isSymlink(const std::string& path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

bool Utils::deleteFile(const std::string& path)
{
    return unlink(path.c_str()) == 0;
}

bool Utils::moveFile(const std::string& from, const std::string& to)
{
    return rename(from.c_str(), to.c_str()) == 0;
}

bool Utils::makePath(const std::string& path)
{
    if (path.empty()) {
        errno = ENOENT;
        return false;
    }
    // Each prefix that ends before a '/' (and the whole path) is one component.
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        const std::string prefix = path.substr(0, pos);
        if (mkdir(prefix.c_str(), 0755) == 0) {
            continue;
        }
        const int error = errno;
        struct stat info;
        if (error != EEXIST || stat(prefix.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            errno = error;
            return false;
        }
    }
    return true;
}

std::string Utils::readSymlink(const std::string& path)
{
    char buffer[1024] = {};
    const ssize_t n = readlink(path.c_str(), buffer, sizeof(buffer));
    if (n < 0) {
        return path;
    }
    return std::string(buffer, static_cast<size_t>(n));
}

std::vector<uint8_t> Utils::decToBCD(int n)
{
    std::vector<uint8_t> digits;
    if (n < 0) {
        return digits;
    }
    for (const char c : std::to_string(n)) {
        digits.push_back(static_cast<uint8_t>(c - '0'));
    }
    return digits;
}

void Utils::printVector(const std::vector<uint8_t>& data, std::ostream& out)
{
    const char oldFill = out.fill('0');
    out << "Size : " << std::dec << data.size() << "\n";
    for (size_t i = 0; i < data.size(); ++i) {
        out << std::hex << std::setw(2) << static_cast<unsigned>(data[i]) << ' ';
        if ((i + 1) % 16 == 0 && i + 1 < data.size()) {
            out << "\n";
        }
    }
    out << "\n" << std::dec;
    out.fill(oldFill);
}
