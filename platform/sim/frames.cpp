#include "platform/sim/frames.h"

#include <cmath>
#include <cstring>

#include "protocol/camera_protocol.h"
#include "protocol/shading.h"

namespace nuv::sim {

namespace {

constexpr double kSceneLevel = 640.0;  // what a flat, evenly lit target reads
constexpr std::uint16_t kHotPixel = 1023;

void PutWord(std::vector<std::uint8_t> &bytes, std::size_t index, std::uint16_t value) {
    if (2 * index + 1 >= bytes.size()) return;
    bytes[2 * index] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[2 * index + 1] = static_cast<std::uint8_t>(value >> 8);
}

// The sensor's view of a flat target: the lens darkens it as the inverse of
// the stored shading gain (site by site of the 2x2 pattern), and listed
// pixels are stuck at full scale.
void MakeScene(std::vector<std::uint8_t> &scene, int width, int height, const std::vector<std::uint8_t> &block,
               int cameraNumber) {
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    int mode = -1;
    for (int m = 0; m < protocol::kModeCount; ++m) {
        if (protocol::kModeWidth[m] == width && protocol::kModeHeight[m] == height) mode = m;
    }
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
        PutWord(scene, static_cast<std::size_t>(row) * static_cast<std::size_t>(width) + static_cast<std::size_t>(column),
                kHotPixel);
    }
}

}  // namespace

void FrameGenerator::Generate(const OpticsState &optics, const std::vector<std::uint8_t> &block, int cameraNumber,
                              const framework::VideoFormat &format, std::uint64_t counter,
                              std::vector<std::uint8_t> &bytes) {
    const std::size_t length = framework::FrameLength(format);
    if (optics_.Render(optics, format.width, format.height, length, counter, bytes)) return;
    if (scene_.size() != length || width_ != format.width || height_ != format.height || block != block_ ||
        cameraNumber != cameraNumber_) {
        scene_.assign(length, 0);
        const long long rows = format.height < 0 ? -static_cast<long long>(format.height) : format.height;
        MakeScene(scene_, format.width, static_cast<int>(rows), block, cameraNumber);
        block_ = block;
        cameraNumber_ = cameraNumber;
        width_ = format.width;
        height_ = format.height;
    }
    bytes = scene_;
    // The counter, eight bits per word so that every word stays a 10-bit
    // value: frames can be told apart, and read back, after any correction
    // of the words further on.
    for (std::size_t i = 0; i < 4; ++i) {
        PutWord(bytes, i, static_cast<std::uint16_t>((counter >> (8 * i)) & 0xFF));
    }
}

}  // namespace nuv::sim
