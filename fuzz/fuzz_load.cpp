// libFuzzer target: arbitrary bytes, saved as a file, through the window's
// own load path (read, the six views, the panel copy, pixmaps and scenes),
// followed by one redraw of the Gaussian view.
//
// With SIXFOLD_MAKE_SEEDS=DIR set, it instead writes a small picture in each
// format OpenCV reads into DIR and exits, as a starting corpus.

#include "mainwindow.h"
#include "mainwindow_form.h"
#include "support.h"

#include <QDir>
#include <QFile>
#include <QSpinBox>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <cstdlib>

namespace {

// The decoders are not instrumented, so the fuzzer would see every decoded
// picture as the same path and keep just one. These counters tell it which
// format the bytes start like, whether they loaded, and their rough length.
__attribute__((section("__libfuzzer_extra_counters"))) uint8_t outcomes[64 * 2 * 16];

void noteOutcome(const uint8_t *data, size_t size, bool loaded)
{
    const unsigned format = size >= 2 ? (data[0] * 31u + data[1]) % 64 : 0;
    unsigned length = 0;
    while (length < 15 && (size_t(1) << length) < size)
        ++length;
    ++outcomes[(format * 2 + loaded) * 16 + length];
}

MainWindow *window = nullptr;
QString inputPath;
int redraws = 0;

void makeSeeds(const QString &dir)
{
    QDir().mkpath(dir);
    const cv::Mat photo = support::photoLike(24, 16, 3);
    cv::Mat gray;
    cv::cvtColor(photo, gray, cv::COLOR_BGR2GRAY);
    const char *colour[] = {".png", ".jpg", ".bmp", ".tiff", ".webp", ".ppm", ".pam", ".ras", ".hdr", ".jp2", ".exr"};
    for (const char *extension : colour) {
        try {
            cv::imwrite((dir + "/seed" + extension).toStdString(), photo);
        } catch (const cv::Exception &) {
            // a format this build of OpenCV cannot write
        }
    }
    cv::imwrite((dir + "/seed.pgm").toStdString(), gray);
    cv::imwrite((dir + "/seed.pbm").toStdString(), gray);
    support::writeBytes(dir + "/progressive.jpg",
                        support::encoded(".jpg", photo, {cv::IMWRITE_JPEG_PROGRESSIVE, 1}));
    support::writeBytes(dir + "/exif.jpg", support::withExifOrientation(support::encoded(".jpg", photo), 6));
    support::writeHeic(dir + "/seed.heic", photo);
    cv::Mat cmyk(16, 24, CV_8UC4, cv::Scalar(10, 200, 30, 90));
    support::writeBytes(dir + "/cmyk.jpg", support::jpegFile(cmyk, {1, 1}));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    window = support::fuzzWindow((*argv)[0], makeSeeds, inputPath);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QFile file(inputPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();
    const bool loaded = window->openImage(inputPath);
    if (loaded)
        window->form().spinBox->setValue(3 + 2 * (++redraws % 17));
    noteOutcome(data, size, loaded);
    return 0;
}
