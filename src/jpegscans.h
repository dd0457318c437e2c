#ifndef JPEGSCANS_H
#define JPEGSCANS_H

// The scans of a JPEG file, as its markers declare them.

#include "filewalk.h"

#include <cstddef>
#include <cstdio>
#include <memory>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

namespace sixfold {

// A scan: the components it codes, which coefficients and bits of them,
// with which tables, and where its coded data begin.
struct JpegScan
{
    double data = 0;   // offset of the first coded byte
    int count = 0;     // components
    int id[MAX_COMPS_IN_SCAN] = {};          // as the header names them
    int component[MAX_COMPS_IN_SCAN] = {};   // their indexes in the frame; -1 for none
    int Ss = 0, Se = 0, Ah = 0, Al = 0;
    unsigned restartInterval = 0;
    // The tables each component names, as defined when the scan starts;
    // null where none is (or the number names none).
    const JHUFF_TBL *dc[MAX_COMPS_IN_SCAN] = {}, *ac[MAX_COMPS_IN_SCAN] = {};
};

struct JpegScript
{
    std::vector<JpegScan> scans;
    std::vector<std::unique_ptr<JHUFF_TBL>> tables;   // every table defined, the scans' among them
    // Whether every marker is one libjpeg reads without error or warning
    // and that changes nothing the scans above do not tell: a frame of
    // Huffman-coded DCT (baseline, extended or progressive), tables,
    // restart intervals, application segments and comments, quantisation
    // tables only before the first scan, well-formed scan headers naming
    // distinct components of the frame, which names each once, in an order
    // libjpeg takes (the k-th the frame's k-th or a later one); ending at
    // the end marker or the file's end, but not within a marker or a
    // segment's length.
    bool plain = true;
};

// The scans of the file, walked as libjpeg reads markers (any bytes up to
// a 0xff, then the marker; segments skipped by their length, coded data
// passed over to the next marker) from its start to the end of the picture.
// `info` has read the frame header.
JpegScript jpegScript(const jpeg_decompress_struct &info, FileWindow &window);

} // namespace sixfold

#endif // JPEGSCANS_H
