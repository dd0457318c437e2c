// Walking a file's structure (chunk and segment headers) through a buffer,
// a system call for many headers rather than one each.

#include "filewalk.h"

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

namespace sixfold {

double fileSizeOf(std::FILE *file)
{
    struct stat status{};
    return fstat(fileno(file), &status) == 0 ? double(status.st_size) : 0;
}

FileWindow::FileWindow(std::FILE *file) : fileSize(fileSizeOf(file)), descriptor(fileno(file)) {}

const unsigned char *FileWindow::bytes(double offset, size_t count)
{
    if (count > Size || offset < 0 || offset + double(count) > fileSize)
        return nullptr;
    if (offset < start || offset + double(count) > start + double(filled)) {
        buffer.resize(Size);
        const ssize_t got = pread(descriptor, buffer.data(), Size, off_t(offset));
        start = offset;
        filled = got > 0 ? size_t(got) : 0;
        if (count > filled)
            return nullptr;
    }
    return buffer.data() + size_t(offset - start);
}

const unsigned char *FileWindow::from(double offset, size_t least, size_t &count)
{
    count = 0;
    if (offset < 0 || offset + double(least) > fileSize)
        return nullptr;
    const bool held = offset >= start && offset + double(least) <= start + double(filled);
    if (!held && !bytes(offset, size_t(std::min(double(Size), fileSize - offset))))
        return nullptr;
    count = size_t(start + double(filled) - offset);
    return count >= least ? buffer.data() + size_t(offset - start) : nullptr;
}

} // namespace sixfold
