#include "support.h"

#include "imageops.h"
#include "mainwindow.h"
#include "mainwindow_form.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QFileDialog>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>
#include <libheif/heif_cxx.h>
#include <png.h>
#include <iostream>
#include <unistd.h>

namespace support {

QByteArray loadThroughDialog(MainWindow &window, const QString &path)
{
    // Answers the dialog once it shows: the path typed into its file-name
    // field, or a cancel for an empty path.
    bool answered = false;
    QTimer answer;
    answer.setInterval(20);
    QObject::connect(&answer, &QTimer::timeout, [&answer, &answered, path] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible())
            return;
        answer.stop();
        answered = true;
        if (path.isEmpty()) {
            dialog->reject();
            return;
        }
        auto *edit = dialog->findChild<QLineEdit *>("fileNameEdit");
        QVERIFY(edit);
        edit->setText(path);
        static_cast<QDialog *>(dialog)->accept();
    });
    // Rejects whatever is still open after a while, so that nothing hangs.
    QTimer watchdog;
    watchdog.setInterval(15000);
    bool strayDialog = false;
    QObject::connect(&watchdog, &QTimer::timeout, [&strayDialog] {
        while (QWidget *modal = QApplication::activeModalWidget()) {
            strayDialog = true;
            if (auto *dialog = qobject_cast<QDialog *>(modal))
                dialog->reject();
            else
                modal->close();
        }
    });
    watchdog.start();
    answer.start();
    const QByteArray out = captureStdout([&window] { window.form().pushButton->click(); });
    answer.stop();
    watchdog.stop();
    if (!answered)
        QTest::qFail("no file dialog appeared", __FILE__, __LINE__);
    else if (strayDialog)
        QTest::qFail("a dialog was still open and had to be rejected", __FILE__, __LINE__);
    return out;
}

QByteArray captureStdout(const std::function<void()> &action)
{
    std::cout.flush();
    std::fflush(stdout);
    QTemporaryFile file;
    if (!file.open())
        qFatal("cannot make a file to capture standard output");
    // The test log writes warnings to standard output too; meanwhile they go
    // to standard error so that only the program's own output is captured.
    const QtMessageHandler testLog = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &,
                                                               const QString &message) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
    });
    const int saved = dup(STDOUT_FILENO);
    dup2(file.handle(), STDOUT_FILENO);
    action();
    std::cout.flush();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    qInstallMessageHandler(testLog);
    QFile captured(file.fileName());
    captured.open(QIODevice::ReadOnly);
    return captured.readAll();
}

QImage viewPicture(const QGraphicsView *view)
{
    if (!view->scene())
        return {};
    const QList<QGraphicsItem *> items = view->scene()->items();
    if (items.size() != 1)
        return {};
    const auto *item = qgraphicsitem_cast<const QGraphicsPixmapItem *>(items.first());
    return item ? item->pixmap().toImage() : QImage();
}

cv::Mat viewRgb(const QGraphicsView *view)
{
    const QImage picture = viewPicture(view).convertToFormat(QImage::Format_RGB888);
    if (picture.isNull())
        return {};
    const cv::Mat wrapped(picture.height(), picture.width(), CV_8UC3,
                          const_cast<uchar *>(picture.constBits()), size_t(picture.bytesPerLine()));
    return wrapped.clone();
}

cv::Mat viewGray(const QGraphicsView *view)
{
    const cv::Mat rgb = viewRgb(view);
    if (rgb.empty())
        return {};
    cv::Mat channels[3];
    cv::split(rgb, channels);
    if (cv::countNonZero(channels[0] != channels[1]) || cv::countNonZero(channels[0] != channels[2]))
        return {};
    return channels[0];
}

std::vector<cv::Mat> expectedViews(const cv::Mat &bgr)
{
    const cv::Size panel(256, 192);
    auto scaled = [&panel](const cv::Mat &m) {
        cv::Mat out;
        cv::resize(m, out, panel, 0, 0, cv::INTER_LINEAR);
        return out;
    };
    auto asRgb = [](const cv::Mat &gray) {
        cv::Mat out;
        cv::cvtColor(gray, out, cv::COLOR_GRAY2RGB);
        return out;
    };

    cv::Mat full;
    cv::cvtColor(bgr, full, cv::COLOR_BGR2RGB);
    const cv::Mat rgb = scaled(full);

    cv::Mat average = bgr.clone();
    for (int y = 0; y < average.rows; ++y) {
        auto *p = average.ptr<cv::Vec3b>(y);
        for (int x = 0; x < average.cols; ++x) {
            const double sum = p[x][2] * 0.3 + p[x][1] * 0.3 + p[x][0] * 0.3;
            p[x] = cv::Vec3b::all(uchar(int(sum)));
        }
    }

    cv::Mat gray, blur, dx, dy, sobel, laplacian;
    cv::cvtColor(rgb, gray, cv::COLOR_RGB2GRAY);
    cv::GaussianBlur(rgb, blur, cv::Size(1, 1), 0, 0);
    cv::Sobel(gray, dx, CV_8U, 1, 0, 3);
    cv::Sobel(gray, dy, CV_8U, 0, 1, 3);
    cv::addWeighted(dx, 0.5, dy, 0.5, 0.0, sobel);
    cv::Laplacian(gray, laplacian, CV_8U, 9);
    return {rgb, scaled(average), asRgb(gray), blur, asRgb(sobel), asRgb(laplacian)};
}

