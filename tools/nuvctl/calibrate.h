// Calibration arithmetic: from averaged flat and dark frames taken with the
// corrections off, the shading set (centre; k2, k1, k0 per site of the 2x2
// pattern) that makes the corrected image flat, and the worst defective
// pixels. Kept apart from the camera so that it reads as the mathematics it
// is.
#pragma once

#include <vector>

namespace nuvctl {

struct Image {
    int width = 0;
    int height = 0;
    std::vector<double> v;  // row after row
    double At(int x, int y) const { return v[static_cast<std::size_t>(y) * width + x]; }
};

struct Defect {
    int x;
    int y;
    double score;      // how far off it reads, in counts
    const char *kind;  // "hot", "dead" or "stuck"
};

struct ShadingFit {
    double centre[2];
    double k2[4], k1[4], k0[4];
    double target;  // the level the corrected image is fitted to
};

struct Flatness {
    double spread;        // standard deviation / mean, over the pixels that count
    double cornerCentre;  // mean of the four corner blocks / mean of the centre block
};

// Pixels that no measurement uses: the frame counter in the first four words.
inline bool Reserved(int x, int y) { return y == 0 && x < 4; }

// Hot pixels stand out of the dark frame; dead and stuck ones out of the flat
// frame against their same-site neighbours. At most `limit`, worst first.
std::vector<Defect> FindDefects(const Image &flat, const Image &dark, int limit);

// Least-squares fit, per site, of k2 r^2 + k1 r + k0 such that flat * gain is
// as close as possible to one target level; the centre is the apex of the
// fall-off, fitted first. `skip` marks pixels left out (defects).
ShadingFit FitShading(const Image &flat, const std::vector<bool> &skip);

// The library's gain for a pixel under a fit (protocol/shading.h).
double GainAt(const ShadingFit &fit, int x, int y);

// Flatness of an image, leaving out the skipped and reserved pixels.
Flatness Measure(const Image &image, const std::vector<bool> &skip);

}  // namespace nuvctl
