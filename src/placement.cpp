// The picture the readers fill: its lazily committed memory, and where each
// decoded pixel lands once the EXIF orientation has turned it upright.

#include "placement.h"

#include "imageops.h"
#include "readertesting.h"

#include <algorithm>

#include <sys/mman.h>

namespace sixfold {

namespace {

// Holds the pixel memory of the pictures read here: anonymous memory mapped
// without reserving swap and without huge pages, so that only the pages that
// rows are written to are ever committed.
struct LazyPixels final : cv::MatAllocator
{
    cv::UMatData *allocate(int dims, const int *sizes, int type, void *data, size_t *step, cv::AccessFlag,
                           cv::UMatUsageFlags) const override
    {
        size_t total = CV_ELEM_SIZE(type);
        for (int i = dims - 1; i >= 0; --i) {
            // A row falling a little short of whole pages starts a page of
            // its own: each pair of rows the views read then takes its
            // whole pages and no more (six, not seven, for a 4000-pixel row).
            if (i == 0 && dims == 2 && !data && ((total + 4095) & ~size_t(4095)) - total < 2048)
                total = (total + 4095) & ~size_t(4095);
            if (step) {
                if (data && step[i] != cv::Mat::AUTO_STEP)
                    total = step[i];
                else
                    step[i] = total;
            }
            total *= size_t(sizes[i]);
        }
        void *memory = data;
        if (!memory) {
            memory = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            if (memory == MAP_FAILED)
                CV_Error(cv::Error::StsNoMem, "no address space for the picture");
            madvise(memory, total, MADV_NOHUGEPAGE);
        }
        auto *u = new cv::UMatData(this);
        u->size = total;
        u->data = u->origdata = static_cast<uchar *>(memory);
        if (data)
            u->flags |= cv::UMatData::USER_ALLOCATED;
        return u;
    }

    bool allocate(cv::UMatData *u, cv::AccessFlag, cv::UMatUsageFlags) const override { return u != nullptr; }

    void deallocate(cv::UMatData *u) const override
    {
        if (u && !(u->flags & cv::UMatData::USER_ALLOCATED))
            munmap(u->origdata, u->size);
        delete u;
    }
};

// The lines of a picture the reader decodes: those that scaling to the panel
// reads (in test builds, those of the panel size set for testing).
std::vector<int> linesRead(int size, bool across)
{
#ifdef SIXFOLD_READER_TESTING
    return panelSourceLines(size, across ? readerTesting.panelWidth : readerTesting.panelHeight);
#else
    return across ? panelSourceColumns(size) : panelSourceRows(size);
#endif
}

// Where stored pixel (x, y) lands in the upright picture.
cv::Vec3b &uprightPixel(cv::Mat &picture, const Placement &p, int y, int x)
{
    if (p.transposed)
        return picture.ptr<cv::Vec3b>(p.flipY ? p.width - 1 - x : x)[p.flipX ? p.height - 1 - y : y];
    return picture.ptr<cv::Vec3b>(p.flipY ? p.height - 1 - y : y)[p.flipX ? p.width - 1 - x : x];
}

} // namespace

Placement placement(int width, int height, int orientation)
{
    Placement p;
    p.width = width;
    p.height = height;
    p.transposed = orientation >= 5 && orientation <= 8;
    p.flipX = orientation == 2 || orientation == 3 || orientation == 6 || orientation == 7;
    p.flipY = orientation == 3 || orientation == 4 || orientation == 7 || orientation == 8;
    // Upright, a stored row is a row, or a column when transposed; of a
    // column only the pixels in the panel's rows are needed.
    p.rows = linesRead(p.transposed ? width : height, false);
    const std::vector<int> lines = p.transposed ? linesRead(height, true) : p.rows;
    const bool mirrored = p.transposed ? p.flipX : p.flipY;
    for (const int line : lines)
        p.storedRows.push_back(mirrored ? height - 1 - line : line);
    std::sort(p.storedRows.begin(), p.storedRows.end());
    const std::vector<int> across = p.transposed ? p.rows : linesRead(width, true);
    for (const int column : across)
        p.storedColumns.push_back((p.transposed ? p.flipY : p.flipX) ? width - 1 - column : column);
    std::sort(p.storedColumns.begin(), p.storedColumns.end());
    return p;
}

double pictureBytes(const Placement &p)
{
    return double(p.rows.size()) * (p.transposed ? p.height : p.width) * 3;
}

cv::Mat uprightPicture(const Placement &p)
{
    static LazyPixels *const allocator = new LazyPixels;   // outlives every picture
    cv::Mat picture;
    picture.allocator = allocator;
    picture.create(p.transposed ? p.width : p.height, p.transposed ? p.height : p.width, CV_8UC3);
    // The rows that will be written, committed a run of rows at a time
    // rather than a page fault at a time (Linux 5.14 and later).
    for (size_t i = 0; i < p.rows.size();) {
        size_t j = i + 1;
        while (j < p.rows.size() && p.rows[j] == p.rows[j - 1] + 1)
            ++j;
        const uintptr_t start = uintptr_t(picture.ptr(p.rows[i])) & ~uintptr_t(4095);
        const uintptr_t end = uintptr_t(picture.ptr(p.rows[j - 1]) + picture.step);
        madvise(reinterpret_cast<void *>(start), end - start, 23 /* MADV_POPULATE_WRITE */);
        i = j;
    }
    return picture;
}

void putRow(cv::Mat &picture, const Placement &p, int y, const uchar *row)
{
    const auto *pixels = reinterpret_cast<const cv::Vec3b *>(row);
    for (const int x : p.storedColumns)
        uprightPixel(picture, p, y, x) = pixels[x];
}

void putPixels(cv::Mat &picture, const Placement &p, int y, const uchar *bgr)
{
    const auto *pixels = reinterpret_cast<const cv::Vec3b *>(bgr);
    if (p.transposed) {
        for (const int x : p.storedColumns)
            uprightPixel(picture, p, y, x) = *pixels++;
        return;
    }
    // A stored row stays a row: one row pointer for all its pixels.
    cv::Vec3b *row = picture.ptr<cv::Vec3b>(p.flipY ? p.height - 1 - y : y);
    for (const int x : p.storedColumns)
        row[p.flipX ? p.width - 1 - x : x] = *pixels++;
}

} // namespace sixfold