std::vector<cv::Mat> viewPictures(const MainWindow &window)
{
    const MainWindowUi &ui = window.form();
    std::vector<cv::Mat> pictures;
    for (const QGraphicsView *view : {ui.origin, ui.mygray, ui.gray, ui.gaussian, ui.sobel, ui.laplacian})
        pictures.push_back(viewRgb(view));
    return pictures;
}

bool showsLoadOf(const MainWindow &window, const cv::Mat &bgr)
{
    const std::vector<cv::Mat> expected = expectedViews(bgr);
    return samePictures(viewPictures(window), expected) && samePixels(window.panelImage(), expected[0]);
}

bool samePictures(const std::vector<cv::Mat> &a, const std::vector<cv::Mat> &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!samePixels(a[i], b[i]))
            return false;
    return true;
}

bool samePanelPixels(const cv::Mat &read, const cv::Mat &expected, QSize panel)
{
    if (read.empty() && expected.empty())
        return true;
    if (read.size() != expected.size() || read.type() != expected.type()) {
        std::fprintf(stderr, "%d x %d read, %d x %d expected\n", read.cols, read.rows, expected.cols, expected.rows);
        return false;
    }
    const std::vector<int> columns = sixfold::panelSourceLines(read.cols, panel.width());
    for (const int y : sixfold::panelSourceLines(read.rows, panel.height()))
        for (const int x : columns)
            if (read.at<cv::Vec3b>(y, x) != expected.at<cv::Vec3b>(y, x)) {
                const cv::Vec3b a = read.at<cv::Vec3b>(y, x), b = expected.at<cv::Vec3b>(y, x);
                std::fprintf(stderr, "pixel (%d, %d) of a %d x %d panel: %d %d %d read, %d %d %d expected\n", x, y,
                             panel.width(), panel.height(), a[0], a[1], a[2], b[0], b[1], b[2]);
                return false;
            }
    return true;
}

bool samePixels(const cv::Mat &a, const cv::Mat &b)
{
    if (a.size() != b.size() || a.type() != b.type())
        return false;
    if (a.empty())
        return true;
    return cv::norm(a, b, cv::NORM_INF) == 0;
}

QString writeImage(const QString &path, const cv::Mat &image)
{
    const bool written = cv::imwrite(QFile::encodeName(path).toStdString(), image);
    if (!written)
        qFatal("cannot write the test picture %s", qPrintable(path));
    return path;
}

QString writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write the test file %s", qPrintable(path));
    return path;
}

