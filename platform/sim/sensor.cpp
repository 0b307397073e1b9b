#include "platform/sim/sensor.h"

#include <algorithm>
#include <cmath>

namespace nuv::sim {

bool SensorResponse::Neutral() const {
    if (pattern || offset != 0.0) return false;
    for (double s : scale) {
        if (s != 1.0) return false;
    }
    return true;
}

SensorResponse ResponseOf(const SensorSettings &s) {
    SensorResponse r;
    r.pattern = s.colourBar != 0;
    // The exposure property is the log2 of the exposure time in seconds; the
    // shutter stretches it linearly around its reference. A range redefined
    // by a test may reach far: the steps are bounded so that nothing
    // overflows, and negative gains or times are no light at all.
    const double steps = std::clamp(
        static_cast<double>(s.exposure) - static_cast<double>(SensorSettings::kReferenceExposure), -1000.0, 1000.0);
    r.exposure = std::fmax(0.0, std::exp2(steps) * static_cast<double>(s.shutter) /
                                    static_cast<double>(SensorSettings::kReferenceShutter));
    const double analog = std::fmax(0.0, 1.0 + static_cast<double>(s.gain) / kGainPerDoubling);
    for (int site = 0; site < 4; ++site) {
        r.gain[site] = analog * static_cast<double>(s.digitalGains[site]) / SensorSettings::kUnityDigitalGain;
        r.scale[site] = r.exposure * r.gain[site];
    }
    r.offset = std::fmax(0.0, static_cast<double>(s.led) * kLedCountsPerLevel);
    return r;
}

std::uint16_t ColourBarValue(int x, int width) {
    // White, yellow, cyan, green, magenta, red, blue, black: 0.299 R +
    // 0.587 G + 0.114 B of full bars, in 10 bits.
    static constexpr std::uint16_t kBars[8] = {1023, 906, 717, 601, 422, 306, 117, 0};
    if (width <= 0 || x < 0) return kBars[0];
    const long long bar = static_cast<long long>(x) * 8 / width;
    return kBars[bar > 7 ? 7 : bar];
}

}  // namespace nuv::sim
