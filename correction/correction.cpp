// The three correction routines: gain maps from a shading set, and the two
// per-frame steps that NuvReceiveImage applies to its copy of a frame.
//
// Concurrency: the per-frame steps run without the registry lock. Each takes
// one snapshot of the record's parameter block or gain map (a shared
// reference) and uses only that snapshot, so a block or map that another
// thread replaces, or that a close releases, lives until the frame is done.
#include "correction/correction.h"

#include <cmath>
#include <cstring>

namespace nuv {
namespace {

std::uint16_t ReadU16(const std::uint8_t *at) { return static_cast<std::uint16_t>(at[0] | (at[1] << 8)); }

bool ValidCameraNumber(int cameraNumber) { return cameraNumber == 1 || cameraNumber == 2; }

}  // namespace

bool ModeSize(int modeIndex, int *width, int *height) {
    if (modeIndex < 0 || modeIndex >= kModeCount || width == nullptr || height == nullptr) return false;
    *width = kModes[modeIndex].width;
    *height = kModes[modeIndex].height;
    return true;
}

ShadingSet ReadShadingSet(const ParameterBlock &block, int cameraNumber, int modeIndex) {
    return ReadShadingSetBytes(block.data() + ShadingSetOffset(cameraNumber, modeIndex));
}

void WriteShadingSet(ParameterBlock &block, int cameraNumber, int modeIndex, const ShadingSet &set) {
    WriteShadingSetBytes(block.data() + ShadingSetOffset(cameraNumber, modeIndex), set);
}

std::shared_ptr<GainMap> AllocateGainMap(int modeIndex) {
    int width = 0;
    int height = 0;
    if (!ModeSize(modeIndex, &width, &height)) return nullptr;
    return GainMap::Allocate(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
}

bool ComputeGainMap(int cameraNumber, GainMap *map, int modeIndex, const ParameterBlock &block) {
    int width = 0;
    int height = 0;
    if (!ValidCameraNumber(cameraNumber) || map == nullptr || !ModeSize(modeIndex, &width, &height)) return false;
    if (map->Count() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height)) return false;
    const ShadingSet set = ReadShadingSet(block, cameraNumber, modeIndex);
    for (int site = 0; site < 4; ++site) {
        if (!std::isfinite(set.k2[site]) || !std::isfinite(set.k1[site]) || !std::isfinite(set.k0[site])) {
            return false;
        }
    }
    map->Fill(ActiveKernelPath(), width, height, set);
    return true;
}

namespace {

bool CorrectDefectsWith(const ParameterBlock &block, int cameraNumberIndex, int modeIndex, void *image) {
    int width = 0;
    int height = 0;
    if (image == nullptr || !ModeSize(modeIndex, &width, &height)) return false;
    if (cameraNumberIndex != 0 && cameraNumberIndex != 1) return false;
    const std::uint8_t *entries = block.data() + DefectListOffset(cameraNumberIndex + 1, modeIndex);
    auto *bytes = static_cast<unsigned char *>(image);
    const int halfWidth = width / 2;
    const int halfHeight = height / 2;
    for (int i = 0; i < kDefectEntryCount; ++i) {
        const int x = ReadU16(entries + kDefectEntrySize * i);
        const int y = ReadU16(entries + kDefectEntrySize * i + 2);
        if (x >= width || y >= height) continue;  // unused entries (0xFFFF) end here too
        const int sourceX = x < halfWidth ? x + 2 : x - 2;
        const int sourceY = y < halfHeight ? y + 2 : y - 2;
        const std::size_t target = static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + x;
        const std::size_t source =
            static_cast<std::size_t>(sourceY) * static_cast<std::size_t>(width) + sourceX;
        // One entry after the other: a listed source is read as it is now.
        std::memmove(bytes + 2 * target, bytes + 2 * source, 2);
    }
    return true;
}

bool ShadeWith(const GainMap *gains, int modeIndex, void *image) {
    int width = 0;
    int height = 0;
    if (image == nullptr || gains == nullptr || !ModeSize(modeIndex, &width, &height)) return false;
    const std::size_t words = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (gains->Count() < words) return false;
    ShadeWords(ActiveKernelPath(), image, *gains, words);
    return true;
}

}  // namespace

bool CorrectPixelDefects(int handle, int modeIndex, void *image) {
    const CameraRecord *record = LookUpCamera(handle);
    if (record == nullptr) return false;
    const ParameterBlockRef block = record->parameterBlock.load();
    return block != nullptr && CorrectDefectsWith(*block, record->cameraNumberIndex.load(), modeIndex, image);
}

bool CorrectShading(int handle, int modeIndex, void *image) {
    const CameraRecord *record = LookUpCamera(handle);
    if (record == nullptr) return false;
    const int cameraNumberIndex = record->cameraNumberIndex.load();
    if (cameraNumberIndex != 0 && cameraNumberIndex != 1) return false;
    // A map always has the size of the record's mode index; another mode
    // index would read past it (or leave part of the frame unshaded).
    if (modeIndex != record->modeIndex.load()) return false;
    const GainMapRef map = record->gainMaps[cameraNumberIndex].load();
    return ShadeWith(map.get(), modeIndex, image);
}

FrameCorrections CurrentCorrections(const CameraRecord &record) {
    FrameCorrections corrections;
    corrections.modeIndex = record.modeIndex.load();
    corrections.cameraNumberIndex = record.cameraNumberIndex.load();
    if (corrections.modeIndex == -1) return corrections;
    if (corrections.cameraNumberIndex != 0 && corrections.cameraNumberIndex != 1) return corrections;
    if (record.defectSwitch.load() == 1) corrections.defects = record.parameterBlock.load();
    if (record.shadingSwitch.load() == 1) corrections.gains = record.gainMaps[corrections.cameraNumberIndex].load();
    return corrections;
}

void ApplyCorrections(const FrameCorrections &corrections, void *image) {
    if (corrections.defects)
        CorrectDefectsWith(*corrections.defects, corrections.cameraNumberIndex, corrections.modeIndex, image);
    if (corrections.gains) ShadeWith(corrections.gains.get(), corrections.modeIndex, image);
}

namespace {

// The words the defect lists replace, with the values they end up with:
// each entry in list order takes its source's value as it stands then (an
// earlier entry's result, else the raw word), exactly as the in-place
// correction does.
struct Replacements {
    std::size_t target[kDefectEntryCount];
    std::uint16_t value[kDefectEntryCount];
    int count = 0;

