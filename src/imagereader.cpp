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

constexpr double Megabyte = 1048576;

// What a load holds beyond the buffers its reader counts: the views, their
// pixmaps and scenes, the decoders' tables and the heap's slack (measured
// under 3 MB whatever the picture).
constexpr double LoadMargin = 8 * Megabyte;

// What OpenCV's codecs take beyond the picture they give: the module and
// the libraries it loads, the first time (about 10 MB).
constexpr double CodecsMargin = 16 * Megabyte;

// Whether a file that cv::imread decodes whole fits in the memory given,
// by the size its header declares where Qt can read it (BMP, PBM, PGM and
// PPM, and TIFF and WebP with Qt's image-format plugins). Other formats
// (JPEG 2000, OpenEXR, Radiance HDR, PFM, Sun raster, PAM, ...) declare a
// size Qt cannot read: they are left to OpenCV's own limit of 2^30 pixels.
bool fitsWhole(const std::string &path, double fileSize, double memoryLimit)
{
    QImageReader reader(QFile::decodeName(path.c_str()));
    reader.setDecideFormatFromContent(true);
    const QSize size = reader.size();
    if (!size.isValid())
        return true;
    const double pixels = double(size.width()) * size.height();
    // Beyond the picture, OpenCV reads a TIFF into a buffer of 8-bit RGBA
    // a strip or tile at a time (one strip may be the whole picture;
    // measured at 3.6 to 4 bytes a pixel whatever the file's depth), and a
    // WebP file whole before decoding it.
    double decoder = 0;
    if (reader.format() == "tiff")
        decoder = 4 * pixels;
    else if (reader.format() == "webp")
        decoder = fileSize;
    return 3 * pixels + decoder + CodecsMargin <= memoryLimit;
}

} // namespace

cv::Mat readImage(const std::string &path)
{
    return readImage(path, availableMemory());
}

cv::Mat readImage(const std::string &path, double loadLimit)
{
    const double memoryLimit = loadLimit - LoadMargin;
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
        if (!fitsWhole(file.name, file.size, memoryLimit))
            return {};
        return readWithCodecs(file.name);
    } catch (...) {
        // Decoders throw on headers they refuse (huge sizes) and on
        // allocation failures; either way the file is not readable.
        return {};
    }
}

} // namespace sixfold
