// Reading picture files for the views.

#include "imagereader.h"

#include "rowreader.h"

#include <QFile>
#include <QImageReader>
#include <QSize>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <libheif/heif.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>

namespace sixfold {

namespace {

// libheif asks to be initialised once (it loads its decoder plugins then)
// and released at the end; this holder does both for the program's life.
const struct HeifLibrary {
    HeifLibrary() { heif_init(nullptr); }
    ~HeifLibrary() { heif_deinit(); }
} heifLibrary;

// HEIF (HEIC, AVIF) pictures, which OpenCV does not read: the primary image
// decoded to 8-bit RGB with libheif's default conversion, turned to BGR.
// Only what is plainly not HEIF is refused from its first bytes: files whose
// major brand is the generic "mif1" are only "maybe" HEIF, so libheif's
// reading decides. A picture whose decoding would take more than the memory
// given is refused before it is decoded.
cv::Mat readHeif(const std::string &path, double memoryLimit)
{
    uint8_t head[64];
    std::ifstream file(path, std::ios::binary);
    file.read(reinterpret_cast<char *>(head), sizeof head);
    if (heif_check_filetype(head, int(file.gcount())) == heif_filetype_no)
        return {};

    const std::unique_ptr<heif_context, decltype(&heif_context_free)> context(heif_context_alloc(),
                                                                             heif_context_free);
    if (!context || heif_context_read_from_file(context.get(), path.c_str(), nullptr).code != heif_error_Ok)
        return {};
    heif_image_handle *handle = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &handle).code != heif_error_Ok)
        return {};
    const std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)> primary(
        handle, heif_image_handle_release);
    // The codec's planes (up to three samples a pixel, of two bytes beyond
    // 8 bits), their RGB conversion and its blue-green-red copy.
    const double pixels = double(heif_image_handle_get_width(handle)) * heif_image_handle_get_height(handle);
    const int sampleBytes = heif_image_handle_get_luma_bits_per_pixel(handle) > 8 ? 2 : 1;
    if (pixels * (3 * sampleBytes + 3 + 3) > memoryLimit)
        return {};
    heif_image *decoded = nullptr;
    if (heif_decode_image(primary.get(), &decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr).code
        != heif_error_Ok)
        return {};
    const std::unique_ptr<heif_image, decltype(&heif_image_release)> image(decoded, heif_image_release);

    int stride = 0;
    const uint8_t *plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (!plane || width <= 0 || height <= 0 || stride < 3 * width)
        return {};
    const cv::Mat rgb(height, width, CV_8UC3, const_cast<uint8_t *>(plane), size_t(stride));
    cv::Mat bgr;
    cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
    return bgr;
}

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
        if (!fitsWhole(path, memoryLimit))
            return {};
        cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
        return image.empty() ? readHeif(path, memoryLimit) : image;
    } catch (...) {
        // Decoders throw on headers they refuse (huge sizes) and on
        // allocation failures; either way the file is not readable.
        return {};
    }
}

} // namespace sixfold
