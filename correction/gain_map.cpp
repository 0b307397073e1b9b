// Gain maps in their two forms (correction.h says what each holds and why),
// and the choice between them.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "correction/correction.h"
#include "correction/kernel_support.h"
#include "platform/aligned_buffer.h"

namespace nuv {
namespace {

constexpr std::size_t kLine = 64;
constexpr std::size_t AlignUp(std::size_t bytes) { return (bytes + kLine - 1) / kLine * kLine; }

// The planes of count gains in the block, each starting on a cache line.
constexpr std::size_t LowAt(std::size_t count) { return AlignUp(2 * count); }
constexpr std::size_t RestAt(std::size_t count) { return AlignUp(LowAt(count) + count); }
constexpr std::size_t CompactBytes(std::size_t count) { return RestAt(count) + 4 * count; }
// The planes of a mode's map fit where its doubles go.
static_assert(CompactBytes(1280 * 720) <= 8 * 1280 * 720 && CompactBytes(328 * 204) <= 8 * 328 * 204);

constexpr int kLargestShift = 24;
constexpr int kSmallestShift = 18;  // a word <= 1023 shifted by 24 - shift stays within 16 bits
constexpr double kWholeLimit = 16777216.0;  // G < 2^24

// Rows are computed as doubles one at a time and then compacted; wider
// images keep doubles.
constexpr int kRowCapacity = 2048;

void FreeBlock(double *block) { os::FreeAligned(block); }

// The largest shift at which a gain of largest still fits 24 bits.
int ShiftFor(double largest) {
    int shift = kLargestShift;
    while (shift > kSmallestShift && !(std::ldexp(largest, shift) < kWholeLimit)) --shift;
    return shift;
}

// An upper bound of the gains of set in a width x height image: each site's
// polynomial at distance 0, at the distance of the farthest pixel and at its
// vertex between the two, with room for the rounding of the gains computed.
// (NaN gains drop out of it; they keep the map in doubles anyway.)
double LargestGain(const ShadingSet &set, int width, int height) {
    const double dx = std::max(std::fabs(set.cx), std::fabs(set.cx - (width - 1)));
    const double dy = std::max(std::fabs(set.cy), std::fabs(set.cy - (height - 1)));
    const double farthest = std::sqrt(dx * dx + dy * dy);
    double largest = 0.0;
    for (int site = 0; site < kShadingSiteCount; ++site) {
        const double k2 = set.k2[site], k1 = set.k1[site], k0 = set.k0[site];
        largest = std::max({largest, ShadingGain(k2, k1, k0, 0.0), ShadingGain(k2, k1, k0, farthest)});
        if (k2 < 0.0) {
            const double vertex = -k1 / (2.0 * k2);
            if (vertex > 0.0 && vertex < farthest) largest = std::max(largest, ShadingGain(k2, k1, k0, vertex));
        }
    }
    return largest + std::fabs(largest) * 0x1p-20;
}

}  // namespace

std::shared_ptr<GainMap> GainMap::Allocate(std::size_t count) {
    if (count == 0 || count > SIZE_MAX / 16) return nullptr;
    // As many bytes as the doubles take (tiny maps: what the aligned planes
    // need).
    const std::size_t doubles = (std::max(count * sizeof(double), CompactBytes(count)) + 7) / 8;
    AlignedArray<double> block = AllocateArray<double>(doubles, kLine);
    if (!block) return nullptr;
    try {
        std::shared_ptr<GainMap> map(new GainMap());
        map->count_ = count;
        map->blockBytes_ = doubles * sizeof(double);
        map->block_ = {block.release(), FreeBlock};
        return map;
    } catch (...) {
        return nullptr;  // block still owns its memory and frees it
    }
}

GainMap::~GainMap() = default;

bool GainMap::LayOut() {
    if (CompactBytes(count_) > blockBytes_) return false;
    auto *bytes = reinterpret_cast<unsigned char *>(block_.get());
    high_ = reinterpret_cast<std::uint16_t *>(bytes);
    low_ = bytes + LowAt(count_);
    rest_ = reinterpret_cast<std::uint32_t *>(bytes + RestAt(count_));
    return true;
}

bool GainMap::CompactRow(KernelPath path, const double *gains, std::size_t first, std::size_t count) {
    return kernels::CompactGainRow(path, gains, count, shift_, high_ + first, low_ + first, rest_ + first);
}

void GainMap::Fill(KernelPath path, int width, int height, const ShadingSet &set) {
    if (width <= 0 || height <= 0) return;
    if (static_cast<std::size_t>(width) * static_cast<std::size_t>(height) != count_) return;  // not this map's size
    if (width <= kRowCapacity && LayOut()) {
        shift_ = ShiftFor(LargestGain(set, width, height));
        double row[kRowCapacity];
        bool fits = true;
        for (int y = 0; y < height && fits; ++y) {
            FillGainRow(path, row, width, y, set);
            fits = CompactRow(path, row, static_cast<std::size_t>(y) * static_cast<std::size_t>(width),
                              static_cast<std::size_t>(width));
        }
        compact_ = fits;
        if (fits) return;
    }
    compact_ = false;
    FillGainMap(path, block_.get(), width, height, set);
}

void GainMap::Assign(const double *gains, bool allowCompact) {
    if (allowCompact && LayOut()) {
        double largest = 0.0;
        for (std::size_t i = 0; i < count_; ++i) largest = std::max(largest, gains[i]);
        shift_ = ShiftFor(largest);
        compact_ = CompactRow(ActiveKernelPath(), gains, 0, count_);
        if (compact_) return;
    }
    compact_ = false;
    std::memcpy(block_.get(), gains, count_ * sizeof(double));
}

CompactGains GainMap::Compact() const {
    if (!compact_) return {};
    return {high_, low_, rest_, shift_};
}

double GainMap::Gain(std::size_t index) const {
    return compact_ ? kernels::CompactGain(Compact(), index) : block_[index];
}

std::uint16_t GainMap::ShadeWord(std::uint16_t word, std::size_t index) const {
    return compact_ ? kernels::ShadeCompactWord(word, Compact(), index) : kernels::ShadeOne(word, block_[index]);
}

}  // namespace nuv
