#ifndef INFLATER_H
#define INFLATER_H

// Inflating a zlib stream through a window of bounded size, refusing every
// stream zlib refuses.

#include <cstddef>
#include <cstdint>
#include <functional>

namespace sixfold {

// Where a stream comes from and where its output goes.
struct InflateEnds
{
    // Puts the stream's next bytes at `to`, at most `room` of them, and
    // returns how many: 0 once there are no more, a negative number to stop.
    std::function<long(unsigned char *to, size_t room)> read;

    // Takes the output held in `window`: the stream's output from offset
    // `first` (window[0]) to `last`. Returns the first offset it still
    // needs (the window keeps that, and the 32 KB deflate refers back to),
    // or a negative number to stop. Called whenever the window fills, and
    // once more when the stream has ended.
    std::function<double(const unsigned char *window, double first, double last)> write;
};

// Inflates a whole zlib stream: a header of no preset dictionary, deflate
// blocks, and an Adler-32 check matching the output. Everything zlib
// refuses is refused, and more: incomplete Huffman codes (but for the
// one-code ones zlib takes), distances reaching before the output's start
// or beyond the stream's window, codes no symbol has, a wrong check, and
// any byte after the check. `held` is the most output the writer keeps
// from one call to the next. Returns the bytes of output, or -1 where the
// stream is refused, or where a callback stopped it.
double inflateZlib(InflateEnds &ends, size_t held);

// Whether streams of windows under 32 KB, which libpng writes for small
// pictures, are inflated: by the program's own inflater, not by zlib,
// which reaches back past such a window as far as one call of it made.
bool inflatesSmallWindows();

// The CRC-32 of PNG chunks and zlib's Adler-32, continued over `bytes`.
uint32_t crc32Of(uint32_t crc, const unsigned char *bytes, size_t count);
uint32_t adler32Of(uint32_t adler, const unsigned char *bytes, size_t count);

} // namespace sixfold

#endif // INFLATER_H
