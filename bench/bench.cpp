// Load speed and memory on big photos, against the cost of decoding them.
//
// Makes photo-like pictures of 6000 x 4000 (saved as JPEG, quality 92,
// baseline and progressive, and PNG), 4000 x 3000 (a phone photo's size,
// JPEG baseline and progressive) and 16320 x 12240 (JPEG), softened as a
// camera's noise reduction does (Gaussian, sigma 1 pixel): about 1.4 bits
// a pixel as JPEG, as a 200 MP phone photo of some 34 MB. Progressive files
// are OpenCV's (libjpeg's own script). The unsoftened
// 6000 x 4000 JPEG (3.4 bits a pixel) is measured too, and the 200 MP one
// with a restart marker every MCU row, as some cameras write. In
// alternating runs:
//   (a) cv::imread of the file alone;
//   (b) the whole load as the window performs it, without the dialog;
//   (c) the average-gray pass against a plain clone() of the 6000 x 4000
//       decoded picture;
//   (d) peak resident memory during (b) above the idle program, against the
//       size of the decoded picture;
//   (e) a 629-byte JPEG, baseline and progressive, declaring 30000 x 30000
//       pixels, its data cut short, loaded by a program of its own: CPU time
//       and peak resident memory of that whole program; and progressive
//       files of a hundred-odd bytes, gray and YCbCr, of AC scans alone,
//       declaring 32768 x 32768: CPU time and peak memory above the idle
//       program;
//       and small flat progressive files cv::imread reads at length (AC
//       scans alone declaring a gigapixel, hundreds of scans without
//       data or of flat data): CPU time and peak memory above the idle
//       program;
//   (f) PNG files whose data can never fill their picture, loaded the same
//       way: one declaring a 2 GB text chunk in 57 bytes, and one declaring
//       10^6 x 10^6 one-bit pixels with 2 MB of image data that inflate to
//       2 GB of zero rows: CPU time and peak memory above the idle program;
//       and a sparse file of 1 GB holding a PNG header and nothing else;
//       and a tiny arithmetic-coded JPEG declaring 40000 x 40000, against
//       the whole program's memory;
//   (g) the first load of the 24 MP JPEG with EXIF orientation 6 in a fresh
//       program, against (a) of that file, and whether it loaded OpenCV's
//       codecs module (it must not);
//   (h) libjpeg's entropy decoding alone (skipping every row but the
//       last), the floor of any exact load, against (b): of the 24 MP JPEG,
//       baseline and progressive, and of the 12 MP one;
//   (i) ISA-L's inflate of a PNG's image data alone, the floor of any exact
//       load, against (b), for the PNG rows: the 24 MP photo, a 5120 x 2880
//       RGBA wallpaper written with libpng's default filters, and a
//       screenshot-like palette PNG;
//   (j) where feh is installed, the load in a fresh program against feh's
//       (its CPU from its exit, less its start on a tiny file), least of
//       the rounds, for the JPEG and PNG rows.
// Times are process CPU times (all threads); medians are reported.
//
//   sixfold-bench [ROUNDS]
//   sixfold-bench --load FILE   one load in a fresh window; prints its CPU
//                               milliseconds, the program's peak MB and its
//                               resident MB before the load
//   sixfold-bench --warm FILE   nine loads in one window; prints the median
//                               of their CPU milliseconds

#include "imageops.h"
#include "mainwindow.h"
#include "support.h"

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <zlib.h>

#ifdef SIXFOLD_ISAL
#include <isa-l/igzip_lib.h>
#endif

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
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

// The goal and verdict columns of a table row: blank where there is no
// goal (0).
std::string against(double value, double goal, const char *unit = "")
{
    if (goal <= 0)
        return " | ";
    char text[64];
    std::snprintf(text, sizeof text, "<= %.2f%s | %s", goal, unit, verdict(value, goal));
    return text;
}

// Whether this process has loaded OpenCV's codecs module.
bool codecsLoaded()
{
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);)
        if (line.find("sixfold-codecs.so") != std::string::npos)
            return true;
    return false;
}

// Runs this program on the file in --load mode: its CPU milliseconds, peak
// resident megabytes, resident megabytes before the load and whether it
// loaded the codecs module.
std::tuple<double, double, double, bool> loadAlone(const QString &file)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {"--load", file});
    child.waitForFinished(-1);
    double cpu = 0, peak = 0, idle = 0;
    int codecs = 0;
    // The last line: a refused file prints the failure line first.
    const QByteArray out = child.readAllStandardOutput().trimmed();
    std::sscanf(out.mid(out.lastIndexOf('\n') + 1).constData(), "%lf %lf %lf %d", &cpu, &peak, &idle, &codecs);
    return {cpu, peak, idle, codecs != 0};
}

