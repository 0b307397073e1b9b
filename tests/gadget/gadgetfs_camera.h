// The whole virtual camera as one USB device through GadgetFS: the device
// side writes its own descriptors, answers the control requests the kernel
// passes up, streams the simulated camera's frames over a bulk endpoint and
// answers vendor commands on the HID interface's interrupt endpoints.
//
// Why not the kernel's UVC function: it streams over isochronous endpoints
// only, and the emulated controller (dummy_hcd) has none. Why not
// FunctionFS: it refuses the video class's own descriptors. GadgetFS passes
// the configuration through as written, and the host's video driver takes
// bulk streaming as well.
#pragma once

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/gadget/camera_descriptors.h"
#include "tests/gadget/command_reports.h"
#include "tests/gadget/sim_frames.h"
#include "tests/gadget/system.h"
#include "tests/gadget/uvc_requests.h"

namespace nuv::sim {
class Firmware;
}

namespace nuv::gadget {

class GadgetfsCamera {
public:
    // dir: where gadgetfs is mounted; the controller's file is the one
    // entry that is not an endpoint. The firmware and the frame source are
    // used under firmwareLock only.
    GadgetfsCamera(const std::string &dir, CameraIdentity identity, SimFrames &frames, nuv::sim::Firmware &firmware,
                   std::mutex &firmwareLock, bool verbose);
    ~GadgetfsCamera();
    GadgetfsCamera(const GadgetfsCamera &) = delete;
    GadgetfsCamera &operator=(const GadgetfsCamera &) = delete;

    // Serves until `stop` is set (by a signal handler: the signal ends the
    // wait for the next event); returns why it ended.
    std::string Serve(const volatile std::sig_atomic_t &stop);

    std::uint64_t FramesSent() const { return framesSent_; }
    std::uint64_t StreamsCommitted() const { return streamsCommitted_; }
    std::uint64_t CommandsAnswered() const { return commandsAnswered_; }

private:
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void Setup(const usb_ctrlrequest &request);
    void StandardRequest(const usb_ctrlrequest &request);
    void HidRequest(const usb_ctrlrequest &request, const std::vector<std::uint8_t> &data);
    void Reply(const std::vector<std::uint8_t> &bytes, std::uint16_t wLength);
    void Stall(const usb_ctrlrequest &request);
    void Acknowledge();
    std::vector<std::uint8_t> Receive(std::uint16_t wLength);

    void StartEndpoints();
    void StopEndpoints();
    OwnedFd OpenEndpoint(const std::string &name, const std::vector<std::uint8_t> &fullSpeed,
                         const std::vector<std::uint8_t> &highSpeed);
    void Start(Worker &worker, void (GadgetfsCamera::*body)());
    void Stop(Worker &worker);
    void Log(const std::string &line) const;

    // Worker bodies.
    void StreamVideo();
    void ReadCommands();
    void WriteReplies();
    void Answer(const std::uint8_t *report, std::size_t length);
    // Sends one frame; false when it was abandoned (new stream, stop, or the
    // host went away).
    bool SendFrame(const std::vector<std::uint8_t> &frame, bool frameId, std::uint64_t generation);

    std::string dir_;
    CameraIdentity identity_;
    SimFrames &frames_;
    nuv::sim::Firmware &firmware_;
    std::mutex &firmwareLock_;
    bool verbose_;
    CameraEndpoints endpoints_;
    UvcRequests requests_;
    OwnedFd ep0_;
    bool highSpeed_ = true;
    bool configured_ = false;

    OwnedFd videoIn_;
    OwnedFd hidIn_;
    OwnedFd hidOut_;
    Worker video_;
    Worker commandReader_;
    Worker replyWriter_;

    // Shared with the workers.
    std::mutex lock_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::optional<UvcStream> stream_;
    std::uint64_t generation_ = 0;  // counts commits: a new one abandons the frame in flight
    std::atomic<int> cameraNumber_{1};  // shapes the frames (the host sets it as hue)
    std::deque<Report> replies_;

    std::atomic<std::uint64_t> framesSent_{0};
    std::atomic<std::uint64_t> streamsCommitted_{0};
    std::atomic<std::uint64_t> commandsAnswered_{0};
};

}  // namespace nuv::gadget
