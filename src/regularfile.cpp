// Opening picture files without ever waiting on a FIFO or a device.

#include "regularfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sixfold {

RegularFile::RegularFile(const std::string &path)
{
    // Without O_NONBLOCK, opening a FIFO waits for a writer.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat opened{};
    if (fd < 0 || fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        if (fd >= 0)
            close(fd);
        return;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    descriptor = fd;
    size = double(opened.st_size);
    name = "/proc/self/fd/" + std::to_string(fd);
    struct stat named{};
    if (stat(name.c_str(), &named) != 0 || named.st_dev != opened.st_dev || named.st_ino != opened.st_ino)
        name = path;
}

RegularFile::~RegularFile()
{
    if (descriptor >= 0)
        close(descriptor);
}

} // namespace sixfold
