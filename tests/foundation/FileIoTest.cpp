#include "foundation/FileIo.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>

TEST(FileIo, PipeCarriesEveryOctetThroughPartialReadsAndWrites)
{
    // Larger than a pipe's buffer, so both sides see partial transfers.
    std::string sent(1 << 20, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<char>(i % 251);
    }
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string received(sent.size(), 'x');
    bool readOk = false;
    std::thread reader([&] { readOk = FileIo::readAll(fds[0], received.data(), received.size()); });
    EXPECT_EQ(FileIo::writeAll(fds[1], sent.data(), sent.size()), sent.size());
    reader.join();
    close(fds[0]);
    close(fds[1]);
    EXPECT_TRUE(readOk);
    EXPECT_TRUE(received == sent);
}

TEST(FileIo, FailuresAreReported)
{
    TempDir dir;
    const int fd = open(dir.file("three").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(FileIo::writeAll(fd, "abc", 3), 3u);
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    char buffer[5];
    EXPECT_FALSE(FileIo::readAll(fd, buffer, sizeof buffer)) << "an early end of file";
    close(fd);
    EXPECT_EQ(FileIo::writeAll(-1, "abc", 3), 0u);
    EXPECT_EQ(errno, EBADF);
    EXPECT_FALSE(FileIo::syncDirectory(dir.file("missing/conf.json")));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(FileIo::syncDirectory(dir.file("conf.json")));
}

TEST(FileIo, DirectoryOf)
{
    const std::pair<const char*, const char*> rows[] = {
        {"conf.json", "."}, {"/conf.json", "/"}, {"/etc/lumacore/conf.json", "/etc/lumacore"}, {"a/b/c", "a/b"}};
    for (const auto& [path, directory] : rows) {
        EXPECT_EQ(FileIo::directoryOf(path), directory) << path;
    }
}
