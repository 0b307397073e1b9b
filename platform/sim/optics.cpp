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

}  // namespace

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

bool Optics::operator==(const Optics &o) const {
    if (enabled != o.enabled || level != o.level || centreX != o.centreX || centreY != o.centreY ||
        strength != o.strength || noiseSigma != o.noiseSigma || noiseSeed != o.noiseSeed ||
        electronsPerCount != o.electronsPerCount || defects.size() != o.defects.size())
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

bool OpticsRenderer::Render(const OpticsState &state, const SensorResponse &response, int width, int height,
                            std::size_t length, std::uint64_t counter, std::vector<std::uint8_t> &bytes) {
    const Optics optics = state.Snapshot();
    if (!optics.enabled) return false;
    if (width < 0) width = -width;
    if (height < 0) height = -height;
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    bytes.assign(length, 0);
    const std::size_t words = std::min(pixels, length / 2);
    if (response.pattern) {
        FillColourBars(bytes, width, words);
        PutCounter(bytes, counter);
        return true;
    }
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
    // At the reference settings the light passes untouched, so frames stay
    // exactly what they were before the controls had any effect.
    const bool neutral = response.Neutral();
    auto signal = [&](std::size_t i) {
        if (neutral) return clean_[i];
        const int x = static_cast<int>(i % static_cast<std::size_t>(width));
        const int y = static_cast<int>(i / static_cast<std::size_t>(width));
        return clean_[i] * response.scale[protocol::ShadingSite(y, x)] + response.offset;
    };
    const bool shot = optics.electronsPerCount > 0.0;
    // Read noise in counts, plus shot noise: the electrons collected are
    // Poisson distributed (normal at these counts), and the gains amplify
    // their spread with the signal.
    auto sigma = [&](std::size_t i) {
        if (!shot) return optics.noiseSigma;
        const int x = static_cast<int>(i % static_cast<std::size_t>(width));
        const int y = static_cast<int>(i / static_cast<std::size_t>(width));
        const double gain = response.gain[protocol::ShadingSite(y, x)];
        const double collected = std::fmax(0.0, clean_[i] * response.exposure);
        return std::sqrt(optics.noiseSigma * optics.noiseSigma +
                         gain * gain * collected / optics.electronsPerCount);
    };
    if (optics.noiseSigma > 0.0 || shot) {
        std::uint64_t state = (static_cast<std::uint64_t>(optics.noiseSeed) << 32) ^ (counter * 0xD1B54A32D192ED03ull);
        for (std::size_t i = 0; i < words; i += 2) {
            // Box-Muller: two independent normal draws per pair of pixels.
            const double radius = std::sqrt(-2.0 * std::log(Uniform(state)));
            const double angle = 6.283185307179586 * Uniform(state);
            PutWord(bytes, i, ToCounts(signal(i) + (sigma(i) * radius) * std::cos(angle)));
            if (i + 1 < words) PutWord(bytes, i + 1, ToCounts(signal(i + 1) + (sigma(i + 1) * radius) * std::sin(angle)));
        }
    } else {
        for (std::size_t i = 0; i < words; ++i) PutWord(bytes, i, ToCounts(signal(i)));
    }
    // Stuck pixels read their value whatever the light, the controls and the
    // noise.
    for (const Optics::Defect &defect : optics.defects) {
        const std::size_t at = static_cast<std::size_t>(DefectRow(defect, height)) * width + DefectColumn(defect, width);
        if (at < words) PutWord(bytes, at, static_cast<std::uint16_t>(defect.value));
    }
    PutCounter(bytes, counter);
    return true;
}

void FillColourBars(std::vector<std::uint8_t> &bytes, int width, std::size_t words) {
    if (width <= 0) return;
    std::size_t i = 0;
    while (i < words) {
        for (int x = 0; x < width && i < words; ++x, ++i) PutWord(bytes, i, ColourBarValue(x, width));
    }
}

void PutCounter(std::vector<std::uint8_t> &bytes, std::uint64_t counter) {
    // Eight bits per word, so that every word stays a 10-bit value: frames
    // can be told apart, and read back, after any correction of the words
    // further on.
    for (std::size_t i = 0; i < 4; ++i) PutWord(bytes, i, static_cast<std::uint16_t>((counter >> (8 * i)) & 0xFF));
}

}  // namespace nuv::sim
