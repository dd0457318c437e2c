#ifndef REGULARFILE_H
#define REGULARFILE_H

// Opening picture files without ever waiting on a FIFO or a device.

#include <string>

namespace sixfold {

// A file opened for reading, held for its scope: only a regular file, as
// it is when opened (opened without blocking, then its descriptor checked),
// whatever the path named when it was looked at before.
struct RegularFile
{
    explicit RegularFile(const std::string &path);
    ~RegularFile();
    RegularFile(const RegularFile &) = delete;
    RegularFile &operator=(const RegularFile &) = delete;

    int descriptor = -1;   // -1: not a regular file, or not readable
    double size = 0;       // in bytes, as opened
    // A name that opens this same file for the libraries that take names
    // (/proc/self/fd/N), so that nothing swapped in under the path later is
    // read; the path itself where the system has no such names.
    std::string name;
};

} // namespace sixfold

#endif // REGULARFILE_H
