#include "imageops.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <libheif/heif.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
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
// reading decides.
cv::Mat readHeif(const std::string &path)
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

} // namespace

cv::Mat readImage(const std::string &path)
{
    // Only regular files: a FIFO or a device would block the read or never end.
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        return {};
    try {
        cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
        return image.empty() ? readHeif(path) : image;
    } catch (...) {
        // Decoders throw on headers they refuse (huge sizes) and on
        // allocation failures; either way the file is not readable.
        return {};
    }
}

cv::Mat panelRgb(const cv::Mat &bgr)
{
    cv::Mat scaled;
    cv::resize(bgr, scaled, cv::Size(PanelWidth, PanelHeight), 0, 0, cv::INTER_LINEAR);
    cv::Mat rgb;
    cv::cvtColor(scaled, rgb, cv::COLOR_BGR2RGB);
    return rgb;
}

namespace {

// One row of pixels, in place. Written as the plain formula so that the
// compiler vectorises it; where the processor has AVX2 a clone of it using
// four doubles at a time is chosen at load time. Vector and scalar double
// arithmetic round alike, so every clone gives the formula's exact value.
// The choice at load time needs glibc's indirect functions: elsewhere (musl,
// other processors) the one plain version is built.
#if defined(__x86_64__) && defined(__GLIBC__) && defined(__has_attribute)
#if __has_attribute(target_clones)
__attribute__((target_clones("avx2", "default")))
#endif
#endif
void averageGrayRow(uchar *__restrict p, size_t pixels)
{
    for (size_t i = 0; i < pixels; ++i) {
        const auto v = uchar(averageGrayOf(p[3 * i], p[3 * i + 1], p[3 * i + 2]));
        p[3 * i] = v;
        p[3 * i + 1] = v;
        p[3 * i + 2] = v;
    }
}

} // namespace

void averageGrayInPlace(cv::Mat &bgr)
{
    CV_Assert(bgr.type() == CV_8UC3);
    if (bgr.isContinuous()) {
        averageGrayRow(bgr.data, bgr.total());
        return;
    }
    for (int y = 0; y < bgr.rows; ++y)
        averageGrayRow(bgr.ptr<uchar>(y), size_t(bgr.cols));
}

} // namespace sixfold
