// HEIF pictures, decoded with libheif, which is loaded the first time a file
// may need it.

#include "heifreader.h"

#include <opencv2/imgproc.hpp>

#include <libheif/heif.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>

#include <dlfcn.h>

namespace sixfold {

namespace {

// libheif, loaded with the first file that may be HEIF and kept to the end
// of the program. It asks to be started once (it loads its decoder plugins
// then) and released at the end; this holder does both.
struct Heif
{
    void *library = dlopen("libheif.so.1", RTLD_NOW | RTLD_LOCAL);

    template <class Function> Function *find(const char *name) const
    {
        return library ? reinterpret_cast<Function *>(dlsym(library, name)) : nullptr;
    }
#define SIXFOLD_HEIF(name) decltype(::heif_##name) *name = find<decltype(::heif_##name)>("heif_" #name)
    SIXFOLD_HEIF(init);
    SIXFOLD_HEIF(deinit);
    SIXFOLD_HEIF(check_filetype);
    SIXFOLD_HEIF(context_alloc);
    SIXFOLD_HEIF(context_free);
    SIXFOLD_HEIF(context_read_from_file);
    SIXFOLD_HEIF(context_get_primary_image_handle);
    SIXFOLD_HEIF(image_handle_release);
    SIXFOLD_HEIF(image_handle_get_width);
    SIXFOLD_HEIF(image_handle_get_height);
    SIXFOLD_HEIF(image_handle_get_luma_bits_per_pixel);
    SIXFOLD_HEIF(decode_image);
    SIXFOLD_HEIF(image_release);
    SIXFOLD_HEIF(image_get_plane_readonly);
    SIXFOLD_HEIF(image_get_width);
    SIXFOLD_HEIF(image_get_height);
#undef SIXFOLD_HEIF
    const bool usable = init && deinit && check_filetype && context_alloc && context_free &&
                        context_read_from_file && context_get_primary_image_handle && image_handle_release &&
                        image_handle_get_width && image_handle_get_height && image_handle_get_luma_bits_per_pixel &&
                        decode_image && image_release && image_get_plane_readonly && image_get_width &&
                        image_get_height;

    Heif()
    {
        if (usable)
            init(nullptr);
    }
    ~Heif()
    {
        if (usable)
            deinit();
    }
    Heif(const Heif &) = delete;
    Heif &operator=(const Heif &) = delete;
};

} // namespace

cv::Mat readHeif(const std::string &path, double memoryLimit)
{
    uint8_t head[64] = {};
    std::ifstream file(path, std::ios::binary);
    file.read(reinterpret_cast<char *>(head), sizeof head);
    if (file.gcount() < 12 || std::memcmp(head + 4, "ftyp", 4) != 0)
        return {};
    static const Heif heif;
    // Only what is plainly not HEIF is refused from its first bytes: files
    // whose major brand is the generic "mif1" are only "maybe" HEIF, so
    // libheif's reading decides.
    if (!heif.usable || heif.check_filetype(head, int(file.gcount())) == heif_filetype_no)
        return {};

    const std::unique_ptr<heif_context, decltype(heif.context_free)> context(heif.context_alloc(),
                                                                            heif.context_free);
    if (!context || heif.context_read_from_file(context.get(), path.c_str(), nullptr).code != heif_error_Ok)
        return {};
    heif_image_handle *handle = nullptr;
    if (heif.context_get_primary_image_handle(context.get(), &handle).code != heif_error_Ok)
        return {};
    const std::unique_ptr<heif_image_handle, decltype(heif.image_handle_release)> primary(
        handle, heif.image_handle_release);
    // The decoder's pictures and what it keeps for each block, the RGB
    // conversion and its blue-green-red copy: measured (libheif 1.15 with
    // libde265) at 12.5 bytes a pixel for 8-bit HEVC, 15.7 beyond 8 bits,
    // and 8.2 for AV1; counted as 16 and 20.
    const double pixels = double(heif.image_handle_get_width(handle)) * heif.image_handle_get_height(handle);
    const int sampleBytes = heif.image_handle_get_luma_bits_per_pixel(handle) > 8 ? 2 : 1;
    if (pixels * (12 + 4 * sampleBytes) > memoryLimit)
        return {};
    heif_image *decoded = nullptr;
    if (heif.decode_image(primary.get(), &decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr).code
        != heif_error_Ok)
        return {};
    const std::unique_ptr<heif_image, decltype(heif.image_release)> image(decoded, heif.image_release);

    int stride = 0;
    const uint8_t *plane = heif.image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int width = heif.image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif.image_get_height(image.get(), heif_channel_interleaved);
    if (!plane || width <= 0 || height <= 0 || stride < 3 * width)
        return {};
    const cv::Mat rgb(height, width, CV_8UC3, const_cast<uint8_t *>(plane), size_t(stride));
    cv::Mat bgr;
    cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
    return bgr;
}

} // namespace sixfold
