#ifndef FILEWALK_H
#define FILEWALK_H

// Walking a file's structure (chunk and segment headers) through a buffer,
// a system call for many headers rather than one each.

#include <cstdio>
#include <vector>

namespace sixfold {

// The size of an open file in bytes; 0 where it cannot be told.
double fileSizeOf(std::FILE *file);

struct FileWindow
{
    static constexpr size_t Size = 65536;

    explicit FileWindow(std::FILE *file);

    // The `count` bytes (at most Size) from `offset` on; null where the
    // file ends before them.
    const unsigned char *bytes(double offset, size_t count);

    // The bytes from `offset` on that the window holds, `count` of them and
    // at least `least` (at most Size), read from there only where it holds
    // fewer; null where the file ends before.
    const unsigned char *from(double offset, size_t least, size_t &count);

    double fileSize = 0;

private:
    int descriptor;
    std::vector<unsigned char> buffer;
    double start = 0;
    size_t filled = 0;
};

} // namespace sixfold

#endif // FILEWALK_H
