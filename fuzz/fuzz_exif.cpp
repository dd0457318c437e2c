// Differential libFuzzer target for the EXIF orientation parser: the bytes,
// as the EXIF block of a JPEG's APP1 segment and (where libpng keeps them,
// from "II" or "MM" on) of a PNG's eXIf chunk, must give the orientation
// OpenCV itself gives a tiny picture carrying them. Any difference aborts.
//
// With SIXFOLD_MAKE_SEEDS=DIR set, it writes a starting corpus into DIR and
// exits.

#include "exif.h"
#include "support.h"

#include <QDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void makeSeeds(const QString &dir)
{
    QDir().mkpath(dir);
    for (int orientation = 1; orientation <= 8; ++orientation)
        for (const bool intel : {true, false})
            support::writeBytes(dir + QString("/%1%2").arg(intel ? "ii" : "mm").arg(orientation),
                                support::exifBlock(intel, {{0x0112, 3, 1, quint32(orientation)}}));
}

void check(int parsed, int probed, const char *container)
{
    // Built against an OpenCV whose reading is not proven, the parser is
    // unsure (0) of every block.
    if (probed && parsed != probed && (parsed || sixfold::exifAsOpenCvReadsIt())) {
        std::fprintf(stderr, "the %s parser gives orientation %d, OpenCV %d\n", container, parsed, probed);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    QString unused;
    support::fuzzWindow((*argv)[0], makeSeeds, unused);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 60000)
        return -1;   // beyond a JPEG segment
    const QByteArray block(reinterpret_cast<const char *>(data), qsizetype(size));
    const QByteArray app1 = QByteArray("Exif\0\0", 6) + block;
    check(sixfold::jpegExifOrientation(reinterpret_cast<const unsigned char *>(app1.constData()), size_t(app1.size())),
          support::probeOrientation({app1}), "JPEG");
    if (size >= 2 && data[0] == data[1] && (data[0] == 'I' || data[0] == 'M'))
        check(sixfold::pngExifOrientation(data, size), support::probeOrientation({block}, true), "PNG");
    return 0;
}
