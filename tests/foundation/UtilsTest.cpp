#include "foundation/Utils.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

namespace {

void touch(const std::string& path)
{
    std::ofstream(path) << "x";
}

std::vector<std::string> sorted(const std::list<std::string>& list)
{
    std::vector<std::string> out(list.begin(), list.end());
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

TEST(UtilsPath, CombinePath)
{
    EXPECT_EQ(Utils::combinePath("a", "b"), "a/b");
    EXPECT_EQ(Utils::combinePath("a/", "/b"), "a/b");
    EXPECT_EQ(Utils::combinePath("x", "/y"), "x/y");
    EXPECT_EQ(Utils::combinePath("x/", "y"), "x/y");
    EXPECT_EQ(Utils::combinePath("", "/b"), "b");
    EXPECT_EQ(Utils::combinePath("a", ""), "a");
    EXPECT_EQ(Utils::combinePath("", ""), "");
    EXPECT_EQ(Utils::combinePath("a", "//b"), "a//b");
}

TEST(UtilsPath, Match)
{
    struct Case {
        const char* text;
        const char* pattern;
        bool expected;
    };
    const Case cases[] = {
        {"firmware.bin", "*.bin", true},  {"firmware.bin.old", "*.bin", false},
        {"ab", "a?b", false},             {"acb", "a?b", true},
        {"ab", "ab*c", false},            {"abc", "*c*d", false},
        {"ab", "ab*", true},              {"", "*", true},
        {"a/b/c", "a/*", true},           {"a", "a/*", false},
        {"", "", true},                   {"a", "", false},
        {"", "?", false},                 {"Abc", "abc", false},
        {"a[1]", "a[1]", true},           {"xaaab", "*a*b", true},
        {"mississippi", "*sip*", true},   {"mississippi", "m*iss*ppi", true},
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "*a*a*a*a*a*a*a*a*b", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utils::match(c.text, c.pattern), c.expected) << c.text << " vs " << c.pattern;
    }
}

TEST(UtilsPath, FileNameParts)
{
    EXPECT_EQ(Utils::getFileExtension("settings.json"), ".json");
    EXPECT_EQ(Utils::getFileExtension("README"), "");
    EXPECT_EQ(Utils::getFileExtension("/a.b/c"), ".b/c");
    EXPECT_EQ(Utils::changeFileExt("dir/fw.bin", ".old"), "dir/fw.old");
    EXPECT_EQ(Utils::changeFileExt("noext", ".txt"), "noext.txt");
    EXPECT_EQ(Utils::getFilenameFromFilepath("/a/b/c.png"), "c.png");
    EXPECT_EQ(Utils::getFilenameFromFilepath("a\\b.png"), "b.png");
    EXPECT_EQ(Utils::getFilenameFromFilepath("plain"), "plain");
    EXPECT_EQ(Utils::getPathFromFilepath("/a/b/c.png"), "/a/b");
    EXPECT_EQ(Utils::getPathFromFilepath("plain"), "plain");
}

TEST(UtilsFiles, ListFilesAndDirectories)
{
    TempDir dir;
    touch(dir.file("a.bin"));
    touch(dir.file(".hidden.bin"));
    touch(dir.file("b.txt"));
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("sub.bin").c_str(), 0755), 0);
    ASSERT_EQ(symlink(dir.file("a.bin").c_str(), dir.file("link.bin").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("missing").c_str(), dir.file("dangling.bin").c_str()), 0);

    EXPECT_EQ(sorted(Utils::listFiles(dir.path(), "*.bin")),
              (std::vector<std::string>{dir.file("a.bin"), dir.file("link.bin")}));
    EXPECT_EQ(sorted(Utils::listFiles(dir.path(), "")),
              (std::vector<std::string>{dir.file("a.bin"), dir.file("b.txt"), dir.file("link.bin")}));
    EXPECT_EQ(sorted(Utils::listDirectories(dir.path(), "")),
              (std::vector<std::string>{dir.file("sub"), dir.file("sub.bin")}));

    std::list<std::string> out{"kept"};
    EXPECT_TRUE(Utils::listFilesInDir(dir.path() + "/", out, "b*"));
    EXPECT_EQ(out, (std::list<std::string>{"kept", dir.file("b.txt")}));
    EXPECT_FALSE(Utils::listFilesInDir(dir.file("nope"), out, ""));
    EXPECT_EQ(out.size(), 2u);
    EXPECT_TRUE(Utils::listFiles(dir.file("nope"), "").empty());
}