// A zlib stream of `blocks` times 16 MB of zeros, made from one block's
// compressed form: after a full flush each block is compressed alike.
QByteArray zeros(int blocks)
{
    z_stream z{};
    deflateInit(&z, 9);
    std::vector<Bytef> in(1 << 24), out(1 << 16);
    QByteArray first, next;
    for (QByteArray *block : {&first, &next}) {
        z.next_in = in.data();
        z.avail_in = uInt(in.size());
        do {
            z.next_out = out.data();
            z.avail_out = uInt(out.size());
            deflate(&z, Z_FULL_FLUSH);
            block->append(reinterpret_cast<const char *>(out.data()), qsizetype(out.size() - z.avail_out));
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    QByteArray stream = first;
    for (int i = 1; i < blocks; ++i)
        stream += next;
    return stream;
}

// libjpeg's entropy decoding of a whole JPEG, with no inverse DCT: skipping
// to the last row, then reading it.
void entropyPass(const std::string &path)
{
    support::LibjpegHeader header(path.c_str());
    jpeg_decompress_struct &info = header.info;
    info.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&info);
    std::vector<unsigned char> row(size_t(info.output_width) * 3);
    JSAMPROW rowPointer = row.data();
    jpeg_skip_scanlines(&info, info.output_height - 1);
    jpeg_read_scanlines(&info, &rowPointer, 1);
    jpeg_finish_decompress(&info);
}

#ifdef SIXFOLD_ISAL
// The image data of a PNG: its IDAT chunks' data, one after another.
std::vector<unsigned char> imageData(const std::string &path)
{
    QFile file(QString::fromStdString(path));
    file.open(QIODevice::ReadOnly);
    const QByteArray bytes = file.readAll();
    std::vector<unsigned char> data;
    for (qsizetype at = 8; at + 12 <= bytes.size();) {
        const qsizetype length = qsizetype(uchar(bytes[at]) << 24 | uchar(bytes[at + 1]) << 16 | uchar(bytes[at + 2]) << 8
                                           | uchar(bytes[at + 3]));
        if (bytes.mid(at + 4, 4) == "IDAT")
            data.insert(data.end(), bytes.begin() + at + 8, bytes.begin() + at + 8 + length);
        at += 12 + length;
    }
    return data;
}

// ISA-L's inflate of such data alone, into 64 KB at a time: the floor of any
// exact load.
void inflateAlone(std::vector<unsigned char> &data)
{
    inflate_state state;
    isal_inflate_init(&state);
    state.crc_flag = ISAL_ZLIB;
    state.next_in = data.data();
    state.avail_in = uint32_t(data.size());
    std::vector<unsigned char> out(65536);
    do {
        state.next_out = out.data();
        state.avail_out = uint32_t(out.size());
    } while (isal_inflate(&state) == ISAL_DECOMP_OK && state.block_state != ISAL_BLOCK_FINISH);
}
#endif

// The CPU milliseconds of a program's run, as its end reports them.
double runCpuMs(const std::vector<std::string> &arguments)
{
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char *> argv;
        for (const std::string &a : arguments)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
           + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

struct Row {
    const char *name;
    std::string path;
    double decodedMb;
    double speedGoal;
    double memoryGoal;   // 0: not measured against a goal
    std::vector<double> read, load, peak;
};

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc == 3 && std::string(argv[1]) == "--warm") {
        MainWindow window;
        std::vector<double> loads;
        for (int i = 0; i < 9; ++i)
            loads.push_back(timed([&] { window.openImage(QString::fromLocal8Bit(argv[2])); }));
        std::printf("%.1f\n", median(loads));
        return 0;
    }
    if (argc == 3 && std::string(argv[1]) == "--load") {
        MainWindow window;
        const double idle = statusBytes("VmRSS:") / 1048576.0;
        const double cpu = timed([&] { window.openImage(QString::fromLocal8Bit(argv[2])); });
        std::printf("%.1f %.1f %.1f %d\n", cpu, statusBytes("VmHWM:") / 1048576.0, idle, int(codecsLoaded()));
        return 0;
    }
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;

    QTemporaryDir dir;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::vector<Row> rows;
    const cv::Mat photo = support::photoLike(6000, 4000, 11);
    const double photoMb = photo.total() * photo.elemSize() / 1048576.0;
    {
        std::printf("making the pictures...\n");
        auto path = [&dir](const char *name) { return dir.filePath(name).toStdString(); };
        auto softened = [](const cv::Mat &picture) {
            cv::Mat soft;
            cv::GaussianBlur(picture, soft, cv::Size(0, 0), 1.0);
            return soft;
        };
        const std::vector<int> quality = {cv::IMWRITE_JPEG_QUALITY, 92};
        const cv::Mat soft = softened(photo);
        cv::imwrite(path("photo.jpg"), soft, quality);
        QFile photoJpeg(QString::fromStdString(path("photo.jpg")));
        photoJpeg.open(QIODevice::ReadOnly);
        support::writeBytes(QString::fromStdString(path("photo-exif.jpg")),
                            support::withExifOrientation(photoJpeg.readAll(), 6));
        cv::imwrite(path("dense.jpg"), photo, quality);
        cv::imwrite(path("photo.png"), soft);
        const std::vector<int> progressive = {cv::IMWRITE_JPEG_QUALITY, 92, cv::IMWRITE_JPEG_PROGRESSIVE, 1};
        cv::imwrite(path("progressive.jpg"), soft, progressive);
        const cv::Mat phone = softened(support::photoLike(4000, 3000, 13));
        cv::imwrite(path("phone.jpg"), phone, quality);
        cv::imwrite(path("phone-progressive.jpg"), phone, progressive);
        const double phoneMb = phone.total() * phone.elemSize() / 1048576.0;
        const cv::Mat huge = softened(support::photoLike(16320, 12240, 12));
        cv::imwrite(path("big.jpg"), huge, quality);
        cv::imwrite(path("big-restarts.jpg"), huge,
                    {cv::IMWRITE_JPEG_QUALITY, 92, cv::IMWRITE_JPEG_RST_INTERVAL, huge.cols / 16});
        const double hugeMb = huge.total() * huge.elemSize() / 1048576.0;
        // A wallpaper: a softened photo with alpha, as libpng writes it by
        // default (most rows Paeth); and a screenshot: flat panels, lines
        // and text-like specks in a palette of 64 colours.
        cv::Mat wallpaper = softened(support::photoLike(5120, 2880, 14)), rgba;
        cv::cvtColor(wallpaper, rgba, cv::COLOR_BGR2RGBA);
        support::writeBytes(QString::fromStdString(path("wallpaper.png")),
                            support::pngWritten(5120, 2880, 8, 6, QByteArray(reinterpret_cast<const char *>(rgba.data),
                                                                             qsizetype(rgba.total() * 4)),
                                                false, false, true));
        cv::Mat screen(1440, 2560, CV_8UC1, cv::Scalar(3));
        cv::RNG rng(15);
        for (int i = 0; i < 400; ++i)
            cv::rectangle(screen, cv::Rect(rng.uniform(0, 2400), rng.uniform(0, 1300), rng.uniform(20, 600),
                                           rng.uniform(8, 300)), cv::Scalar(rng.uniform(0, 64)), cv::FILLED);
        for (int i = 0; i < 60000; ++i)
            screen.at<uchar>(rng.uniform(0, 1440), rng.uniform(0, 2560)) = uchar(rng.uniform(0, 64));
        support::writeBytes(QString::fromStdString(path("screenshot.png")),
                            support::pngWritten(2560, 1440, 8, 3, QByteArray(reinterpret_cast<const char *>(screen.data),
                                                                             qsizetype(screen.total())),
                                                false, false, true));
        rows = {{"24 MP JPEG", path("photo.jpg"), photoMb, 0.60, 0.15, {}, {}, {}},
                {"24 MP JPEG unsoftened", path("dense.jpg"), photoMb, 0, 0, {}, {}, {}},
                {"24 MP PNG", path("photo.png"), photoMb, 0.40, 0.12, {}, {}, {}},
                // Their panel's rows alone take 13% and 27% of the picture.
                {"5120 x 2880 RGBA PNG, libpng's filters", path("wallpaper.png"), 5120 * 2880 * 3 / 1048576.0, 0.40, 0,
                 {}, {}, {}},
                {"2560 x 1440 palette PNG, a screenshot", path("screenshot.png"), 2560 * 1440 * 3 / 1048576.0, 0, 0,
                 {}, {}, {}},
                {"24 MP progressive JPEG", path("progressive.jpg"), photoMb, 0.40, 0.25, {}, {}, {}},
                {"12 MP JPEG", path("phone.jpg"), phoneMb, 0, 0.15, {}, {}, {}},
                {"12 MP progressive JPEG", path("phone-progressive.jpg"), phoneMb, 0.50, 0.25, {}, {}, {}},
                {"200 MP JPEG", path("big.jpg"), hugeMb, 0.30, 0.05, {}, {}, {}},
                {"200 MP JPEG with restart markers", path("big-restarts.jpg"), hugeMb, 0, 0, {}, {}, {}}};
        for (const Row &row : rows)
            std::printf("%s: %.1f MB\n", row.name, double(std::filesystem::file_size(row.path)) / 1048576.0);
    }
    // The floods: JPEG, baseline and progressive, against the whole
    // program's memory; PNG against the memory above the idle program.
    struct Flood {
        std::string name;
        QString path;
        double cpuGoal, memoryGoal;
        bool aboveIdle;
        std::vector<double> cpu, peak;
    };
    std::vector<Flood> floods;
    for (const bool progressive : {false, true}) {
        const QByteArray small = support::encoded(".jpg", support::photoLike(64, 48, 3),
                                                  {cv::IMWRITE_JPEG_QUALITY, 92, cv::IMWRITE_JPEG_PROGRESSIVE,
                                                   progressive});
        const QString name = progressive ? "flood-progressive.jpg" : "flood.jpg";
        const QByteArray bytes = support::jpegDeclaring(small, 30000, 30000).left(629);
        floods.push_back({std::to_string(bytes.size()) + "-byte " + (progressive ? "progressive JPEG" : "JPEG") +
                              " declaring 30000 x 30000",
                          support::writeBytes(dir.filePath(name), bytes), 1, 200, false, {}, {}});
    }
    // AC scans alone, so that no block costs a bit, cut after a few bytes of
    // data: what libjpeg would decode into 2 GB of coefficients.
    for (const int channels : {1, 3}) {
        const QByteArray bytes =
            support::acScansDeclaring(support::withChannels(support::photoLike(64, 48, 5), channels), 32768, 32768);
        floods.push_back({std::to_string(bytes.size()) + "-byte progressive " + (channels == 1 ? "gray" : "YCbCr") +
                              " JPEG of AC scans declaring 32768 x 32768",
                          support::writeBytes(dir.filePath(channels == 1 ? "ac-gray.jpg" : "ac-ycbcr.jpg"), bytes),
                          1, 200, true, {}, {}});
    }
    // Small flat progressive files that cv::imread reads, at length: AC
    // scans alone declaring a gigapixel, and a scan for each bit of each
    // coefficient band (896 a component), their data left out or coded.
    struct Flat {
        const char *name;
        int width, height, components;
        bool acOnly, withData;
    };
    for (const Flat &f : {Flat{"gray, AC scans alone", 32768, 32767, 1, true, true},
                          Flat{"YCbCr 4:4:4, AC scans alone", 32768, 32767, 3, true, true},
                          Flat{"gray, 896 scans without data", 5792, 5792, 1, false, false},
                          Flat{"YCbCr, 2688 scans without data", 2416, 2416, 3, false, false},
                          Flat{"gray, 896 scans of flat data", 5792, 5792, 1, false, true},
                          Flat{"YCbCr, 2688 scans of flat data", 2416, 2416, 3, false, true}}) {
        const QByteArray bytes = support::flatProgressive(f.width, f.height, f.components, f.acOnly, f.withData);
        floods.push_back({std::to_string(bytes.size()) + "-byte progressive " + f.name + ", " +
                              std::to_string(f.width) + " x " + std::to_string(f.height),
                          support::writeBytes(dir.filePath(QString("flat%1.jpg").arg(floods.size())), bytes), 1, 200,
                          true, {}, {}});
    }
    const QByteArray bomb = support::pngHeader(64, 64) + QByteArray::fromHex("7ffffff0") + "iTXt" + "XML:com";
    floods.push_back({std::to_string(bomb.size()) + "-byte PNG declaring a 2 GB iTXt chunk",
                      support::writeBytes(dir.filePath("bomb.png"), bomb), 0.1, 10, true, {}, {}});
    const QByteArray flood = support::pngHeader(1000000, 1000000, 1, 0) + support::pngChunk("IDAT", zeros(128)) +
                             support::pngChunk("IEND", {});
    floods.push_back({"2 MB PNG declaring 10^6 x 10^6 one-bit pixels",
                      support::writeBytes(dir.filePath("flood.png"), flood), 0.1, 0, true, {}, {}});
    QFile sparse(support::writeBytes(dir.filePath("sparse.png"), support::pngHeader(64, 64)));
    sparse.resize(qint64(1) << 30);
    floods.push_back({"1 GB sparse PNG, a header before a hole", sparse.fileName(), 0.1, 10, true, {}, {}});
    support::JpegOptions arithmetic{1, 1, true};
    arithmetic.arithmetic = true;
    const QByteArray arithmeticBomb =
        support::jpegDeclaring(support::jpegFile(cv::Mat(48, 64, CV_8UC1, cv::Scalar(100)), arithmetic), 40000, 40000);
    floods.push_back({std::to_string(arithmeticBomb.size()) +
                          "-byte arithmetic-coded progressive gray JPEG declaring 40000 x 40000",
                      support::writeBytes(dir.filePath("arithmetic.jpg"), arithmeticBomb), 1, 200, false, {}, {}});

    const std::string exifPhoto = dir.filePath("photo-exif.jpg").toStdString();
    std::vector<double> exifRead, firstLoad;
    bool codecsLoadedFirst = false;

    MainWindow window;
    std::vector<double> pass, clone;
    // libjpeg's entropy pass of the files that (h) names, as rows gives them.
    auto rowNamed = [&rows](const char *name) {
        return size_t(std::find_if(rows.begin(), rows.end(), [name](const Row &r) { return std::string(r.name) == name; })
                      - rows.begin());
    };
    const std::vector<size_t> entropyRows = {rowNamed("24 MP JPEG"), rowNamed("24 MP progressive JPEG"),
                                             rowNamed("12 MP JPEG")};
    std::vector<std::vector<double>> entropy(entropyRows.size());
    // PNG rows against ISA-L's inflate of their data alone; every photo row
    // against feh's load of the same file (where feh is installed), both
    // in a fresh program, least of the rounds, start-ups left out.
    std::vector<size_t> pngRows, fehRows;
    for (size_t i = 0; i < rows.size(); ++i) {
        const std::string name = rows[i].name;
        if (name.find("PNG") != std::string::npos)
            pngRows.push_back(i);
        if (name.find("200 MP") == std::string::npos)
            fehRows.push_back(i);
    }
    std::vector<std::vector<double>> inflated(pngRows.size());
    const bool feh = !QStandardPaths::findExecutable("feh").isEmpty();
    const std::string tinyPng = dir.filePath("tiny.png").toStdString();
    cv::imwrite(tinyPng, cv::Mat(8, 8, CV_8UC3, cv::Scalar(1, 2, 3)));
    std::vector<double> fehStart;
    std::vector<std::vector<double>> fehLoad(rows.size()), aloneLoad(rows.size());
    for (int round = 0; round < rounds; ++round) {
        for (Row &row : rows) {
            row.read.push_back(timed([&] { cv::imread(row.path, cv::IMREAD_COLOR); }));
            resetPeak();
            const long idle = statusBytes("VmRSS:");
            const QString path = QString::fromStdString(row.path);
            row.load.push_back(timed([&] { window.openImage(path); }));
            row.peak.push_back((statusBytes("VmHWM:") - idle) / 1048576.0);
        }
        for (Flood &flood : floods) {
            const auto [cpu, peak, idle, codecs] = loadAlone(flood.path);
            flood.cpu.push_back(cpu);
            flood.peak.push_back(flood.aboveIdle ? peak - idle : peak);
        }
        for (size_t i = 0; i < entropyRows.size(); ++i)
            entropy[i].push_back(timed([&] { entropyPass(rows[entropyRows[i]].path); }));
#ifdef SIXFOLD_ISAL
        for (size_t i = 0; i < pngRows.size(); ++i) {
            std::vector<unsigned char> data = imageData(rows[pngRows[i]].path);
            inflated[i].push_back(timed([&] { inflateAlone(data); }));
        }
#endif
        if (feh) {
            fehStart.push_back(runCpuMs({"feh", "--loadable", tinyPng}));
            for (const size_t i : fehRows) {
                fehLoad[i].push_back(runCpuMs({"feh", "--loadable", rows[i].path}));
                aloneLoad[i].push_back(std::get<0>(loadAlone(QString::fromStdString(rows[i].path))));
            }
        }
        exifRead.push_back(timed([&] { cv::imread(exifPhoto, cv::IMREAD_COLOR); }));
        const auto [cpu, peak, idle, codecs] = loadAlone(QString::fromStdString(exifPhoto));
        firstLoad.push_back(cpu);
        codecsLoadedFirst |= codecs;
        cv::Mat copy;
        clone.push_back(timed([&] { copy = photo.clone(); }));
        pass.push_back(timed([&] { sixfold::averageGrayInPlace(copy); }));
        std::fprintf(stderr, "round %d of %d done\n", round + 1, rounds);
    }

    std::printf("\n%d rounds, medians of process CPU time\n\n", rounds);
    std::printf("| measure | value | goal | |\n|---|---|---|---|\n");
    for (const Row &row : rows) {
        const double a = median(row.read), b = median(row.load);
        std::printf("| %s: (a) imread %.0f ms, (b) load %.0f ms | b/a %.2f | %s |\n", row.name, a, b, b / a,
                    against(b / a, row.speedGoal).c_str());
    }
    const double g = median(firstLoad) / median(exifRead);
    std::printf("| (g) 24 MP JPEG with EXIF, first load in a fresh program: (a) imread %.0f ms, load %.0f ms, "
                "codecs module %s | %.2f | %s |\n", median(exifRead), median(firstLoad),
                codecsLoadedFirst ? "LOADED" : "not loaded", g,
                codecsLoadedFirst ? "<= 0.60, codecs not loaded | MISSED" : against(g, 0.60).c_str());
    // Passing over a 24 MP photo's blocks faster than libjpeg decodes them.
    const double aims[] = {0.90, 0, 1.15};
    for (size_t i = 0; i < entropyRows.size(); ++i) {
        const Row &row = rows[entropyRows[i]];
        const double h = median(row.load) / median(entropy[i]);
        std::printf("| (h) %s: (b) load %.0f ms, libjpeg's entropy pass alone %.0f ms | b/h %.2f | %s |\n", row.name,
                    median(row.load), median(entropy[i]), h, against(h, aims[i]).c_str());
    }
    for (size_t i = 0; i < pngRows.size() && !inflated[i].empty(); ++i) {
        const Row &row = rows[pngRows[i]];
        const double floor = median(inflated[i]), k = median(row.load) / floor;
        std::printf("| (i) %s: (b) load %.0f ms, ISA-L's inflate of its data alone %.0f ms | b/i %.2f | %s |\n",
                    row.name, median(row.load), floor, k, against(k, i == 0 ? 1.6 : 0).c_str());
    }
    for (const size_t i : fehRows) {
        if (fehLoad[i].empty())
            continue;
        const Row &row = rows[i];
        const double fehMs = *std::min_element(fehLoad[i].begin(), fehLoad[i].end())
                             - *std::min_element(fehStart.begin(), fehStart.end());
        const double alone = *std::min_element(aloneLoad[i].begin(), aloneLoad[i].end()), j = alone / fehMs;
        std::printf("| (j) %s, each in a fresh program: load %.0f ms, feh's load %.0f ms | %.2f x | %s |\n",
                    row.name, alone, fehMs, j, against(j, 0.45, " x").c_str());
    }
    const double c = median(pass) / median(clone);
    std::printf("| (c) average gray %.1f ms, clone %.1f ms | %.2f x | <= 1.50 x | %s |\n",
                median(pass), median(clone), c, verdict(c, 1.5));
    for (const Row &row : rows) {
        const double peak = *std::max_element(row.peak.begin(), row.peak.end());
        const double d = peak / row.decodedMb;
        std::printf("| (d) peak memory of a %s load %.1f MB | %.3f x | %s |\n", row.name, peak, d,
                    against(d, row.memoryGoal, " x").c_str());
    }
    for (const Flood &flood : floods) {
        const double e = median(flood.cpu) / 1000, peak = *std::max_element(flood.peak.begin(), flood.peak.end());
        std::printf("| (%s) %s: CPU | %.2f s | %s |\n", flood.aboveIdle ? "f" : "e", flood.name.c_str(), e,
                    against(e, flood.cpuGoal, " s").c_str());
        std::printf("| (%s) the same: peak resident memory %s | %.0f MB | %s |\n", flood.aboveIdle ? "f" : "e",
                    flood.aboveIdle ? "above the idle program" : "of the program", peak,
                    against(peak, flood.memoryGoal, " MB").c_str());
    }
    return 0;
}
