// The EXIF orientation OpenCV gives a JPEG or PNG, asked of OpenCV itself:
// the file's EXIF block is put into a tiny picture of known corners, which
// OpenCV decodes and turns.

#include "exifprobe.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <vector>

#include <zlib.h>

namespace sixfold {

namespace {

// The probe: 24 x 16 gray, in 8 x 8 blocks whose four corners have the
// levels 0 (top left), 80 (top right), 160 (bottom left) and 240.
std::vector<uchar> probe(const char *extension)
{
    cv::Mat gray(16, 24, CV_8UC1, cv::Scalar(120));
    gray(cv::Rect(0, 0, 8, 8)).setTo(0);
    gray(cv::Rect(16, 0, 8, 8)).setTo(80);
    gray(cv::Rect(0, 8, 8, 8)).setTo(160);
    gray(cv::Rect(16, 8, 8, 8)).setTo(240);
    std::vector<uchar> bytes;
    cv::imencode(extension, gray, bytes, {cv::IMWRITE_JPEG_QUALITY, 100});
    return bytes;
}

// The orientation OpenCV gives the probe file with a block of bytes
// spliced in at the given offset, from the decoded probe's shape and the
// corner that ended up at its top left; 0 if it is not a probe's shape.
int orientationOfProbe(const std::vector<uchar> &base, size_t at, const std::vector<uchar> &block)
{
    std::vector<uchar> file(base.size() + block.size());
    std::copy(base.begin(), base.begin() + long(at), file.begin());
    std::copy(block.begin(), block.end(), file.begin() + long(at));
    std::copy(base.begin() + long(at), base.end(), file.begin() + long(at + block.size()));
    const cv::Mat decoded = cv::imdecode(file, cv::IMREAD_COLOR);
    const bool transposed = decoded.cols == 16 && decoded.rows == 24;
    if (!transposed && !(decoded.cols == 24 && decoded.rows == 16))
        return 0;
    const int corner = (decoded.at<cv::Vec3b>(0, 0)[0] + 40) / 80;   // 0 TL, 1 TR, 2 BL, 3 BR
    static const int upright[] = {1, 2, 4, 3};
    static const int turned[] = {5, 8, 6, 7};
    return transposed ? turned[corner] : upright[corner];
}

} // namespace

int jpegExifOrientation(const unsigned char *app1, unsigned length)
{
    // The probe with that segment after its start marker.
    static const std::vector<uchar> base = probe(".jpg");
    std::vector<uchar> segment(4 + length);
    const unsigned size = length + 2;
    segment[0] = 0xff;
    segment[1] = 0xe1;
    segment[2] = uchar(size >> 8);
    segment[3] = uchar(size);
    std::copy(app1, app1 + length, segment.begin() + 4);
    return orientationOfProbe(base, 2, segment);
}

int pngExifOrientation(const unsigned char *exif, uint32_t length)
{
    // The probe with the chunk after its header.
    static const std::vector<uchar> base = probe(".png");
    std::vector<uchar> chunk(12 + size_t(length));
    const uchar head[] = {uchar(length >> 24), uchar(length >> 16), uchar(length >> 8), uchar(length),
                          'e', 'X', 'I', 'f'};
    std::copy(head, head + 8, chunk.begin());
    std::copy(exif, exif + length, chunk.begin() + 8);
    const uLong crc = crc32(0, chunk.data() + 4, uInt(length + 4));
    for (int i = 0; i < 4; ++i)
        chunk[8 + length + i] = uchar(crc >> (24 - 8 * i));
    return orientationOfProbe(base, 8 + 25, chunk);   // after the signature and IHDR
}

} // namespace sixfold
