// The commands of nuvctl, each given its parsed options. Each throws Failure
// on any failure; the caller prints it and exits non-zero.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common.h"

namespace nuvctl {

struct Output {
    bool json = false;
};

struct CorrectionArgs {
    std::vector<int> cameraNumbers;  // empty: 1 and 2
    std::vector<int> modes;          // empty: 0, 1, 2
    std::string file;                // get: output (empty: stdout); set: input
    bool yes = false;
    bool json = false;  // set: the changes as JSON
};

void DefectsGet(const DeviceEntry &device, const CorrectionArgs &args);
void DefectsSet(const DeviceEntry &device, const CorrectionArgs &args);
void ShadingGet(const DeviceEntry &device, const CorrectionArgs &args);
void ShadingSet(const DeviceEntry &device, const CorrectionArgs &args);

// Writes one defect list (at most 20 used entries, column and row) or one
// shading set into the camera; throws Failure naming the call.
void WriteDefects(const Camera &camera, int cameraNo, int mode, const std::vector<std::pair<int, int>> &entries);
void WriteShading(const Camera &camera, int cameraNo, int mode, const double centre[2], const double k2[4],
                  const double k1[4], const double k0[4]);

struct FirmwareArgs {
    std::string image;
    bool yes = false;
    bool json = false;  // progress as JSON lines
};

// The largest firmware image a camera takes: its flash below the parameter
// block (sector 7 from 0x70000: serial number and correction data), which
// the erase for a larger image would wipe. The library refuses larger ones.
inline constexpr long long kMaxFirmwareImage = 0x70000 - 1;

// A rewrite's progress as people read it, 0..100, from the library's own
// value: the library moves in whole 56-byte chunks, so for an image that is
// not a whole number of chunks its value ends the write phase a little above
// 50 and the verify phase a little above 100. Done is 100.
float ShownPercent(int state, float libraryPercent);
void FirmwareWrite(const DeviceEntry &device, const FirmwareArgs &args);

struct CalibrateArgs {
    std::vector<int> cameraNumbers;
    std::vector<int> modes;
    int frames = 16;
    double level = 600.0;  // flat light the simulated world shows
    bool write = false;
    bool yes = false;
    bool json = false;
};
void Calibrate(const DeviceEntry &device, const CalibrateArgs &args);

// A control as the tool knows it (name, type "int", "bool" or "int[4]",
// range), for the viewer's page.
struct ControlInfo {
    std::string name;
    std::string type;
    long min = 0;
    long max = 0;
};

struct ViewArgs {
    std::vector<DeviceEntry> devices;
    OpenRequest request;
    int port = 8080;
    std::string snapshotDir = ".";
    // The tool's own control table and its get and set, so that the page
    // and the command line read and write a camera the same way: the
    // controls a camera can read back and change, then the value as its
    // JSON shows it (throws Failure), then a change (throws Failure naming
    // the refusal).
    std::function<std::vector<ControlInfo>(const Camera &)> controls;
    std::function<nlohmann::json(const Camera &, const std::string &)> getControl;
    std::function<void(const Camera &, const std::string &, const std::string &)> setControl;
};
void View(const ViewArgs &args);

// Simulated device id of a listed position: the tool's simulated world adds
// every device as a plug-and-play camera, so ids follow positions.
inline int SimDeviceId(int position) { return position + 1; }

}  // namespace nuvctl
