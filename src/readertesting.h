#ifndef READERTESTING_H
#define READERTESTING_H

// What test and fuzz builds tell the readers, below all of them.

#include "imageops.h"

namespace sixfold {

#ifdef SIXFOLD_READER_TESTING
// Test and fuzz builds only, never the program: the reader decodes the rows
// and columns that scaling to this size reads rather than the panel's, and
// tries the block decoder on every JPEG it can decode, on none, or (Auto)
// where that pays, so that small pictures take the paths big ones take. It
// notes whether the block decoder decoded the last JPEG.
struct ReaderTesting
{
    int panelWidth = PanelWidth, panelHeight = PanelHeight;
    enum class Blocks { Auto, Always, Never } blocks = Blocks::Auto;
    bool blockDecoded = false;
};
extern ReaderTesting readerTesting;
#endif

} // namespace sixfold

#endif // READERTESTING_H
