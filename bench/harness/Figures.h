#pragma once
// What the daemon benchmarks print and read: percentiles of samples, the
// machine's load average beside every figure, and the process figures read
// from /proc (CPU time, resident and private memory). The parsers take the
// files' text and never throw: a field that is missing or malformed gives -1.

#include <string>
#include <sys/types.h>
#include <vector>

// The p-th percentile (0 to 100, nearest rank) of the samples; 0 for none.
double percentile(std::vector<double> samples, double p);

// "load 0.52 0.61 0.70": the 1, 5 and 15 minute load averages of the text of
// /proc/loadavg; "load ?" when it does not start with three numbers.
std::string loadText(const std::string& loadavg);
// loadText of this machine's /proc/loadavg.
std::string currentLoad();
// Prints the figure's line with the current load beside it.
void printFigure(const std::string& figure);

// utime + stime in clock ticks from the text of /proc/<pid>/stat.
long cpuTicksFromStat(const std::string& stat);
// The kilobytes of the first line that starts with field (for example
// "VmRSS:" of /proc/<pid>/status).
long kilobytesOf(const std::string& text, const std::string& field);
// Private_Clean + Private_Dirty of /proc/<pid>/smaps_rollup, in kilobytes.
long privateKilobytes(const std::string& smapsRollup);

// The figures of a running process; -1 when its files cannot be read.
double processCpuSeconds(pid_t pid);
long residentKilobytes(pid_t pid);
// The most resident memory the process has had (VmHWM).
long peakResidentKilobytes(pid_t pid);
long privateKilobytes(pid_t pid);
