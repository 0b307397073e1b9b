// Where the video side of a camera meets its control side: the firmware's
// parameter block shapes the frames, and a library camera is a composite
// device of a video device and a HID interface tied by the parent instance key.
#include <cstdio>

#include "platform/sim/hid_interface.h"
#include "platform/sim/video_com.h"

namespace nuv::sim {

bool ReadCameraParameterBlock(const VirtualCamera &camera, std::vector<std::uint8_t> &block) {
    std::shared_ptr<HidInterface> hid;
    {
        World &world = World::Instance();
        std::lock_guard<std::mutex> hold(world.Lock());
        hid = camera.hid;
    }
    if (!hid) return false;
    block.resize(Firmware::kParameterBlockSize);
    hid->WithFirmware([&](Firmware &firmware) {
        firmware.FlashPeek(Firmware::kParameterBlockAddress, block.data(), block.size());
        return 0;
    });
    return true;
}

int AddLibraryCamera(World &world, const std::wstring &friendlyName, std::uint32_t serialNumber, bool plugAndPlay) {
    const int id = world.AddDevice(friendlyName, plugAndPlay);
    char path[160];
    std::snprintf(path, sizeof path,
                  "\\\\?\\hid#vid_1d6b&pid_0102&mi_01#8&%08x&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                  0x3C4D0000u + static_cast<unsigned>(id));
    char serial[16];
    std::snprintf(serial, sizeof serial, "%08X", serialNumber);
    auto hid = std::make_shared<HidInterface>(path, ParentInstanceIdFor(DefaultInstanceKey(id)), Widen(serial),
                                              std::make_shared<Firmware>(serialNumber));
    const int hidId = world.AddHidInterface(std::move(hid));
    world.AttachHidInterface(id, hidId);
    return id;
}

void AddDefaultCameras(World &world) {
    AddLibraryCamera(world, L"NUV", 0x1A2B3C01u, true);
    AddLibraryCamera(world, L"NUV2", 0x1A2B3C02u, true);
}

}  // namespace nuv::sim
