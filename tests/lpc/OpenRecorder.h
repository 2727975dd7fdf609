#pragma once
// Records the flags with which this test program opens one watched path,
// for what a test cannot see afterwards on the descriptor (a flag that the
// code clears again). Every open still goes to the system unchanged. One
// recorder at a time.

#include <string>
#include <vector>

class OpenRecorder
{
public:
    explicit OpenRecorder(const std::string& path);
    ~OpenRecorder();
    OpenRecorder(const OpenRecorder&) = delete;
    OpenRecorder& operator=(const OpenRecorder&) = delete;

    // The flags of each open of the path since the recorder was made.
    std::vector<int> flags() const;
};
