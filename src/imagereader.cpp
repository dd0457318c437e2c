// Reading picture files for the views.

#include "imagereader.h"

#include "codecs.h"
#include "heifreader.h"
#include "memorylimit.h"
#include "regularfile.h"
#include "rowreader.h"

#include <QFile>
#include <QImageReader>
#include <QSize>

namespace sixfold {

namespace {

// Whether a file that cv::imread decodes whole fits in the memory given,
// by the size its header declares where Qt can read it (BMP, PBM, PGM and
// PPM, and TIFF and WebP with Qt's image-format plugins). Other formats
// (JPEG 2000, OpenEXR, Radiance HDR, PFM, Sun raster, PAM, ...) declare a
// size Qt cannot read: they are left to OpenCV's own limit of 2^30 pixels.
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
    // Only a regular file, as it is when opened: a FIFO or a device would
    // block the read or never end. Everything below reads that same file.
    const RegularFile file(path);
    if (file.descriptor < 0)
        return {};
    try {
        if (std::optional<cv::Mat> picture = readPanelRows(file, memoryLimit))
            return *picture;
        // HEIF first, so that its files never load OpenCV's codecs, which
        // cannot read them.
        if (cv::Mat picture = readHeif(file.name, memoryLimit); !picture.empty())
            return picture;
        if (!fitsWhole(file.name, memoryLimit))
            return {};
        return readWithCodecs(file.name);
    } catch (...) {
        // Decoders throw on headers they refuse (huge sizes) and on
        // allocation failures; either way the file is not readable.
        return {};
    }
}

} // namespace sixfold