    const std::uint16_t *Find(std::size_t index) const {
        for (int i = count - 1; i >= 0; --i)
            if (target[i] == index) return &value[i];
        return nullptr;
    }
    void Set(std::size_t index, std::uint16_t word) {
        for (int i = 0; i < count; ++i) {
            if (target[i] == index) {
                value[i] = word;
                return;
            }
        }
        target[count] = index;
        value[count] = word;
        ++count;
    }
};

Replacements FindReplacements(const ParameterBlock &block, int cameraNumberIndex, int modeIndex,
                              const unsigned char *raw) {
    Replacements found;
    const int width = kModes[modeIndex].width;
    const int height = kModes[modeIndex].height;
    const std::uint8_t *entries = block.data() + DefectListOffset(cameraNumberIndex + 1, modeIndex);
    for (int i = 0; i < kDefectEntryCount; ++i) {
        const int x = ReadU16(entries + kDefectEntrySize * i);
        const int y = ReadU16(entries + kDefectEntrySize * i + 2);
        if (x >= width || y >= height) continue;
        const int sourceX = x < width / 2 ? x + 2 : x - 2;
        const int sourceY = y < height / 2 ? y + 2 : y - 2;
        const std::size_t source = static_cast<std::size_t>(sourceY) * static_cast<std::size_t>(width) + sourceX;
        const std::uint16_t *earlier = found.Find(source);
        found.Set(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + x,
                  earlier ? *earlier : ReadU16(raw + 2 * source));
    }
    return found;
}

}  // namespace

void CopyCorrected(const FrameCorrections &corrections, void *image, const void *source, std::size_t length) {
    const auto *raw = static_cast<const unsigned char *>(source);
    auto *out = static_cast<unsigned char *>(image);
    const bool any = corrections.defects != nullptr || corrections.gains != nullptr;
    int width = 0;
    int height = 0;
    if (!any || !ModeSize(corrections.modeIndex, &width, &height) ||
        (corrections.cameraNumberIndex != 0 && corrections.cameraNumberIndex != 1)) {
        if (length > 0) std::memcpy(out, raw, length);
        return;
    }
    const std::size_t words = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (length < 2 * words) {
        if (length > 0) std::memcpy(out, raw, length);
        ApplyCorrections(corrections, image);
        return;
    }
    Replacements replaced;
    if (corrections.defects)
        replaced = FindReplacements(*corrections.defects, corrections.cameraNumberIndex, corrections.modeIndex, raw);
    const GainMap *gains = corrections.gains.get();
    if (gains != nullptr && gains->Count() < words) gains = nullptr;  // a map of another size: not read past its end
    if (gains != nullptr) ShadeWordsFrom(ActiveKernelPath(), out, raw, *gains, words);
    else std::memcpy(out, raw, 2 * words);
    if (length > 2 * words) std::memcpy(out + 2 * words, raw + 2 * words, length - 2 * words);
    for (int i = 0; i < replaced.count; ++i) {
        const std::size_t at = replaced.target[i];
        const std::uint16_t word = gains != nullptr ? gains->ShadeWord(replaced.value[i], at) : replaced.value[i];
        out[2 * at] = static_cast<unsigned char>(word & 0xFF);
        out[2 * at + 1] = static_cast<unsigned char>(word >> 8);
    }
}

}  // namespace nuv
