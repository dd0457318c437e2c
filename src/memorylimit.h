#ifndef MEMORYLIMIT_H
#define MEMORYLIMIT_H

// How much memory a load may take: what the system can give without
// swapping, and what the program's control group still allows.

#include <string>

namespace sixfold {

// The least of the system's MemAvailable and, for the control group the
// program runs in and each group above it, its limit less its working set:
// its use less the file cache it can give back at once (cgroup v2
// memory.max, memory.current and inactive_file of memory.stat, and v1
// memory.limit_in_bytes, memory.usage_in_bytes and total_inactive_file
// where that hierarchy is mounted), in bytes; unlimited where none of them
// tells. The files are read under `root`
// (/proc/... and /sys/fs/cgroup/...), empty for the system's own.
double availableMemory(const std::string &root = {});

} // namespace sixfold

#endif // MEMORYLIMIT_H
