// Load speed and memory on big photos, against the cost of decoding them.
//
// Makes a 6000 x 4000 photo-like picture, saves it as JPEG (quality 92) and
// PNG, and measures in alternating runs:
//   (a) cv::imread of the file alone;
//   (b) the whole load as the window performs it, without the dialog;
//   (c) the average-gray pass against a plain clone() of the decoded picture;
//   (d) peak resident memory during (b) above the idle program, against the
//       size of the decoded picture.
// Times are process CPU times (all threads); medians are reported.

#include "imageops.h"
#include "mainwindow.h"
#include "support.h"

#include <QApplication>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

double cpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double timed(const std::function<void()> &work)
{
    const double start = cpuMs();
    work();
    return cpuMs() - start;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Resident set size and its high-water mark, in bytes.
long statusBytes(const char *field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(line.find(':') + 1)) * 1024;
    return -1;
}

void resetPeak()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

const char *verdict(double value, double goal)
{
    return value <= goal ? "met" : "MISSED";
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;

    QTemporaryDir dir;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("making a 6000 x 4000 photo-like picture...\n");
    const cv::Mat photo = support::photoLike(6000, 4000, 11);
    const std::string jpeg = dir.filePath("photo.jpg").toStdString();
    const std::string png = dir.filePath("photo.png").toStdString();
    cv::imwrite(jpeg, photo, {cv::IMWRITE_JPEG_QUALITY, 92});
    cv::imwrite(png, photo);
    const double decodedMb = photo.total() * photo.elemSize() / 1048576.0;

    MainWindow window;
    struct Row { const char *name; std::string path; std::vector<double> read, load, peak; };
    std::vector<Row> rows = {{"JPEG", jpeg, {}, {}, {}}, {"PNG", png, {}, {}, {}}};
    std::vector<double> pass, clone;

    for (int round = 0; round < rounds; ++round) {
        for (Row &row : rows) {
            row.read.push_back(timed([&] { cv::imread(row.path, cv::IMREAD_COLOR); }));
            resetPeak();
            const long idle = statusBytes("VmRSS:");
            const QString path = QString::fromStdString(row.path);
            row.load.push_back(timed([&] { window.openImage(path); }));
            row.peak.push_back((statusBytes("VmHWM:") - idle) / 1048576.0);
        }
        cv::Mat copy;
        clone.push_back(timed([&] { copy = photo.clone(); }));
        pass.push_back(timed([&] { sixfold::averageGrayInPlace(copy); }));
        std::fprintf(stderr, "round %d of %d done\n", round + 1, rounds);
    }

    std::printf("\n%d rounds, medians of process CPU time; decoded picture %.1f MB\n\n", rounds, decodedMb);
    std::printf("| measure | value | goal | |\n|---|---|---|---|\n");
    for (const Row &row : rows) {
        const double a = median(row.read), b = median(row.load);
        const double goal = row.name == std::string("JPEG") ? 1.25 : 1.10;
        std::printf("| %s: (a) read %.0f ms, (b) load %.0f ms | b/a %.2f | <= %.2f | %s |\n",
                    row.name, a, b, b / a, goal, verdict(b / a, goal));
    }
    const double c = median(pass) / median(clone);
    std::printf("| (c) average gray %.1f ms, clone %.1f ms | %.2f x | <= 1.50 x | %s |\n",
                median(pass), median(clone), c, verdict(c, 1.5));
    for (const Row &row : rows) {
        const double d = *std::max_element(row.peak.begin(), row.peak.end()) / decodedMb;
        std::printf("| (d) peak memory of a %s load %.0f MB | %.2f x | <= 2.05 x | %s |\n",
                    row.name, *std::max_element(row.peak.begin(), row.peak.end()), d, verdict(d, 2.05));
    }
    return 0;
}
