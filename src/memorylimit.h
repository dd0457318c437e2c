#ifndef MEMORYLIMIT_H
#define MEMORYLIMIT_H

// How much memory a load may take: what the system can give without
// swapping, and what the program's control group still allows.

#include <string>

namespace sixfold {

// The least of the system's MemAvailable and, for the control group the
// program runs in and each group above it, its limit less its use (cgroup
// v2 memory.max and memory.current, and v1 memory.limit_in_bytes and
// memory.usage_in_bytes where that hierarchy is mounted), in bytes;
// unlimited where none of them tells. The files are read under `root`
// (/proc/... and /sys/fs/cgroup/...), empty for the system's own.
double availableMemory(const std::string &root = {});

} // namespace sixfold

#endif // MEMORYLIMIT_H
