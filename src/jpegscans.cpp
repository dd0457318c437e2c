// The scans of a JPEG file, as its markers declare them.

#include "jpegscans.h"

#include <algorithm>
#include <cstring>

namespace sixfold {

namespace {

// A DHT segment's tables into the current ones, as libjpeg's get_dht reads
// it; false where libjpeg would stop with an error.
bool defineTables(const unsigned char *segment, size_t length, JpegScript &script, const JHUFF_TBL **dc,
                  const JHUFF_TBL **ac)
{
    size_t at = 0;
    while (length - at > 16) {
        const int index = segment[at];
        auto table = std::make_unique<JHUFF_TBL>();
        size_t count = 0;
        for (int i = 1; i <= 16; ++i)
            count += table->bits[i] = segment[at + size_t(i)];
        at += 17;
        if (count > 256 || count > length - at)
            return false;
        std::copy_n(segment + at, count, table->huffval);
        at += count;
        const int number = index & 0x0f;
        if ((index & ~0x1f) || number >= NUM_HUFF_TBLS)
            return false;
        (index & 0x10 ? ac : dc)[number] = table.get();
        script.tables.push_back(std::move(table));
    }
    return at == length;
}

} // namespace

JpegScript jpegScript(const jpeg_decompress_struct &info, FileWindow &window)
{
    JpegScript script;
    const JHUFF_TBL *dc[NUM_HUFF_TBLS] = {}, *ac[NUM_HUFF_TBLS] = {};
    unsigned restartInterval = 0;
    bool framed = false;
    for (int c = 0; c < info.num_components; ++c)
        for (int other = 0; other < c; ++other)
            script.plain &= info.comp_info[c].component_id != info.comp_info[other].component_id;
    double at = 2;   // after the start marker
    for (;;) {
        // The next 0xff, and the marker after any fill bytes.
        unsigned char code = 0;
        for (;;) {
            size_t count = 0;
            const unsigned char *bytes = window.from(at, 2, count);
            if (!bytes)
                return script;
            const void *mark = std::memchr(bytes, 0xff, count - 1);
            if (!mark) {
                at += double(count - 1);
                continue;
            }
            at += double(static_cast<const unsigned char *>(mark) - bytes);
            const unsigned char *next = window.bytes(at + 1, 1);
            if (!next) {
                script.plain = false;   // the file ends on a marker's first byte
                return script;
            }
            if ((code = *next) != 0xff)
                break;
            at += 1;
        }
        if (code == 0 || code == 0x01 || (code >= JPEG_RST0 && code <= JPEG_RST0 + 7)) {
            at += 2;   // a 0xff byte of coded data, or a marker without a segment
            continue;
        }
        if (code == JPEG_EOI)
            return script;
        if (code == 0xd8) {   // another start: libjpeg stops with an error
            script.plain = false;
            return script;
        }
        // Cut before a segment's length is whole, libjpeg takes its source's
        // fake end marker for it (or errs at the marker's code alone) and
        // stops with an error.
        const unsigned char *head = window.bytes(at + 2, 2);
        if (!head) {
            script.plain = false;
            return script;
        }
        const size_t length = size_t(head[0] << 8 | head[1]);
        const unsigned char *segment = length >= 2 ? window.bytes(at + 4, length - 2) : nullptr;
        const bool scanned = !script.scans.empty();
        if (code == 0xda && length >= 6 && segment) {
            // Components, a byte and tables each; then Ss, Se, Ah and Al.
            JpegScan scan;
            scan.count = segment[0];
            if (length == 6 + 2 * size_t(scan.count)) {
                script.plain &= scan.count >= 1 && scan.count <= MAX_COMPS_IN_SCAN;
                for (int k = 0; k < std::min(scan.count, MAX_COMPS_IN_SCAN); ++k) {
                    const int tables = segment[2 + 2 * k];
                    scan.id[k] = segment[1 + 2 * k];
                    // libjpeg's get_sos takes the first of the frame's first
                    // four components of that id whose place in the scan,
                    // by its own index, is still empty: the k-th component
                    // must be the frame's k-th or a later one.
                    scan.component[k] = -1;
                    for (int c = std::min(info.num_components, MAX_COMPS_IN_SCAN) - 1; c >= k; --c)
                        if (info.comp_info[c].component_id == scan.id[k])
                            scan.component[k] = c;
                    for (int other = 0; other < k; ++other)
                        script.plain &= scan.component[other] != scan.component[k];
                    script.plain &= scan.component[k] >= 0;
                    scan.dc[k] = tables >> 4 < NUM_HUFF_TBLS ? dc[tables >> 4] : nullptr;
                    scan.ac[k] = (tables & 15) < NUM_HUFF_TBLS ? ac[tables & 15] : nullptr;
                }
                const unsigned char *parameters = segment + 1 + 2 * scan.count;
                scan.Ss = parameters[0];
                scan.Se = parameters[1];
                scan.Ah = parameters[2] >> 4;
                scan.Al = parameters[2] & 15;
                scan.restartInterval = restartInterval;
                scan.data = at + 2 + double(length);
                script.scans.push_back(scan);
            } else {
                script.plain = false;
            }
        } else if (code == 0xc4) {
            script.plain &= segment && defineTables(segment, length - 2, script, dc, ac);
        } else if (code == 0xdd) {
            script.plain &= length == 4 && segment;
            if (segment)
                restartInterval = unsigned(segment[0] << 8 | segment[1]);
        } else if (code == 0xdb) {
            script.plain &= !scanned;   // a later one could change a component not yet scanned
        } else if (code >= 0xc0 && code <= 0xcf) {
            // The frame: Huffman-coded DCT, and once.
            script.plain &= !framed && code <= 0xc2;
            framed = true;
        } else if (!(code >= JPEG_APP0 && code <= JPEG_APP0 + 15) && code != JPEG_COM) {
            script.plain = false;
        }
        at += 2 + double(length);
    }
}

} // namespace sixfold
