// How much memory a load may take: what the system can give without
// swapping, and what the program's control group still allows.

#include "memorylimit.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <limits>

namespace sixfold {

namespace {

constexpr double Unlimited = std::numeric_limits<double>::infinity();

// A word of decimal digits as a number; unlimited for anything else, and
// for a number too large for a double (such a limit is none).
double number(const std::string &word)
{
    if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos)
        return Unlimited;
    const double value = std::strtod(word.c_str(), nullptr);   // infinite where too large; never throws
    return value < std::numeric_limits<double>::max() ? value : Unlimited;
}

// A file's first word as a byte count; unlimited for "max", a missing file
// or anything else.
double bytesIn(const std::string &file)
{
    std::ifstream in(file);
    std::string word;
    in >> word;
    return number(word);
}

// The value of a field of a memory.stat file ("name value" lines), in
// bytes; 0 where it is missing or unreadable.
double statField(const std::string &file, const std::string &name)
{
    std::ifstream in(file);
    std::string field, value;
    while (in >> field >> value)
        if (field == name) {
            const double bytes = number(value);
            return bytes < Unlimited ? bytes : 0;
        }
    return 0;
}

// What a group and every group above it, up to the mount point, still
// allow: each one's limit less its working set, which is its use less the
// file cache the kernel can take back at once (its inactive files), as
// container runtimes count it.
double groupAllowance(const std::string &mount, std::string group, const char *limitFile, const char *usageFile,
                      const char *inactiveField)
{
    double allowance = Unlimited;
    for (;;) {
        const std::string folder = mount + group;
        const double limit = bytesIn(folder + "/" + limitFile);
        if (limit < Unlimited) {
            const double usage = bytesIn(folder + "/" + usageFile);
            const double used = usage < Unlimited ? usage - statField(folder + "/memory.stat", inactiveField) : 0;
            allowance = std::min(allowance, limit - std::max(used, 0.0));
        }
        const size_t slash = group.find_last_of('/');
        if (group.empty() || slash == std::string::npos)
            return std::max(allowance, 0.0);
        group.erase(slash);
    }
}

} // namespace

double availableMemory(const std::string &root)
{
    double available = Unlimited;
    std::ifstream meminfo(root + "/proc/meminfo");
    std::string field, kilobytes;
    while (meminfo >> field >> kilobytes) {
        if (field == "MemAvailable:") {
            available = number(kilobytes) * 1024;
            break;
        }
        meminfo.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }

    // Each line: hierarchy, controllers (empty for v2), the group's path.
    std::ifstream groups(root + "/proc/self/cgroup");
    for (std::string line; std::getline(groups, line);) {
        const size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos)
            continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        std::string group = line.substr(second + 1);
        if (group == "/")
            group.clear();
        if (controllers.empty()) {
            available = std::min(available, groupAllowance(root + "/sys/fs/cgroup", group, "memory.max",
                                                           "memory.current", "inactive_file"));
        } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
            available = std::min(available, groupAllowance(root + "/sys/fs/cgroup/memory", group,
                                                           "memory.limit_in_bytes", "memory.usage_in_bytes",
                                                           "total_inactive_file"));
        }
    }
    return available;
}

} // namespace sixfold
