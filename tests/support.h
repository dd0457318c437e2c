#ifndef SUPPORT_H
#define SUPPORT_H

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

#include <opencv2/core.hpp>

#include <cstdio>

#include <functional>
#include <utility>
#include <vector>

#include <jpeglib.h>

class MainWindow;
class QGraphicsView;

namespace support {

// What the program writes to standard output for a file it cannot read.
inline const QByteArray failureLine = QByteArray("失敗") + '\n';

// Presses the load button and answers the file dialog with the absolute
// path, typed into its file-name field (empty to cancel). Returns what the
// program wrote to standard output meanwhile. The test fails if no dialog
// appeared, or if a dialog was still open after a while (a watchdog rejects
// it, so it never hangs).
QByteArray loadThroughDialog(MainWindow &window, const QString &path);

// Runs the action and returns what it wrote to standard output.
QByteArray captureStdout(const std::function<void()> &action);

// The picture a view shows: the pixmap of the single item of its scene.
// Null when the view has no scene or the scene holds anything else.
QImage viewPicture(const QGraphicsView *view);

// The view's picture as an 8-bit red-green-blue matrix; empty if none.
cv::Mat viewRgb(const QGraphicsView *view);

// The view's picture as an 8-bit one-channel matrix, for views that show
// gray; empty if there is none or its channels differ.
cv::Mat viewGray(const QGraphicsView *view);

// The six pictures a load of the given file content (as read, blue-green-
// red, full size) must show, computed step by step the plain way with
// OpenCV, each as red-green-blue in the order of viewPictures.
std::vector<cv::Mat> expectedViews(const cv::Mat &bgr);

// Whether the window shows what a load of the picture (as read) must show:
// all six views, and the stored panel copy.
bool showsLoadOf(const MainWindow &window, const cv::Mat &bgr);

// What the six views show, in the order origin, mygray, gray, gaussian,
// sobel, laplacian, each as red-green-blue (empty for an empty view).
std::vector<cv::Mat> viewPictures(const MainWindow &window);

// Whether two lists of pictures are pixel for pixel the same.
bool samePictures(const std::vector<cv::Mat> &a, const std::vector<cv::Mat> &b);

// Whether two matrices have the same size, type and elements.
bool samePixels(const cv::Mat &a, const cv::Mat &b);

// Whether every pixel that scaling the picture read to a panel of the given
// size reads is the expected picture's, not just near enough to scale
// alike; names the first that is not on standard error.
bool samePanelPixels(const cv::Mat &read, const cv::Mat &expected, QSize panel = QSize(256, 192));

// Writes a picture with OpenCV and returns the path; fails the test if the
// write fails.
QString writeImage(const QString &path, const cv::Mat &image);

// Writes raw bytes to a file, making its folder if needed, and returns the
// path.
QString writeBytes(const QString &path, const QByteArray &bytes);

// A PNG chunk: length, type, data and CRC.
QByteArray pngChunk(const QByteArray &type, const QByteArray &data);

// A PNG file's first bytes: signature and a header chunk declaring the
// given size, bit depth and colour type; the rest is left to the caller.
QByteArray pngHeader(quint32 width, quint32 height, int bitDepth = 8, int colourType = 2, bool interlaced = false);

// A whole PNG file from raw scanlines (each led by its filter byte), with
// any extra chunks (a palette, say) placed before the image data.
QByteArray pngFile(quint32 width, quint32 height, int bitDepth, int colourType,
                   const QByteArray &scanlines, const QByteArray &extraChunks = {}, bool interlaced = false);

// The scanlines of packed rows of raw samples (as many bytes a row as the
// depth and colour type take), in Adam7's passes where interlaced, each
// filtered by PNG's filter `filter` or, for -1, by each of the five in turn,
// Paeth three rows running.
QByteArray pngFiltered(int width, int height, int bitDepth, int colourType, const QByteArray &rows,
                       bool interlaced = false, int filter = -1);

// A palette chunk of 2^bitDepth entries, as pngWritten makes it.
QByteArray pngPalette(int bitDepth);

// A zlib stream of `count` zero bytes in one dynamic deflate block whose
// literal code is incomplete, as zlib refuses it (only the zero byte and
// the end of the block have codes, one and two bits long), or, with
// `complete`, whole (both one bit long).
QByteArray zlibOfZeros(int count, bool complete);

// How jpegFile writes: the sampling factors of the first component (the
// others have 1 x 1), and a restart marker every so many MCU rows (0: none).
struct JpegOptions
{
    int hSampling = 2, vSampling = 2;
    bool progressive = false;
    int restartRows = 0;
    bool ycck = false;   // a 4-channel matrix stored as YCCK, not CMYK
    int quality = 90;
    // Progressive by spectral selection alone (a DC scan, then each
    // component's AC), with Huffman tables made for the picture: the
    // fewest bits a block can take.
    bool spectral = false;
    // With spectral: a scan of its own for each component's DC, and then
    // only the first component's scans kept, the others' coefficients
    // left zero (libjpeg's encoder would not write such a file).
    bool firstComponentOnly = false;
    bool arithmetic = false;
    // The sampling factors of every component, any the standard allows:
    // each channel is then stored as it is (a 3-channel matrix as YCbCr),
    // scaled to its component's size. Empty: hSampling and vSampling.
    std::vector<QSize> sampling = {};
    // A scan script, as jpegtran -scans takes one: each scan's components
    // (their indexes), coefficients Ss to Se and bits Ah and Al. Progressive
    // unless the first scan codes whole blocks; empty: as the options above
    // say.
    struct Scan
    {
        std::vector<int> components;
        int Ss = 0, Se = 63, Ah = 0, Al = 0;
    };
    std::vector<Scan> script = {};
    int restartMcus = 0;   // a restart marker every so many MCUs of each scan (0: as restartRows says)
    // The scans that start at coefficient 0 taken out once written, which
    // libjpeg's encoder would not do.
    bool withoutDcScans = false;
    // A sequential file's Huffman tables (libjpeg makes a progressive
    // file's for the picture whatever this says): the standard's, made for
    // the picture, or long codes, most of them beyond a 10-bit look-up (DC
    // at 9, 10 and 16 bits, AC at 10 to 14).
    enum class Huffman { Standard, Optimised, Long } huffman = Huffman::Standard;
};

// A JPEG of a gray, blue-green-red or (4 channels) CMYK matrix, written with
// libjpeg.
QByteArray jpegFile(const cv::Mat &image, const JpegOptions &options = {});

// A JPEG file opened and read by libjpeg as far as its first scan header;
// closed with it.
struct LibjpegHeader
{
    explicit LibjpegHeader(const char *path);
    ~LibjpegHeader();
    LibjpegHeader(const LibjpegHeader &) = delete;
    LibjpegHeader &operator=(const LibjpegHeader &) = delete;
    std::FILE *file;
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
};

// The JPEG (baseline or progressive) with its frame header declaring another
// size.
QByteArray jpegDeclaring(QByteArray jpeg, int width, int height);

// A progressive JPEG of AC scans alone (no block of which costs a bit),
// gray or YCbCr as the picture's channels, cut four bytes into its data and
// declaring the given size.
QByteArray acScansDeclaring(const cv::Mat &image, int width, int height);

// A flat progressive JPEG (every coefficient zero), gray or of three
// components sampled alike, written by hand: of AC scans alone (which
// libjpeg warns of, and decodes with the DC left at zero), or of a scan
// for each bit of each coefficient band (896 a component); each scan's data
// coded (a bit a block for DC, end-of-band runs of up to 32767 blocks for
// AC) or left out, the scans' headers one after another.
QByteArray flatProgressive(int width, int height, int components, bool acOnly, bool withData);

// A gray baseline JPEG written symbol by symbol, as an encoder never would
// (runs of zeros before an end of block, blocks ending at any bit): 8
// pixels wide, a block a row, quantisation all ones, with the Huffman
// tables given (libjpeg's form: how many codes of each length from 1 bit
// up, then the symbols in that order) and a restart marker every so many
// blocks.
struct JpegSymbols
{
    struct Table
    {
        std::vector<int> counts, symbols;
        int length(int symbol) const;   // of its code
    };
    struct Block
    {
        int dc = 0;                              // the difference from the last block's
        std::vector<std::pair<int, int>> ac;     // symbols (run << 4 | size), each with its value
    };
    Table dc, ac;
    std::vector<Block> blocks;
    int restartBlocks = 0;
    int bits(const Block &block) const;   // its codes and values
};
QByteArray jpegOfSymbols(const JpegSymbols &file);

// A PNG written with libpng from packed rows of raw samples (as many bytes
// a row as the depth and colour type take), optionally interlaced and with a
// transparent colour or palette entries; stored unfiltered, or compressed
// and filtered as libpng does by default.
QByteArray pngWritten(int width, int height, int bitDepth, int colourType, const QByteArray &rows,
                      bool interlaced = false, bool transparency = false, bool libpngDefaults = false);

// Files of a photo-like picture of the given size in every form the JPEG
// and PNG reader handles, each with its name: JPEG in every chroma
// subsampling, gray, progressive, with restart markers, CMYK, YCCK, cut
// halfway and with each EXIF orientation; PNG of random samples in every
// colour type and depth, interlaced, with transparency, and with an eXIf
// chunk before or after the pixels.
std::vector<std::pair<QByteArray, QByteArray>> readerCases(int width, int height);

// An entry of an EXIF directory: tag, type, count and value (a SHORT's
// value in its first two bytes).
struct ExifEntry
{
    quint16 tag, type;
    quint32 count, value;
};

// An EXIF block, as a PNG eXIf chunk holds it: a TIFF header, little- or
// big-endian, and one directory of these entries at the given offset, with
// four zero bytes after it.
QByteArray exifBlock(bool intel, const std::vector<ExifEntry> &entries, quint32 directory = 8);

// The same holding only the given orientation, 1 to 8, little-endian.
QByteArray exifBlock(int orientation);

// The JPEG with an EXIF segment carrying the given orientation inserted
// after its start marker.
QByteArray withExifOrientation(const QByteArray &jpeg, int orientation);

// A tiny picture of known corners (24 x 16, gray) whose first APP1
// segments hold these payloads, in order, or, as a PNG, with these eXIf
// chunks before its pixels (or after them).
QByteArray probeFile(const std::vector<QByteArray> &blocks, bool png = false, bool afterPixels = false);

// The orientation OpenCV itself applies to such a picture, from the corner
// cv::imdecode turns to its top left; 0 if it does not decode to one.
int probeOrientation(const std::vector<QByteArray> &blocks, bool png = false, bool afterPixels = false);

// Writes a blue-green-red matrix as a HEIC file (HEVC through libheif's
// encoder) or, with av1, as an AVIF file, and returns the path; empty when
// libheif has no encoder for the format.
QString writeHeic(const QString &path, const cv::Mat &bgr, bool av1 = false);

// The primary image of a HEIF file as libheif decodes it to 8-bit RGB,
// returned as blue-green-red; empty if libheif cannot decode it.
cv::Mat decodeHeic(const QString &path);

// A matrix encoded in memory by OpenCV (".png", ".jpg", ...).
QByteArray encoded(const char *extension, const cv::Mat &image, const std::vector<int> &params = {});

// For the fuzz targets: starts Qt on its offscreen platform; with
// SIXFOLD_MAKE_SEEDS=DIR set, has makeSeeds write a starting corpus into
// DIR and exits. Otherwise returns a window that lives for the whole run,
// and sets the path each input is to be written to.
MainWindow *fuzzWindow(char *program, const std::function<void(const QString &)> &makeSeeds, QString &inputPath);

// A photo-like blue-green-red picture: smooth gradients and shapes plus
// noise, reproducible from the seed.
cv::Mat photoLike(int width, int height, unsigned seed = 1);

// A blue-green-red picture with 1 (gray), 3 (as it is) or 4 channels (a
// fourth from its alpha), for a JPEG of that many components.
cv::Mat withChannels(const cv::Mat &bgr, int channels);

} // namespace support

#endif // SUPPORT_H
