#include "platform/sim/frames.h"

#include <algorithm>
#include <cmath>

#include "protocol/camera_protocol.h"
#include "protocol/shading.h"

namespace nuv::sim {

namespace {

constexpr double kSceneLevel = 640.0;  // what a flat, evenly lit target reads
constexpr std::uint16_t kHotPixel = 1023;

// The sensor's view of a flat target: the lens darkens it as the inverse of
// the stored shading gain (site by site of the 2x2 pattern), and listed
// pixels are stuck at full scale.
void MakeScene(std::vector<std::uint8_t> &scene, std::vector<std::size_t> &stuck, int width, int height,
               const std::vector<std::uint8_t> &block, int cameraNumber) {
    stuck.clear();
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    const int mode = protocol::ModeOf(width, height);
    const bool corrected =
        mode >= 0 && block.size() == protocol::kParameterBlockSize && (cameraNumber == 1 || cameraNumber == 2);
    if (!corrected) {
        for (std::size_t i = 0; i < pixels; ++i) PutWord(scene, i, static_cast<std::uint16_t>(kSceneLevel));
        return;
    }
    const protocol::ShadingSet set =
        protocol::ReadShadingSetBytes(block.data() + protocol::ShadingSetOffset(cameraNumber, mode));
    for (int y = 0; y < height; ++y) {
        const double rowSquare = protocol::ShadingRowSquare(set, y);
        for (int x = 0; x < width; ++x) {
            const double gain = protocol::ShadingGainAt(set, y, x, rowSquare);
            double value = kSceneLevel;
            if (std::isfinite(gain) && gain > 0.0) value = kSceneLevel / gain;
            if (!(value >= 0.0)) value = 0.0;
            if (value > 1023.0) value = 1023.0;
            PutWord(scene, static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x),
                    static_cast<std::uint16_t>(std::lround(value)));
        }
    }
    const std::size_t defects = protocol::DefectListOffset(cameraNumber, mode);
    for (int entry = 0; entry < protocol::kDefectEntryCount; ++entry) {
        const std::size_t at = defects + 4 * static_cast<std::size_t>(entry);
        const int column = block[at] | (block[at + 1] << 8);
        const int row = block[at + 2] | (block[at + 3] << 8);
        if (column >= width || row >= height) continue;  // unused (0xFFFF) or outside
        const std::size_t pixel =
            static_cast<std::size_t>(row) * static_cast<std::size_t>(width) + static_cast<std::size_t>(column);
        PutWord(scene, pixel, kHotPixel);
        stuck.push_back(pixel);
    }
}

}  // namespace

void FrameGenerator::Generate(const OpticsState &optics, const std::vector<std::uint8_t> &block, int cameraNumber,
                              const SensorSettings &sensor, const framework::VideoFormat &format,
                              std::uint64_t counter, std::vector<std::uint8_t> &bytes) {
    const std::size_t length = framework::FrameLength(format);
    const SensorResponse response = ResponseOf(sensor);
    if (optics_.Render(optics, response, format.width, format.height, length, counter, bytes)) return;
    const int rows = static_cast<int>(format.height < 0 ? -static_cast<long long>(format.height) : format.height);
    const std::size_t words = std::min(static_cast<std::size_t>(format.width > 0 ? format.width : 0) *
                                           static_cast<std::size_t>(rows),
                                       length / 2);
    if (response.pattern) {
        bytes.assign(length, 0);
        FillColourBars(bytes, format.width, words);
        PutCounter(bytes, counter);
        return;
    }
    if (scene_.size() != length || width_ != format.width || height_ != format.height || block != block_ ||
        cameraNumber != cameraNumber_) {
        scene_.assign(length, 0);
        MakeScene(scene_, stuck_, format.width, rows, block, cameraNumber);
        block_ = block;
        cameraNumber_ = cameraNumber;
        width_ = format.width;
        height_ = format.height;
    }
    bytes = scene_;
    // At the reference settings the scene is the image, exactly.
    if (!response.Neutral()) {
        for (std::size_t i = 0; i < words; ++i) {
            const double light = bytes[2 * i] | (bytes[2 * i + 1] << 8);
            const int site = protocol::ShadingSite(static_cast<int>(i / static_cast<std::size_t>(format.width)),
                                                   static_cast<int>(i % static_cast<std::size_t>(format.width)));
            PutWord(bytes, i, ToCounts(light * response.scale[site] + response.offset));
        }
        // Stored defects are stuck: they read full scale whatever the controls.
        for (std::size_t at : stuck_) PutWord(bytes, at, kHotPixel);
    }
    PutCounter(bytes, counter);
}

}  // namespace nuv::sim