TEST(UtilsFiles, Wrappers)
{
    TempDir dir;
    const std::string file = dir.file("f");
    const std::string link = dir.file("l");
    EXPECT_FALSE(Utils::fileExists(file));
    touch(file);
    EXPECT_TRUE(Utils::fileExists(file));
    EXPECT_FALSE(Utils::pathExists(file));
    EXPECT_TRUE(Utils::pathExists(dir.path()));
    ASSERT_EQ(symlink("f", link.c_str()), 0);
    EXPECT_TRUE(Utils::isSymlink(link));
    EXPECT_FALSE(Utils::isSymlink(file));
    EXPECT_EQ(Utils::readSymlink(link), "f");
    EXPECT_EQ(Utils::readSymlink(file), file);
    EXPECT_TRUE(Utils::moveFile(file, dir.file("g")));
    EXPECT_FALSE(Utils::fileExists(file));
    EXPECT_FALSE(Utils::moveFile(file, dir.file("h")));
    EXPECT_TRUE(Utils::deleteFile(dir.file("g")));
    EXPECT_FALSE(Utils::deleteFile(dir.file("g")));
}

TEST(UtilsFiles, MakePathCreatesEachLevelWithoutTheShell)
{
    TempDir dir;
    // Blanks and shell metacharacters are plain characters of the name.
    const std::string deep = dir.file("with blank/x;touch injected/$(id)/leaf");
    ASSERT_TRUE(Utils::makePath(deep));
    EXPECT_TRUE(Utils::pathExists(deep));
    EXPECT_FALSE(Utils::fileExists(dir.file("injected")));
    EXPECT_FALSE(Utils::fileExists("injected"));
    struct stat info;
    ASSERT_EQ(stat(dir.file("with blank").c_str(), &info), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(info.st_mode & 0777, 0755 & ~mask);

    EXPECT_TRUE(Utils::makePath(deep));
    EXPECT_TRUE(Utils::makePath(deep + "/"));
    EXPECT_TRUE(Utils::makePath(dir.path()));
    touch(dir.file("file"));
    EXPECT_FALSE(Utils::makePath(dir.file("file")));
    EXPECT_FALSE(Utils::makePath(dir.file("file/below")));
    EXPECT_FALSE(Utils::makePath(""));
}

TEST(UtilsProcess, AppPathAndProcessId)
{
    const std::string app = Utils::getAppPath();
    ASSERT_FALSE(app.empty());
    EXPECT_EQ(app[0], '/');
    EXPECT_TRUE(Utils::pathExists(app));
    char* real = realpath("/proc/self/exe", nullptr);
    ASSERT_NE(real, nullptr);
    EXPECT_EQ(Utils::combinePath(app, Utils::getFilenameFromFilepath(real)), real);
    free(real);
    EXPECT_EQ(Utils::getProcessId(), std::to_string(getpid()));
}

TEST(UtilsBytes, DecToBcdAndPrintVector)
{
    EXPECT_EQ(Utils::decToBCD(7), (std::vector<uint8_t>{7}));
    EXPECT_EQ(Utils::decToBCD(120), (std::vector<uint8_t>{1, 2, 0}));
    EXPECT_EQ(Utils::decToBCD(0), (std::vector<uint8_t>{0}));
    EXPECT_TRUE(Utils::decToBCD(-5).empty());

    std::vector<uint8_t> data;
    for (int i = 0; i < 17; ++i) {
        data.push_back(static_cast<uint8_t>(i * 15));
    }
    std::ostringstream out;
    Utils::printVector(data, out);
    out << 255;
    EXPECT_EQ(out.str(),
              "Size : 17\n"
              "00 0f 1e 2d 3c 4b 5a 69 78 87 96 a5 b4 c3 d2 e1 \n"
              "f0 \n255");
    std::ostringstream sixteen;
    Utils::printVector(std::vector<uint8_t>(16, 1), sixteen);
    EXPECT_EQ(sixteen.str(), "Size : 16\n01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 \n");
}
