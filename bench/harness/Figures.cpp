#include "Figures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <unistd.h>

#include "support/TempDir.h"

double percentile(std::vector<double> samples, double p)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    const double rank = std::ceil(p / 100 * samples.size());
    const size_t index = rank < 1 ? 0 : std::min(samples.size(), static_cast<size_t>(rank)) - 1;
    return samples[index];
}

std::string loadText(const std::string& loadavg)
{
    std::istringstream in(loadavg);
    std::string one, five, fifteen;
    double value = 0;
    if (!(in >> one >> five >> fifteen))
        return "load ?";
    for (const std::string* field : {&one, &five, &fifteen}) {
        if (std::sscanf(field->c_str(), "%lf", &value) != 1)
            return "load ?";
    }
    return "load " + one + " " + five + " " + fifteen;
}

std::string currentLoad()
{
    return loadText(readFile("/proc/loadavg"));
}

void printFigure(const std::string& figure)
{
    std::printf("%s [%s]\n", figure.c_str(), currentLoad().c_str());
    std::fflush(stdout);
}

long cpuTicksFromStat(const std::string& stat)
{
    // The command name, in parentheses, may hold spaces and parentheses of
    // its own: the fields count from the last closing one. utime and stime
    // are the 14th and 15th fields, the 12th and 13th after it.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream in(stat.substr(close + 1));
    std::string field;
    for (int i = 0; i < 11; ++i) {
        if (!(in >> field))
            return -1;
    }
    long utime = 0;
    long stime = 0;
    if (!(in >> utime >> stime) || utime < 0 || stime < 0)
        return -1;
    return utime + stime;
}

long kilobytesOf(const std::string& text, const std::string& field)
{
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, field.size(), field) != 0)
            continue;
        long value = -1;
        char unit[4] = {};
        if (std::sscanf(line.c_str() + field.size(), "%ld %3s", &value, unit) != 2 || std::string(unit) != "kB")
            return -1;
        return value;
    }
    return -1;
}

long privateKilobytes(const std::string& smapsRollup)
{
    const long clean = kilobytesOf(smapsRollup, "Private_Clean:");
    const long dirty = kilobytesOf(smapsRollup, "Private_Dirty:");
    return clean < 0 || dirty < 0 ? -1 : clean + dirty;
}

double processCpuSeconds(pid_t pid)
{
    const long ticks = cpuTicksFromStat(readFile("/proc/" + std::to_string(pid) + "/stat"));
    return ticks < 0 ? -1 : static_cast<double>(ticks) / sysconf(_SC_CLK_TCK);
}

long residentKilobytes(pid_t pid)
{
    return kilobytesOf(readFile("/proc/" + std::to_string(pid) + "/status"), "VmRSS:");
}

long peakResidentKilobytes(pid_t pid)
{
    return kilobytesOf(readFile("/proc/" + std::to_string(pid) + "/status"), "VmHWM:");
}

long privateKilobytes(pid_t pid)
{
    return privateKilobytes(readFile("/proc/" + std::to_string(pid) + "/smaps_rollup"));
}