namespace {

quint32 crc32(const QByteArray &bytes)
{
    quint32 crc = 0xffffffffu;
    for (const char c : bytes) {
        crc ^= quint8(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

QByteArray bigEndian(quint32 v)
{
    QByteArray b(4, 0);
    for (int i = 0; i < 4; ++i)
        b[i] = char(v >> (24 - 8 * i));
    return b;
}

} // namespace

QByteArray pngChunk(const QByteArray &type, const QByteArray &data)
{
    return bigEndian(quint32(data.size())) + type + data + bigEndian(crc32(type + data));
}

QByteArray pngHeader(quint32 width, quint32 height, int bitDepth, int colourType, bool interlaced)
{
    QByteArray ihdr = bigEndian(width) + bigEndian(height);
    ihdr += char(bitDepth);
    ihdr += char(colourType);
    ihdr += QByteArray(2, '\0');   // deflate, adaptive filtering
    ihdr += char(interlaced);
    return QByteArray::fromHex("89504e470d0a1a0a") + pngChunk("IHDR", ihdr);
}

QByteArray pngFile(quint32 width, quint32 height, int bitDepth, int colourType,
                   const QByteArray &scanlines, const QByteArray &extraChunks, bool interlaced)
{
    // qCompress gives a zlib stream after a 4-byte length of its own.
    const QByteArray zlib = qCompress(scanlines).mid(4);
    return pngHeader(width, height, bitDepth, colourType, interlaced) + extraChunks + pngChunk("IDAT", zlib)
        + pngChunk("IEND", {});
}

QByteArray pngFiltered(int width, int height, int bitDepth, int colourType, const QByteArray &rows,
                       bool interlaced, int filter)
{
    static const int channels[] = {1, 0, 3, 1, 2, 0, 4};
    static const int adam7[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                    {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    const int bits = channels[colourType] * bitDepth, pixelBytes = std::max(bits / 8, 1);
    const qsizetype stride = rows.size() / height;
    auto bit = [&](int x, int y, int b) { return uchar(rows[y * stride + (x * bits + b) / 8]) >> (7 - (x * bits + b) % 8) & 1; };
    QByteArray out;
    for (int pass = 0; pass < (interlaced ? 7 : 1); ++pass) {
        const int x0 = interlaced ? adam7[pass][0] : 0, y0 = interlaced ? adam7[pass][1] : 0;
        const int dx = interlaced ? adam7[pass][2] : 1, dy = interlaced ? adam7[pass][3] : 1;
        const int across = width > x0 ? (width - x0 + dx - 1) / dx : 0;
        const qsizetype bytes = (qsizetype(across) * bits + 7) / 8;
        QByteArray above(bytes, '\0');
        for (int j = 0, y = y0; across > 0 && y < height; ++j, y += dy) {
            QByteArray row(bytes, '\0');
            for (int i = 0; i < across; ++i)
                for (int b = 0; b < bits; ++b)
                    row[(i * bits + b) / 8] = char(uchar(row[(i * bits + b) / 8]) | bit(x0 + i * dx, y, b) << (7 - (i * bits + b) % 8));
            static const int cycle[] = {0, 1, 2, 3, 4, 4, 4};
            const int type = filter >= 0 ? filter : cycle[j % 7];
            out += char(type);
            for (qsizetype i = 0; i < bytes; ++i) {
                const int a = i >= pixelBytes ? uchar(row[i - pixelBytes]) : 0, up = uchar(above[i]);
                const int c = i >= pixelBytes ? uchar(above[i - pixelBytes]) : 0;
                const int p = a + up - c, pa = std::abs(p - a), pb = std::abs(p - up), pc = std::abs(p - c);
                const int predicted = type == 1 ? a : type == 2 ? up : type == 3 ? (a + up) / 2
                                    : type == 4 ? (pa <= pb && pa <= pc ? a : pb <= pc ? up : c) : 0;
                out += char(uchar(row[i]) - predicted);
            }
            above = row;
        }
    }
    return out;
}

QByteArray pngPalette(int bitDepth)
{
    QByteArray entries;
    for (int i = 0; i < (1 << bitDepth); ++i)
        entries += QByteArray(1, char(i * 37)) + char(255 - i * 11) + char(i * 5 + 3);
    return pngChunk("PLTE", entries);
}

QByteArray zlibOfZeros(int count, bool complete)
{
    // Bits from the low end of each byte up; Huffman codes from their
    // first bit.
    QByteArray bytes;
    int used = 0;
    auto put = [&](unsigned value, int n, bool code = false) {
        for (int i = 0; i < n; ++i, ++used) {
            if (used % 8 == 0)
                bytes += '\0';
            const unsigned b = code ? value >> (n - 1 - i) & 1 : value >> i & 1;
            bytes[bytes.size() - 1] = char(uchar(bytes.back()) | b << (used % 8));
        }
    };
    put(1, 1);    // the last block
    put(2, 2);    // dynamic codes
    put(0, 5);    // 257 lengths
    put(0, 5);    // 1 distance
    put(14, 4);   // 18 lengths of the code of lengths, in its order:
    // 16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1: 18 takes
    // one bit ("0"), 2 and 1 two ("10", "11").
    for (const int length : {0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2})
        put(unsigned(length), 3);
    put(2, 2, true);   // the zero byte's code is one bit long
    put(0, 1, true);   // 255 lengths of zero: 138, then 117
    put(127, 7);
    put(0, 1, true);
    put(106, 7);
    put(complete ? 2 : 3, 2, true);   // the end of the block's, one or two bits
    put(2, 2, true);   // the one distance's, one bit
    for (int i = 0; i < count; ++i)
        put(0, 1, true);
    put(complete ? 1 : 2, complete ? 1 : 2, true);
    // The Adler-32 of zeros: their count, and 1.
    return QByteArray::fromHex("7801") + bytes + bigEndian(quint32(count % 65521) << 16 | 1);
}

namespace {

// Feeds libjpeg each channel as a component of the given sampling, scaled
// to the component's size and padded, as libjpeg pads, to whole blocks.
void writeRawComponents(jpeg_compress_struct &info, const cv::Mat &image, const std::vector<QSize> &sampling)
{
    std::vector<cv::Mat> planes(sampling.size()), channels;
    cv::split(image, channels);
    std::vector<std::vector<JSAMPROW>> rows(sampling.size());
    for (size_t c = 0; c < sampling.size(); ++c) {
        const jpeg_component_info &component = info.comp_info[c];
        const int across = info.max_h_samp_factor, down = info.max_v_samp_factor;
        const cv::Size size((image.cols * sampling[c].width() + across - 1) / across,
                            (image.rows * sampling[c].height() + down - 1) / down);
        cv::resize(channels[c], planes[c], size, 0, 0, cv::INTER_AREA);
        const int rowsPadded = int(info.total_iMCU_rows) * component.v_samp_factor * DCTSIZE;
        cv::copyMakeBorder(planes[c], planes[c], 0, rowsPadded - size.height, 0,
                           int(component.width_in_blocks) * DCTSIZE - size.width, cv::BORDER_REPLICATE);
        for (int y = 0; y < planes[c].rows; ++y)
            rows[c].push_back(planes[c].ptr(y));
    }
    for (JDIMENSION row = 0; row < info.total_iMCU_rows; ++row) {
        std::vector<JSAMPARRAY> data;
        for (size_t c = 0; c < sampling.size(); ++c)
            data.push_back(rows[c].data() + row * JDIMENSION(info.comp_info[c].v_samp_factor * DCTSIZE));
        jpeg_write_raw_data(&info, data.data(), JDIMENSION(info.max_v_samp_factor * DCTSIZE));
    }
}

// Huffman tables of long codes in both of the file's table slots: DC sizes
// 0 to 3 at 9 bits, 4 to 7 at 10 and the rest at 16; the eight commonest AC
// symbols at 10 bits and the other 154 at 11 to 14.
void useLongCodes(jpeg_compress_struct &info)
{
    std::vector<UINT8> acSymbols = {0x00, 0x01, 0x02, 0x11, 0x03, 0x21, 0x12, 0x31};
    for (int symbol = 0; symbol < 256; ++symbol) {
        const bool used = symbol == 0xf0 || ((symbol & 15) >= 1 && (symbol & 15) <= 10);
        if (used && std::find(acSymbols.begin(), acSymbols.end(), symbol) == acSymbols.end())
            acSymbols.push_back(UINT8(symbol));
    }
    for (int slot = 0; slot < 2; ++slot) {
        JHUFF_TBL *dc = info.dc_huff_tbl_ptrs[slot], *ac = info.ac_huff_tbl_ptrs[slot];
        std::fill(std::begin(dc->bits), std::end(dc->bits), 0);
        std::fill(std::begin(ac->bits), std::end(ac->bits), 0);
        dc->bits[9] = dc->bits[10] = dc->bits[16] = 4;
        for (int size = 0; size < 12; ++size)
            dc->huffval[size] = UINT8(size);
        ac->bits[10] = 8;
        ac->bits[11] = 16;
        ac->bits[12] = 32;
        ac->bits[13] = 50;
        ac->bits[14] = 56;
        std::copy(acSymbols.begin(), acSymbols.end(), ac->huffval);
    }
}

} // namespace

QByteArray jpegFile(const cv::Mat &image, const JpegOptions &options)
{
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = JDIMENSION(image.cols);
    info.image_height = JDIMENSION(image.rows);
    info.input_components = image.channels();
    const bool raw = !options.sampling.empty();
    info.in_color_space = image.channels() == 1 ? JCS_GRAYSCALE
        : image.channels() == 4               ? JCS_CMYK
        : raw                                 ? JCS_YCbCr
                                              : JCS_EXT_BGR;
    jpeg_set_defaults(&info);
    if (options.ycck)
        jpeg_set_colorspace(&info, JCS_YCCK);
    jpeg_set_quality(&info, options.quality, TRUE);
    if (raw) {
        info.raw_data_in = TRUE;
        for (size_t c = 0; c < options.sampling.size(); ++c) {
            info.comp_info[c].h_samp_factor = options.sampling[c].width();
            info.comp_info[c].v_samp_factor = options.sampling[c].height();
        }
    } else if (image.channels() > 1) {
        info.comp_info[0].h_samp_factor = options.hSampling;
        info.comp_info[0].v_samp_factor = options.vSampling;
    }
    info.restart_in_rows = options.restartRows;
    info.optimize_coding = options.huffman == JpegOptions::Huffman::Optimised;
    if (options.huffman == JpegOptions::Huffman::Long)
        useLongCodes(info);
    std::vector<jpeg_scan_info> scans;
    if (options.spectral) {
        if (options.firstComponentOnly)
            for (int c = 0; c < info.num_components; ++c)
                scans.push_back({1, {c}, 0, 0, 0, 0});
        else
            scans.push_back({info.num_components, {0, 1, 2, 3}, 0, 0, 0, 0});
        for (int c = 0; c < info.num_components; ++c)
            scans.push_back({1, {c}, 1, 63, 0, 0});
        info.scan_info = scans.data();
        info.num_scans = int(scans.size());
        info.optimize_coding = !options.arithmetic;
    } else if (!options.script.empty()) {
        for (const JpegOptions::Scan &step : options.script) {
            jpeg_scan_info scan{int(step.components.size()), {}, step.Ss, step.Se, step.Ah, step.Al};
            std::copy(step.components.begin(), step.components.end(), scan.component_index);
            scans.push_back(scan);
        }
        info.scan_info = scans.data();
        info.num_scans = int(scans.size());
    } else if (options.progressive) {
        jpeg_simple_progression(&info);
    }
    if (options.restartMcus)
        info.restart_interval = unsigned(options.restartMcus);
    info.arith_code = options.arithmetic;
    jpeg_start_compress(&info, TRUE);
    if (raw)
        writeRawComponents(info, image, options.sampling);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<uchar *>(image.ptr<uchar>(int(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    const int firstComponent = info.comp_info[0].component_id;
    jpeg_destroy_compress(&info);
    QByteArray bytes(reinterpret_cast<const char *>(buffer), qsizetype(size));
    std::free(buffer);
    if (options.firstComponentOnly || options.withoutDcScans) {
        // Each scan runs from its header to the first marker after its data.
        for (qsizetype at = 0; (at = bytes.indexOf("\xff\xda", at)) >= 0;) {
            const qsizetype parameters = at + 4 + 2 * uchar(bytes[at + 4]) + 1;
            qsizetype end = at + 2 + (uchar(bytes[at + 2]) << 8 | uchar(bytes[at + 3]));
            while (uchar(bytes[end]) != 0xff || uchar(bytes[end + 1]) == 0 || (uchar(bytes[end + 1]) & 0xf8) == 0xd0)
                ++end;
            if (options.withoutDcScans ? bytes[parameters] == 0 : uchar(bytes[at + 5]) != firstComponent)
                bytes.remove(at, end - at);
            else
                at = end;
        }
    }
    return bytes;
}

LibjpegHeader::LibjpegHeader(const char *path) : file(std::fopen(path, "rb"))
{
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    if (!file)
        return;
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
}

LibjpegHeader::~LibjpegHeader()
{
    jpeg_destroy_decompress(&info);
    if (file)
        std::fclose(file);
}

QByteArray acScansDeclaring(const cv::Mat &image, int width, int height)
{
    JpegOptions acOnly{1, 1};
    for (int c = 0; c < image.channels(); ++c)
        acOnly.script.push_back({{c}, 0, 0, 0, 0});
    for (int c = 0; c < image.channels(); ++c)
        acOnly.script.push_back({{c}, 1, 63, 0, 0});
    acOnly.withoutDcScans = true;
    const QByteArray whole = jpegFile(image, acOnly);
    return jpegDeclaring(whole.left(whole.indexOf(QByteArray::fromHex("ffda")) + 14), width, height);
}

namespace {

QByteArray jpegSegment(int marker, const QByteArray &body)
{
    return QByteArray(1, '\xff') + char(marker) + char((body.size() + 2) >> 8) + char(body.size() + 2) + body;
}

// Entropy-coded data: bits from the top of each byte, a 0 stuffed after
// each 0xff, and ones up to the byte's end before a marker.
struct JpegBits
{
    QByteArray data;
    quint64 bits = 0;
    int count = 0;
    void put(quint32 value, int n)
    {
        bits = bits << n | value;
        for (count += n; count >= 8; count -= 8) {
            data += char(bits >> (count - 8));
            if (uchar(data.back()) == 0xff)
                data += '\0';
        }
    }
    void pad()
    {
        if (count)
            put((1u << (8 - count)) - 1, 8 - count);
    }
};

int magnitudeBits(int value)
{
    int size = 0;
    for (int v = std::abs(value); v; v >>= 1)
        ++size;
    return size;
}

// A value's bits after its size, as the standard codes a negative one.
quint32 valueBits(int value, int size)
{
    return quint32(value < 0 ? value + (1 << size) - 1 : value);
}

} // namespace

int JpegSymbols::Table::length(int symbol) const
{
    for (size_t l = 0, i = 0; l < counts.size(); ++l)
        for (int n = 0; n < counts[l]; ++n, ++i)
            if (symbols[i] == symbol)
                return int(l) + 1;
    return 0;
}

int JpegSymbols::bits(const Block &block) const
{
    const int size = magnitudeBits(block.dc);
    int total = dc.length(size) + size;
    for (const auto &[symbol, value] : block.ac)
        total += ac.length(symbol) + (symbol & 15);
    return total;
}

QByteArray jpegOfSymbols(const JpegSymbols &file)
{
    // Codes as libjpeg assigns them: by length, counting up.
    auto codes = [](const JpegSymbols::Table &table) {
        std::map<int, quint32> code;
        quint32 next = 0;
        for (size_t l = 0, i = 0; l < table.counts.size(); ++l, next <<= 1)
            for (int n = 0; n < table.counts[l]; ++n)
                code[table.symbols[i++]] = next++;
        return code;
    };
    auto tableBody = [](int slot, const JpegSymbols::Table &table) {
        QByteArray body(17, 0);
        body[0] = char(slot);
        for (size_t l = 0; l < table.counts.size(); ++l)
            body[qsizetype(l) + 1] = char(table.counts[l]);
        for (const int symbol : table.symbols)
            body += char(symbol);
        return body;
    };
    const int height = int(file.blocks.size()) * 8;
    QByteArray out = QByteArray::fromHex("ffd8") + jpegSegment(0xdb, QByteArray(1, 0) + QByteArray(64, 1)) +
                     jpegSegment(0xc0, QByteArray(1, 8) + char(height >> 8) + char(height) +
                                           QByteArray::fromHex("000801011100")) +
                     jpegSegment(0xc4, tableBody(0x00, file.dc) + tableBody(0x10, file.ac));
    if (file.restartBlocks)
        out += jpegSegment(0xdd, QByteArray(1, char(file.restartBlocks >> 8)) + char(file.restartBlocks));
    out += jpegSegment(0xda, QByteArray::fromHex("010100003f00"));
    const std::map<int, quint32> dc = codes(file.dc), ac = codes(file.ac);
    JpegBits data;
    for (size_t b = 0; b < file.blocks.size(); ++b) {
        if (b && file.restartBlocks && b % size_t(file.restartBlocks) == 0) {
            data.pad();
            data.data += char(0xff) + QByteArray(1, char(0xd0 + (b / size_t(file.restartBlocks) - 1) % 8));
        }
        const JpegSymbols::Block &block = file.blocks[b];
        const int size = magnitudeBits(block.dc);
        data.put(dc.at(size), file.dc.length(size));
        data.put(valueBits(block.dc, size), size);
        for (const auto &[symbol, value] : block.ac) {
            data.put(ac.at(symbol), file.ac.length(symbol));
            data.put(valueBits(value, symbol & 15), symbol & 15);
        }
    }
    data.pad();
    return out + data.data + QByteArray::fromHex("ffd9");
}

QByteArray flatProgressive(int width, int height, int components, bool acOnly, bool withData)
{
    auto segment = jpegSegment;
    QByteArray file = QByteArray::fromHex("ffd8") + segment(0xdb, QByteArray(1, 0) + QByteArray(64, 1));
    QByteArray frame = QByteArray(1, 8) + char(height >> 8) + char(height) + char(width >> 8) + char(width) +
                       char(components);
    for (int c = 1; c <= components; ++c)
        frame += QByteArray(1, char(c)) + '\x11' + '\0';
    file += segment(0xc2, frame);
    // DC: the one difference 0, coded "0". AC: end-of-band runs of 2^r to
    // 2^(r+1) - 1 blocks, r from 0 to 14, coded in r + 1 bits, and r bits
    // more.
    QByteArray acBits(16, 0), runs;
    for (int r = 0; r <= 14; ++r) {
        acBits[r] = 1;
        runs += char(r << 4);
    }
    file += segment(0xc4, QByteArray::fromHex("0001") + QByteArray(15, 0) + QByteArray(1, 0));
    file += segment(0xc4, QByteArray(1, 0x10) + acBits + runs);
    const long blocks = long((width + 7) / 8) * ((height + 7) / 8);
    auto scan = [&](int c, int Ss, int Se, int Ah, int Al) {
        file += segment(0xda, QByteArray(1, 1) + char(c) + '\0' + char(Ss) + char(Se) + char(Ah << 4 | Al));
        if (!withData)
            return;
        JpegBits data;
        auto put = [&](quint32 value, int n) { data.put(value, n); };
        if (Ss == 0) {
            for (long b = 0; b < blocks; ++b)
                put(0, 1);   // a difference of 0, or a refinement bit of 0
        } else {
            for (long left = blocks; left > 0;) {
                int r = 0;
                while (r < 14 && (2L << r) <= left)
                    ++r;
                const long run = std::min(left, (2L << r) - 1);
                put((1u << (r + 1)) - 2, r + 1);   // r ones, then a zero
                put(quint32(run - (1L << r)), r);
                left -= run;
            }
        }
        data.pad();
        file += data.data;
    };
    for (int c = 1; c <= components; ++c) {
        if (acOnly) {
            scan(c, 1, 63, 0, 0);
            continue;
        }
        scan(c, 0, 0, 0, 13);
        for (int bit = 13; bit > 0; --bit)
            scan(c, 0, 0, bit, bit - 1);
        for (int k = 1; k < 64; ++k) {
            scan(c, k, k, 0, 13);
            for (int bit = 13; bit > 0; --bit)
                scan(c, k, k, bit, bit - 1);
        }
    }
    return file + QByteArray::fromHex("ffd9");
}

QByteArray jpegDeclaring(QByteArray jpeg, int width, int height)
{
    int sof = int(jpeg.indexOf(QByteArray::fromHex("ffc0")));
    if (sof < 0)
        sof = int(jpeg.indexOf(QByteArray::fromHex("ffc2")));   // progressive
    Q_ASSERT(sof > 0);
    jpeg[sof + 5] = char(height >> 8);
    jpeg[sof + 6] = char(height);
    jpeg[sof + 7] = char(width >> 8);
    jpeg[sof + 8] = char(width);
    return jpeg;
}

QByteArray pngWritten(int width, int height, int bitDepth, int colourType, const QByteArray &rows,
                      bool interlaced, bool transparency, bool libpngDefaults)
{
    QByteArray out;
    std::vector<png_color> palette;
    std::vector<png_byte> alphas;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)))
        qFatal("cannot write a test PNG");
    png_set_write_fn(
        png, &out,
        [](png_structp p, png_bytep data, size_t n) {
            static_cast<QByteArray *>(png_get_io_ptr(p))->append(reinterpret_cast<const char *>(data), qsizetype(n));
        },
        nullptr);
    if (!libpngDefaults) {
        png_set_compression_level(png, 0);   // test data is random: storing it is quickest
        png_set_filter(png, 0, PNG_FILTER_NONE);
    }
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), bitDepth, colourType,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (colourType == PNG_COLOR_TYPE_PALETTE) {
        for (int i = 0; i < (1 << bitDepth); ++i) {
            palette.push_back({png_byte(i * 37), png_byte(255 - i * 11), png_byte(i * 5 + 3)});
            alphas.push_back(png_byte(i * 90));
        }
        png_set_PLTE(png, info, palette.data(), int(palette.size()));
        if (transparency)
            png_set_tRNS(png, info, alphas.data(), int(alphas.size() + 1) / 2, nullptr);
    } else if (transparency) {
        png_color_16 colour{0, 1, 1, 0, 1};   // index, red, green, blue, gray
        png_set_tRNS(png, info, nullptr, 0, &colour);
    }
    png_write_info(png, info);
    const int passes = png_set_interlace_handling(png);
    const qsizetype stride = rows.size() / height;
    for (int pass = 0; pass < passes; ++pass)
        for (int y = 0; y < height; ++y)
            png_write_row(png, reinterpret_cast<png_const_bytep>(rows.constData() + y * stride));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

namespace {

// Random raw samples for a PNG: as many bytes a row as the depth and colour
// type take.
QByteArray pngSamples(int width, int height, int bitDepth, int colourType)
{
    static const int channels[] = {1, 0, 3, 1, 2, 0, 4};
    cv::Mat samples(height, (width * channels[colourType] * bitDepth + 7) / 8, CV_8UC1);
    cv::randu(samples, 0, 256);
    return QByteArray(reinterpret_cast<const char *>(samples.data), qsizetype(samples.total()));
}

// The PNG with a chunk put after its header, or before its end.
QByteArray withChunk(const QByteArray &png, const QByteArray &chunk, bool atEnd = false)
{
    return atEnd ? png.left(png.size() - 12) + chunk + png.right(12) : png.left(33) + chunk + png.mid(33);
}

} // namespace

std::vector<std::pair<QByteArray, QByteArray>> readerCases(int w, int h)
{
    std::vector<std::pair<QByteArray, QByteArray>> cases;
    auto add = [&cases](const QByteArray &name, const QByteArray &bytes) { cases.emplace_back(name, bytes); };
    const cv::Mat photo = photoLike(w, h, unsigned(w));
    cv::Mat gray, cmyk(photo.size(), CV_8UC4);
    cv::cvtColor(photo, gray, cv::COLOR_BGR2GRAY);
    cv::randu(cmyk, 0, 256);

    const QByteArray jpeg = jpegFile(photo);
    add("jpeg 4:2:0", jpeg);
    add("jpeg 4:4:4", jpegFile(photo, {1, 1}));
    add("jpeg 4:2:2", jpegFile(photo, {2, 1}));
    add("jpeg 4:4:0", jpegFile(photo, {1, 2}));
    add("jpeg 4:1:1", jpegFile(photo, {4, 1}));
    add("jpeg gray", jpegFile(gray));
    const QByteArray progressive = jpegFile(photo, {2, 2, true});
    add("jpeg progressive", progressive);
    add("jpeg with restart markers", jpegFile(photo, {2, 2, false, 1}));
    add("jpeg cmyk", jpegFile(cmyk, {1, 1}));
    add("jpeg ycck", jpegFile(cmyk, {2, 2, false, 0, true}));
    add("jpeg cut halfway", jpeg.left(jpeg.size() / 2));
    add("jpeg progressive cut halfway", progressive.left(progressive.size() / 2));
    JpegOptions arithmetic;
    arithmetic.arithmetic = true;
    add("jpeg arithmetic", jpegFile(photo, arithmetic));
    arithmetic.progressive = true;
    add("jpeg arithmetic progressive", jpegFile(photo, arithmetic));
    for (int orientation = 1; orientation <= 8; ++orientation)
        add("jpeg exif orientation " + QByteArray::number(orientation), withExifOrientation(jpeg, orientation));

    const struct { int colour, depth; } kinds[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
                                                  {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};
    for (const auto &kind : kinds) {
        const QByteArray samples = pngSamples(w, h, kind.depth, kind.colour);
        const QByteArray name =
            "png colour type " + QByteArray::number(kind.colour) + ", " + QByteArray::number(kind.depth) + "-bit";
        add(name, pngWritten(w, h, kind.depth, kind.colour, samples));
        add(name + ", interlaced", pngWritten(w, h, kind.depth, kind.colour, samples, true));
        if (kind.colour < 4)
            add(name + ", tRNS", pngWritten(w, h, kind.depth, kind.colour, samples, false, true));
        // Every filter in turn, deflated.
        const QByteArray palette = kind.colour == 3 ? pngPalette(kind.depth) : QByteArray();
        for (const bool interlaced : {false, true})
            add(name + (interlaced ? ", interlaced" : "") + ", every filter",
                pngFile(w, h, kind.depth, kind.colour, pngFiltered(w, h, kind.depth, kind.colour, samples, interlaced),
                        palette, interlaced));
        // Paeth alone, unfiltered four rows at a time.
        add(name + ", Paeth rows",
            pngFile(w, h, kind.depth, kind.colour, pngFiltered(w, h, kind.depth, kind.colour, samples, false, 4), palette));
    }
    // A photo, whose deflated data refer back.
    const QByteArray rgb(reinterpret_cast<const char *>(photo.data), qsizetype(photo.total() * 3));
    add("png photo, every filter", pngFile(w, h, 8, 2, pngFiltered(w, h, 8, 2, rgb)));
    const QByteArray png = pngWritten(w, h, 8, 2, pngSamples(w, h, 8, 2));
    const QByteArray interlaced = pngWritten(w, h, 8, 2, pngSamples(w, h, 8, 2), true);
    for (int orientation = 1; orientation <= 8; ++orientation) {
        const QByteArray exif = pngChunk("eXIf", exifBlock(orientation));
        const QByteArray name = "png exif orientation " + QByteArray::number(orientation);
        add(name, withChunk(png, exif));
        add(name + ", interlaced", withChunk(interlaced, exif));
        add(name + ", after the pixels", withChunk(png, exif, true));
    }
    return cases;
}

QByteArray exifBlock(bool intel, const std::vector<ExifEntry> &entries, quint32 directory)
{
    QByteArray bytes;
    auto put = [&bytes, intel](quint32 value, int size) {
        for (int i = 0; i < size; ++i)
            bytes += char(value >> (intel ? 8 * i : 8 * (size - 1 - i)));
    };
    bytes += intel ? "II" : "MM";
    put(0x2a, 2);
    put(directory, 4);
    put(quint32(entries.size()), 2);
    for (const ExifEntry &e : entries) {
        put(e.tag, 2);
        put(e.type, 2);
        put(e.count, 4);
        put(e.type == 3 ? e.value << (intel ? 0 : 16) : e.value, 4);
    }
    put(0, 4);   // no next directory
    return bytes;
}

QByteArray exifBlock(int orientation)
{
    return exifBlock(true, {{0x0112, 3, 1, quint32(orientation)}});
}

QByteArray withExifOrientation(const QByteArray &jpeg, int orientation)
{
    const QByteArray payload = QByteArray("Exif", 4) + QByteArray(2, '\0') + exifBlock(orientation);
    const int length = int(payload.size()) + 2;
    QByteArray segment = QByteArray::fromHex("ffe1");
    segment += char(length >> 8);
    segment += char(length & 0xff);
    return jpeg.left(2) + segment + payload + jpeg.mid(2);
}

QByteArray probeFile(const std::vector<QByteArray> &blocks, bool png, bool afterPixels)
{
    // 8 x 8 blocks whose four corners have the levels 0 (top left), 80
    // (top right), 160 (bottom left) and 240.
    cv::Mat gray(16, 24, CV_8UC1, cv::Scalar(120));
    gray(cv::Rect(0, 0, 8, 8)).setTo(0);
    gray(cv::Rect(16, 0, 8, 8)).setTo(80);
    gray(cv::Rect(0, 8, 8, 8)).setTo(160);
    gray(cv::Rect(16, 8, 8, 8)).setTo(240);
    const QByteArray base = encoded(png ? ".png" : ".jpg", gray, {cv::IMWRITE_JPEG_QUALITY, 100});
    QByteArray inserted;
    for (const QByteArray &block : blocks)
        inserted += png ? pngChunk("eXIf", block)
                        : QByteArray::fromHex("ffe1") + char((block.size() + 2) >> 8) + char(block.size() + 2) + block;
    // After the start marker, or the PNG header; or before the PNG's end.
    const qsizetype at = !png ? 2 : afterPixels ? base.size() - 12 : 8 + 25;
    return base.left(at) + inserted + base.mid(at);
}

int probeOrientation(const std::vector<QByteArray> &blocks, bool png, bool afterPixels)
{
    const QByteArray file = probeFile(blocks, png, afterPixels);
    const cv::Mat decoded = cv::imdecode(std::vector<uchar>(file.begin(), file.end()), cv::IMREAD_COLOR);
    const bool transposed = decoded.cols == 16 && decoded.rows == 24;
    if (!transposed && !(decoded.cols == 24 && decoded.rows == 16))
        return 0;
    const int corner = (decoded.at<cv::Vec3b>(0, 0)[0] + 40) / 80;   // 0 TL, 1 TR, 2 BL, 3 BR
    static const int upright[] = {1, 2, 4, 3};
    static const int turned[] = {5, 8, 6, 7};
    return transposed ? turned[corner] : upright[corner];
}

QString writeHeic(const QString &path, const cv::Mat &bgr, bool av1)
{
    try {
        heif::Image image;
        image.create(bgr.cols, bgr.rows, heif_colorspace_RGB, heif_chroma_interleaved_RGB);
        image.add_plane(heif_channel_interleaved, bgr.cols, bgr.rows, 8);
        int stride = 0;
        uint8_t *plane = image.get_plane(heif_channel_interleaved, &stride);
        cv::Mat rgb(bgr.rows, bgr.cols, CV_8UC3, plane, size_t(stride));
        cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
        heif::Encoder encoder(av1 ? heif_compression_AV1 : heif_compression_HEVC);
        encoder.set_lossy_quality(90);
        heif::Context context;
        context.encode_image(image, encoder);
        context.write_to_file(QFile::encodeName(path).toStdString());
        return path;
    } catch (const heif::Error &) {
        return {};   // no encoder for the format in this libheif
    }
}

cv::Mat decodeHeic(const QString &path)
{
    try {
        heif::Context context;
        context.read_from_file(QFile::encodeName(path).toStdString());
        const heif::Image image = context.get_primary_image_handle().decode_image(heif_colorspace_RGB,
                                                                                  heif_chroma_interleaved_RGB);
        int stride = 0;
        const uint8_t *plane = image.get_plane(heif_channel_interleaved, &stride);
        const cv::Mat rgb(image.get_height(heif_channel_interleaved), image.get_width(heif_channel_interleaved),
                          CV_8UC3, const_cast<uint8_t *>(plane), size_t(stride));
        cv::Mat bgr;
        cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
        return bgr;
    } catch (const heif::Error &) {
        return {};
    }
}

QByteArray encoded(const char *extension, const cv::Mat &image, const std::vector<int> &params)
{
    std::vector<uchar> bytes;
    if (!cv::imencode(extension, image, bytes, params))
        qFatal("cannot encode a test picture as %s", extension);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}

MainWindow *fuzzWindow(char *program, const std::function<void(const QString &)> &makeSeeds, QString &inputPath)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char *argv[] = {program, nullptr};
    new QApplication(argc, argv);   // lives for the whole run
    if (qEnvironmentVariableIsSet("SIXFOLD_MAKE_SEEDS")) {
        makeSeeds(qEnvironmentVariable("SIXFOLD_MAKE_SEEDS"));
        std::exit(0);
    }
    static QTemporaryDir dir;
    inputPath = dir.filePath("input");
    return new MainWindow;
}

cv::Mat withChannels(const cv::Mat &bgr, int channels)
{
    if (channels == 3)
        return bgr;
    cv::Mat other;
    cv::cvtColor(bgr, other, channels == 1 ? cv::COLOR_BGR2GRAY : cv::COLOR_BGR2BGRA);
    return other;
}

cv::Mat photoLike(int width, int height, unsigned seed)
{
    cv::Mat image(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y) {
        auto *p = image.ptr<cv::Vec3b>(y);
        for (int x = 0; x < width; ++x) {
            p[x] = cv::Vec3b(uchar(255 * x / std::max(1, width - 1)),
                             uchar(255 * y / std::max(1, height - 1)),
                             uchar(128 + 100 * std::sin((x + 2 * y) * 0.02 + seed)));
        }
    }
    const int r = std::max(1, std::min(width, height) / 5);
    cv::circle(image, cv::Point(width / 3, height / 2), r, cv::Scalar(30, 200, 90), cv::FILLED);
    cv::rectangle(image, cv::Rect(width / 2, height / 4, std::max(1, width / 4), std::max(1, height / 3)),
                  cv::Scalar(220, 40, 160), cv::FILLED);
    cv::RNG rng(seed);
    cv::Mat noise16(height, width, CV_16SC3);
    rng.fill(noise16, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar::all(12));
    cv::Mat image16;
    image.convertTo(image16, CV_16SC3);
    image16 += noise16;
    image16.convertTo(image, CV_8UC3);
    return image;
}

} // namespace support
