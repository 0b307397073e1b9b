// The simulated sensor's own optics: the light that reaches it (a flat
// scene or darkness), the lens fall-off with per-site differences of the 2x2
// pattern, pixels stuck at a value, read noise and shot noise. It knows
// nothing of the correction data stored in the camera's flash, so a
// calibration measured from these frames can be checked against the truth.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/sim/sensor.h"

namespace nuv::sim {

struct Optics {
    bool enabled = false;  // false: frames shaped by the stored correction data
    double level = 0.0;    // flat light, 10-bit counts at full illumination
    // Lens: relative illumination at radius r from the centre is
    // siteFactors[site] / (1 + strength * (r / halfDiagonal)^2), sites
    // numbered as the library's shading numbers them (protocol/shading.h).
    double centreX = 0.5;  // fractions of the frame
    double centreY = 0.5;
    double strength = 0.0;
    double siteFactors[4] = {1.0, 1.0, 1.0, 1.0};
    struct Defect {
        double fx;  // fraction of the width and height: the same sensor pixel in every mode
        double fy;
        int value;
    };
    std::vector<Defect> defects;
    double noiseSigma = 0.0;  // read noise in counts
    unsigned int noiseSeed = 0;
    // Shot noise: electrons collected per count of signal at the reference
    // exposure and unity gain (0: none).
    double electronsPerCount = 0.0;

    bool operator==(const Optics &other) const;
};

// The sensor pixel a defect lands on in a frame of this size.
int DefectColumn(const Optics::Defect &defect, int width);
int DefectRow(const Optics::Defect &defect, int height);

// The per-device optics, set through the control API and read by the frame
// generator on the streaming thread.
struct OpticsState {
    mutable std::mutex lock;
    Optics optics;
    Optics Snapshot() const {
        std::lock_guard<std::mutex> hold(lock);
        return optics;
    }
};

// Renders frames from the optics as the sensor's controls shape them:
// 10-bit values in little-endian 16-bit words, row after row, with the frame
// counter in the first four words (as every generated frame carries it).
// The noiseless light is kept between frames; noise is drawn from the seed
// and the frame counter, so the same frame number always looks the same.
class OpticsRenderer {
public:
    // False when the optics are not enabled (nothing written).
    bool Render(const OpticsState &state, const SensorResponse &response, int width, int height, std::size_t length,
                std::uint64_t counter, std::vector<std::uint8_t> &bytes);

private:
    Optics cached_;
    int width_ = -1;
    int height_ = -1;
    std::vector<double> clean_;  // light per pixel before noise and rounding
};

// Word `index` of a frame, little-endian, where the frame has room for it.
void PutWord(std::vector<std::uint8_t> &bytes, std::size_t index, std::uint16_t value);
// A signal as the sensor's 10-bit converter reads it: rounded, 0..1023.
std::uint16_t ToCounts(double value);

// The colour-bar test pattern over the first `words` words of a frame of
// this width, and the frame counter in its first four words.
void FillColourBars(std::vector<std::uint8_t> &bytes, int width, std::size_t words);
void PutCounter(std::vector<std::uint8_t> &bytes, std::uint64_t counter);

}  // namespace nuv::sim
