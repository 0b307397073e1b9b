// The shading model the library and every camera agree on: which site of
// the 2x2 pixel pattern a pixel belongs to, how a stored shading set lies in
// the parameter block, and the gain it gives a pixel. The library's kernels
// (whose vector paths must give these bits exactly), the simulated camera and
// nuvctl's calibration all take it from here.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

namespace nuv::protocol {

inline constexpr int kShadingSiteCount = 4;

// The site of the pixel at (row, column), both counted from 0: an even row
// holds sites 0 (odd columns) and 1 (even columns), an odd row sites 2 (odd
// columns) and 3 (even columns).
constexpr int ShadingSite(int row, int column) { return ((row & 1) ? 2 : 0) + ((column & 1) ? 0 : 1); }

// One shading set: the optical centre in pixels of the mode's image (cx a
// column, cy a row; fractions allowed) and the coefficients of each site.
struct ShadingSet {
    double cx = 0.0;
    double cy = 0.0;
    double k2[kShadingSiteCount] = {};
    double k1[kShadingSiteCount] = {};
    double k0[kShadingSiteCount] = {};
};

// The gain at distance r from the centre: k2 r^2 + k1 r + k0, rounded after
// every operation in exactly this order. The corrected words depend on the
// last bit of it, so no build may fuse a multiply and an add here.
inline double ShadingGain(double k2, double k1, double k0, double r) { return ((k2 * r) * r + k1 * r) + k0; }

// (cy - row)^2: a row's share of the squared distance, computed once per row.
inline double ShadingRowSquare(const ShadingSet &set, int row) {
    const double dy = set.cy - static_cast<double>(row);
    return dy * dy;
}

// The gain of the pixel at (row, column), given its row's ShadingRowSquare:
// r is the correctly rounded square root of (cx - column)^2 + (cy - row)^2.
inline double ShadingGainAt(const ShadingSet &set, int row, int column, double rowSquare) {
    const double dx = set.cx - static_cast<double>(column);
    const double r = std::sqrt(dx * dx + rowSquare);
    const int site = ShadingSite(row, column);
    return ShadingGain(set.k2[site], set.k1[site], set.k0[site], r);
}

inline double ShadingGainAt(const ShadingSet &set, int row, int column) {
    return ShadingGainAt(set, row, column, ShadingRowSquare(set, row));
}

// ---- The stored form ----------------------------------------------------------
// 14 little-endian doubles (112 bytes): cx, cy, then k2, k1, k0 of site 0,
// of site 1, of site 2 and of site 3 (camera_protocol.h says where each set
// lies in the parameter block).

inline double ReadLittleEndianDouble(const std::uint8_t *at) {
    std::uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = (bits << 8) | at[i];
    return std::bit_cast<double>(bits);
}

inline void WriteLittleEndianDouble(std::uint8_t *at, double value) {
    std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
    for (int i = 0; i < 8; ++i, bits >>= 8) at[i] = static_cast<std::uint8_t>(bits & 0xFF);
}

inline ShadingSet ReadShadingSetBytes(const std::uint8_t *at) {
    ShadingSet set;
    set.cx = ReadLittleEndianDouble(at);
    set.cy = ReadLittleEndianDouble(at + 8);
    for (int site = 0; site < kShadingSiteCount; ++site) {
        const std::uint8_t *siteAt = at + 16 + 24 * site;
        set.k2[site] = ReadLittleEndianDouble(siteAt);
        set.k1[site] = ReadLittleEndianDouble(siteAt + 8);
        set.k0[site] = ReadLittleEndianDouble(siteAt + 16);
    }
    return set;
}

inline void WriteShadingSetBytes(std::uint8_t *at, const ShadingSet &set) {
    WriteLittleEndianDouble(at, set.cx);
    WriteLittleEndianDouble(at + 8, set.cy);
    for (int site = 0; site < kShadingSiteCount; ++site) {
        std::uint8_t *siteAt = at + 16 + 24 * site;
        WriteLittleEndianDouble(siteAt, set.k2[site]);
        WriteLittleEndianDouble(siteAt + 8, set.k1[site]);
        WriteLittleEndianDouble(siteAt + 16, set.k0[site]);
    }
}

}  // namespace nuv::protocol
