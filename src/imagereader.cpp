// Reading picture files for the views.

#include "imagereader.h"

#include "codecs.h"
#include "heifreader.h"
#include "rowreader.h"

#include <QFile>
#include <QImageReader>
#include <QSize>

#include <filesystem>
#include <fstream>
#include <limits>

namespace sixfold {

namespace {

// The memory the system can give now without swapping (MemAvailable), in
// bytes; unlimited where the system does not tell.
double availableMemory()
{
    std::ifstream meminfo("/proc/meminfo");
    std::string field;
    double kilobytes = 0;
    while (meminfo >> field >> kilobytes) {
        if (field == "MemAvailable:")
            return kilobytes * 1024;
        meminfo.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return std::numeric_limits<double>::infinity();
}

// Whether a file that cv::imread decodes whole fits in the memory given,
// by the size its header declares where Qt can read it (BMP, the netpbm
// family, GIF, and TIFF and WebP with Qt's image-format plugins); a size
// nobody can tell in advance is left to OpenCV's own limit.
bool fitsWhole(const std::string &path, double memoryLimit)
{
    QImageReader reader(QFile::decodeName(path.c_str()));
    reader.setDecideFormatFromContent(true);
    const QSize size = reader.size();
    return !size.isValid() || 3.0 * size.width() * size.height() <= memoryLimit;
}

} // namespace

cv::Mat readImage(const std::string &path)
{
    return readImage(path, availableMemory());
}

cv::Mat readImage(const std::string &path, double memoryLimit)
{
    // Only regular files: a FIFO or a device would block the read or never end.
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        return {};
    try {
        if (std::optional<cv::Mat> picture = readPanelRows(path, memoryLimit))
            return *picture;
        // HEIF first, so that its files never load OpenCV's codecs, which
        // cannot read them.
        if (cv::Mat picture = readHeif(path, memoryLimit); !picture.empty())
            return picture;
        if (!fitsWhole(path, memoryLimit))
            return {};
        return readWithCodecs(path);
    } catch (...) {
        // Decoders throw on headers they refuse (huge sizes) and on
        // allocation failures; either way the file is not readable.
        return {};
    }
}

} // namespace sixfold
