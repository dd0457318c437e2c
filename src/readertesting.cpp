// What test and fuzz builds tell the readers, below all of them.

#include "readertesting.h"

namespace sixfold {

#ifdef SIXFOLD_READER_TESTING
ReaderTesting readerTesting;
#endif

} // namespace sixfold
