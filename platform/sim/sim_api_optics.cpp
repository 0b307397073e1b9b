// The simulator's control API for a camera's own optics.
#include <cmath>

#include "common/guarded.h"
#include "nuv_sim.h"
#include "platform/sim/optics.h"
#include "platform/sim/world.h"

using nuv::Guarded;
using nuv::sim::Optics;
using nuv::sim::World;

namespace {

constexpr std::size_t kMaxSensorDefects = 4096;

template <class F>
NuvBool WithOptics(int deviceId, F &&change) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        auto device = World::Instance().FindDevice(deviceId);
        if (!device) return 0;
        nuv::sim::OpticsState &state = device->Optics();
        std::lock_guard<std::mutex> hold(state.lock);
        return change(state.optics) ? 1 : 0;
    });
}

bool Finite(double v) { return std::isfinite(v); }

}  // namespace

NuvBool NUV_CALL NuvSimSetScene(int deviceId, double level) {
    if (std::isnan(level) || level > 1023.0) return 0;
    return WithOptics(deviceId, [&](Optics &optics) {
        optics.enabled = level >= 0.0;
        optics.level = level >= 0.0 ? level : 0.0;
        return true;
    });
}

NuvBool NUV_CALL NuvSimSetLens(int deviceId, double centreX, double centreY, double strength,
                               const double siteFactors[4]) {
    if (!Finite(centreX) || !Finite(centreY) || !Finite(strength) || strength <= -1.0) return 0;
    double factors[4] = {1.0, 1.0, 1.0, 1.0};
    if (siteFactors != nullptr) {
        for (int i = 0; i < 4; ++i) {
            if (!Finite(siteFactors[i]) || siteFactors[i] < 0.0) return 0;
            factors[i] = siteFactors[i];
        }
    }
    return WithOptics(deviceId, [&](Optics &optics) {
        optics.centreX = centreX;
        optics.centreY = centreY;
        optics.strength = strength;
        for (int i = 0; i < 4; ++i) optics.siteFactors[i] = factors[i];
        return true;
    });
}

NuvBool NUV_CALL NuvSimAddSensorDefect(int deviceId, double fx, double fy, int value) {
    if (!(fx >= 0.0 && fx < 1.0 && fy >= 0.0 && fy < 1.0) || value < 0 || value > 1023) return 0;
    return WithOptics(deviceId, [&](Optics &optics) {
        if (optics.defects.size() >= kMaxSensorDefects) return false;
        optics.defects.push_back({fx, fy, value});
        return true;
    });
}

NuvBool NUV_CALL NuvSimClearSensorDefects(int deviceId) {
    return WithOptics(deviceId, [](Optics &optics) {
        optics.defects.clear();
        return true;
    });
}

NuvBool NUV_CALL NuvSimSetNoise(int deviceId, double sigma, unsigned int seed) {
    if (!(sigma >= 0.0) || !Finite(sigma)) return 0;
    return WithOptics(deviceId, [&](Optics &optics) {
        optics.noiseSigma = sigma;
        optics.noiseSeed = seed;
        return true;
    });
}

NuvBool NUV_CALL NuvSimSetShotNoise(int deviceId, double electronsPerCount) {
    if (!(electronsPerCount >= 0.0) || !Finite(electronsPerCount)) return 0;
    return WithOptics(deviceId, [&](Optics &optics) {
        optics.electronsPerCount = electronsPerCount;
        return true;
    });
}
