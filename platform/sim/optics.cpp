#include "platform/sim/optics.h"

#include <algorithm>
#include <cmath>

#include "protocol/shading.h"

namespace nuv::sim {

namespace {

// splitmix64: a tiny generator whose output depends only on its state, so
// the noise of a frame is a pure function of seed and frame number.
std::uint64_t SplitMix(std::uint64_t &state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double Uniform(std::uint64_t &state) {
    // 53 random bits in (0, 1]: never 0, so the logarithm below is finite.
    return (static_cast<double>(SplitMix(state) >> 11) + 1.0) * (1.0 / 9007199254740992.0);
}

void PutWord(std::vector<std::uint8_t> &bytes, std::size_t index, std::uint16_t value) {
    if (2 * index + 1 >= bytes.size()) return;
    bytes[2 * index] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[2 * index + 1] = static_cast<std::uint8_t>(value >> 8);
}

std::uint16_t ToCounts(double value) {
    if (!(value > 0.0)) return 0;
    if (value >= 1023.0) return 1023;
    return static_cast<std::uint16_t>(std::lround(value));
}

}  // namespace


bool Optics::operator==(const Optics &o) const {
    if (enabled != o.enabled || level != o.level || centreX != o.centreX || centreY != o.centreY ||
        strength != o.strength || noiseSigma != o.noiseSigma || noiseSeed != o.noiseSeed ||
        defects.size() != o.defects.size())
        return false;
    for (int i = 0; i < 4; ++i) {
        if (siteFactors[i] != o.siteFactors[i]) return false;
    }
    for (std::size_t i = 0; i < defects.size(); ++i) {
        if (defects[i].fx != o.defects[i].fx || defects[i].fy != o.defects[i].fy ||
            defects[i].value != o.defects[i].value)
            return false;
    }
    return true;
}

int DefectColumn(const Optics::Defect &defect, int width) {
    const int x = static_cast<int>(std::floor(defect.fx * width));
    return x < 0 ? 0 : x >= width ? width - 1 : x;
}

int DefectRow(const Optics::Defect &defect, int height) {
    const int y = static_cast<int>(std::floor(defect.fy * height));
    return y < 0 ? 0 : y >= height ? height - 1 : y;
}

bool OpticsRenderer::Render(const OpticsState &state, int width, int height, std::size_t length,
                            std::uint64_t counter, std::vector<std::uint8_t> &bytes) {
    const Optics optics = state.Snapshot();
    if (!optics.enabled) return false;
    if (width < 0) width = -width;
    if (height < 0) height = -height;
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (!(optics == cached_) || width != width_ || height != height_ || clean_.size() != pixels) {
        clean_.assign(pixels, 0.0);
        const double cx = optics.centreX * width;
        const double cy = optics.centreY * height;
        const double halfDiagonal2 = 0.25 * (static_cast<double>(width) * width + static_cast<double>(height) * height);
        for (int y = 0; y < height; ++y) {
            const double dy2 = (y - cy) * (y - cy);
            for (int x = 0; x < width; ++x) {
                const double rel2 = ((x - cx) * (x - cx) + dy2) / halfDiagonal2;
                clean_[static_cast<std::size_t>(y) * width + x] =
                    optics.level * optics.siteFactors[protocol::ShadingSite(y, x)] / (1.0 + optics.strength * rel2);
            }
        }
        cached_ = optics;
        width_ = width;
        height_ = height;
    }
    bytes.assign(length, 0);
    const std::size_t words = std::min(pixels, length / 2);
    if (optics.noiseSigma > 0.0) {
        std::uint64_t state = (static_cast<std::uint64_t>(optics.noiseSeed) << 32) ^ (counter * 0xD1B54A32D192ED03ull);
        for (std::size_t i = 0; i < words; i += 2) {
            // Box-Muller: two independent normal draws per pair of pixels.
            const double radius = optics.noiseSigma * std::sqrt(-2.0 * std::log(Uniform(state)));
            const double angle = 6.283185307179586 * Uniform(state);
            PutWord(bytes, i, ToCounts(clean_[i] + radius * std::cos(angle)));
            if (i + 1 < words) PutWord(bytes, i + 1, ToCounts(clean_[i + 1] + radius * std::sin(angle)));
        }
    } else {
        for (std::size_t i = 0; i < words; ++i) PutWord(bytes, i, ToCounts(clean_[i]));
    }
    // Stuck pixels read their value whatever the light and the noise.
    for (const Optics::Defect &defect : optics.defects) {
        const std::size_t at = static_cast<std::size_t>(DefectRow(defect, height)) * width + DefectColumn(defect, width);
        if (at < words) PutWord(bytes, at, static_cast<std::uint16_t>(defect.value));
    }
    // The frame counter, eight bits per word, as in every generated frame.
    for (std::size_t i = 0; i < 4; ++i) PutWord(bytes, i, static_cast<std::uint16_t>((counter >> (8 * i)) & 0xFF));
    return true;
}

}  // namespace nuv::sim
