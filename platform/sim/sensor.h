// What the simulated sensor's controls do to its image, as a real sensor's
// do: the collected signal grows with the exposure time (the exposure
// property and the shutter command) and with the analog and digital gains,
// the LED adds an even offset, the colour bar replaces the image with a test
// pattern, and everything is limited to 10 bits. The light itself (the scene,
// the lens, stuck pixels) is the optics' or the stored data's; this only
// scales and shifts it, so the correction data stored in the camera keeps
// describing the lens alone.
#pragma once

#include <cstdint>

namespace nuv::sim {

// The controls as the video function and the firmware hold them. The
// defaults are the values both start with: at them the image is exactly
// the light (scale 1, offset 0).
struct SensorSettings {
    static constexpr long kReferenceExposure = -6;          // 2^-6 s
    static constexpr long kReferenceShutter = 1000;
    static constexpr std::uint16_t kUnityDigitalGain = 0x0100;  // 8.8 fixed point

    long led = 0;        // brightness: the LED, 0..64
    long colourBar = 0;  // contrast: nonzero shows the test pattern
    long gain = 0;       // analog gain, 0..240
    long exposure = kReferenceExposure;
    long shutter = kReferenceShutter;
    // One per site of the 2x2 pattern (gain i to site i, the sites numbered
    // as the library's shading numbers them).
    std::uint16_t digitalGains[4] = {kUnityDigitalGain, kUnityDigitalGain, kUnityDigitalGain, kUnityDigitalGain};
};

struct SensorResponse {
    double exposure = 1.0;                   // exposure time against the reference
    double gain[4] = {1.0, 1.0, 1.0, 1.0};   // per site: analog x digital gain
    double scale[4] = {1.0, 1.0, 1.0, 1.0};  // per site: exposure x gain
    double offset = 0.0;                     // counts the LED adds
    bool pattern = false;                    // the colour bar replaces the image
    // Scale 1 and offset 0 everywhere: the light passes unchanged.
    bool Neutral() const;
};

// Counts the LED adds per level.
inline constexpr double kLedCountsPerLevel = 4.0;
// Analog gain g multiplies the signal by 1 + g / kGainPerDoubling.
inline constexpr double kGainPerDoubling = 16.0;

SensorResponse ResponseOf(const SensorSettings &settings);

// The colour-bar test pattern: eight vertical bars, the luminance of full
// colour bars from white to black (1023 down to 0), whatever the light and
// the other controls.
std::uint16_t ColourBarValue(int x, int width);

}  // namespace nuv::sim
