#include "tests/gadget/gadgetfs_camera.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/usb/gadgetfs.h>
#include <sched.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "platform/sim/firmware.h"
#include "protocol/camera_protocol.h"

namespace nuv::gadget {

namespace {

// Endpoints of the emulated controller (dummy_udc) the camera uses, by the
// names gadgetfs gives their files. The controller checks types against
// the names: bulk may not go on "-int" endpoints, anything but iso may go
// on "-bulk" ones.
constexpr const char *kVideoInName = "ep1in-bulk";
constexpr const char *kHidInName = "ep5in-int";
constexpr const char *kHidOutName = "ep2out-bulk";

// One payload transfer at most; the host sizes its transfers by it.
constexpr std::uint32_t kMaxPayload = 16384;
constexpr std::size_t kPayloadHeader = 2;
constexpr std::uint8_t kHeaderEndOfHeader = 0x80;
constexpr std::uint8_t kHeaderEndOfFrame = 0x02;

constexpr std::uint8_t kHidSetReport = 0x09;
constexpr std::uint8_t kHidGetIdle = 0x02;
constexpr std::uint8_t kHidSetIdle = 0x0A;
constexpr std::uint8_t kHidSetProtocol = 0x0B;
constexpr std::uint8_t kHidDescriptorType = 0x21;
constexpr std::uint8_t kHidReportDescriptorType = 0x22;

// The camera's frame sizes, each at 60 and 30 frames a second (frame
// intervals in 100 ns, shortest first).
UvcLayout CameraLayout() {
    UvcLayout layout;
    layout.maxPayload = kMaxPayload;
    for (const protocol::ImageSize &mode : protocol::kModes) {
        layout.frames.push_back(UvcFrameSize{mode.width, mode.height, {166667, 333333}});
    }
    return layout;
}

// Data bytes of each payload of a frame. Every payload is shorter than the
// payload size and ends in a short packet, so a host that lost its place
// (a stream stopped halfway through a transfer) finds the next header at
// the start of its next transfer.
std::vector<std::size_t> SplitFrame(std::size_t frameBytes, std::size_t packet) {
    std::size_t full = kMaxPayload - 1 - kPayloadHeader;
    while ((full + kPayloadHeader) % packet == 0) --full;
    std::vector<std::size_t> sizes;
    for (std::size_t left = frameBytes; left > 0;) {
        std::size_t take = std::min(left, full);
        if ((take + kPayloadHeader) % packet == 0) --take;  // one byte goes into a last, short payload
        sizes.push_back(take);
        left -= take;
    }
    return sizes;
}

// Interrupts a worker blocked in endpoint i/o (gadgetfs ends a transfer
// interrupted by a signal with EINTR).
void Nothing(int) {}

bool HostGone(int code) { return code == ESHUTDOWN || code == ENODEV || code == ECONNRESET || code == EPIPE; }

std::string Hex(unsigned value, int digits) {
    char text[12];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

std::string FindControllerFile(const std::string &dir) {
    DIR *listing = ::opendir(dir.c_str());
    if (listing == nullptr) FailErrno("cannot list " + dir + " (is gadgetfs mounted there?)");
    std::string found;
    while (const dirent *entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || name.rfind("ep", 0) == 0) continue;
        found = name;
    }
    ::closedir(listing);
    if (found.empty()) throw Error(dir + " holds no controller file (is gadgetfs mounted and a controller loaded?)");
    return found;
}

}  // namespace

GadgetfsCamera::GadgetfsCamera(const std::string &dir, CameraIdentity identity, SimFrames &frames,
                               nuv::sim::Firmware &firmware, std::mutex &firmwareLock, bool verbose)
    : dir_(dir),
      identity_(std::move(identity)),
      frames_(frames),
      firmware_(firmware),
      firmwareLock_(firmwareLock),
      verbose_(verbose),
      requests_(CameraLayout()) {
    struct sigaction action {};
    action.sa_handler = Nothing;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: the blocked transfer must return
    if (::sigaction(SIGUSR1, &action, nullptr) < 0) FailErrno("sigaction");

    const std::string controller = FindControllerFile(dir_);
    const std::string path = dir_ + "/" + controller;
    ep0_ = OwnedFd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!ep0_) FailErrno("cannot open the controller file " + path + " (is another gadget bound to it?)");
    // Message tag 0, the configuration at full speed, at high speed, then
    // the device descriptor.
    std::vector<std::uint8_t> blob(4, 0);
    const std::uint16_t controls = requests_.ControlBitmap();
    for (const auto &part : {ConfigurationDescriptor(requests_.Layout(), controls, endpoints_, false),
                             ConfigurationDescriptor(requests_.Layout(), controls, endpoints_, true),
                             DeviceDescriptor(identity_)}) {
        blob.insert(blob.end(), part.begin(), part.end());
    }
    const ssize_t put = ::write(ep0_.Get(), blob.data(), blob.size());
    if (put < 0) FailErrno("the controller " + controller + " refused the camera's descriptors");
    if (static_cast<std::size_t>(put) != blob.size()) throw Error("the controller took the descriptors short");
    Log("bound to " + controller + " as " + Hex(identity_.vendorId, 4) + ":" + Hex(identity_.productId, 4) + " \"" +
        identity_.product + "\" serial " + identity_.serial);
}

GadgetfsCamera::~GadgetfsCamera() { StopEndpoints(); }

void GadgetfsCamera::Log(const std::string &line) const { std::cerr << "nuv_gadget: " << line << std::endl; }

std::string GadgetfsCamera::Serve(const volatile std::sig_atomic_t &stop) {
    // The data of a control request from the host must be read before the
    // host's next request arrives (gadgetfs completes the data stage on its
    // own, and the next request discards what was not read): this thread
    // waits in the read itself and runs ahead of ordinary threads.
    sched_param priority{};
    priority.sched_priority = 10;
    if (::sched_setscheduler(0, SCHED_FIFO, &priority) < 0 && verbose_) {
        Log(std::string("no real-time priority for control requests: ") + std::strerror(errno));
    }
    for (;;) {
        if (stop) return "stopped by a signal";
        usb_gadgetfs_event events[5];
        const ssize_t got = ::read(ep0_.Get(), events, sizeof events);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            if (errno == EIDRM) {  // the host gave up on a request: events follow
                Log("the host abandoned a control request");
                continue;
            }
            if (errno == EL2HLT) {
                // The request that came while the data of the one before it
                // was still unread: gadgetfs has stalled it on this read.
                Log("a control request came before the data of the one before it was read; it was stalled");
                continue;
            }
            FailErrno("cannot read events from the controller");
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(got) / sizeof events[0]; ++i) {
            const usb_gadgetfs_event &event = events[i];
            switch (event.type) {
            case GADGETFS_CONNECT:
                highSpeed_ = event.u.speed == USB_SPEED_HIGH;
                Log(std::string("the host connected at ") + (highSpeed_ ? "high" : "full") + " speed");
                break;
            case GADGETFS_DISCONNECT:
                Log("the host disconnected");
                StopEndpoints();
                break;
            case GADGETFS_SETUP:
                Setup(event.u.setup);
                break;
            case GADGETFS_SUSPEND:
            case GADGETFS_NOP:
                break;
            }
        }
    }
}

void GadgetfsCamera::Reply(const std::vector<std::uint8_t> &bytes, std::uint16_t wLength) {
    const std::size_t length = std::min<std::size_t>(bytes.size(), wLength);
    if (::write(ep0_.Get(), bytes.data(), length) < 0 && errno != EIDRM) FailErrno("cannot answer a control request");
}

void GadgetfsCamera::Stall(const usb_ctrlrequest &request) {
    // A request whose data came in is past stalling.
    if (!(request.bRequestType & USB_DIR_IN) && request.wLength > 0) return;
    // gadgetfs stalls a request on an i/o call in the wrong direction.
    std::uint8_t nothing = 0;
    const ssize_t result = (request.bRequestType & USB_DIR_IN) ? ::read(ep0_.Get(), &nothing, 0)
                                                               : ::write(ep0_.Get(), &nothing, 0);
    if (result < 0 && errno != EL2HLT && errno != EIDRM) FailErrno("cannot stall a control request");
    if (verbose_) Log("stalled");
}

void GadgetfsCamera::Acknowledge() {
    std::uint8_t nothing = 0;
    if (::read(ep0_.Get(), &nothing, 0) < 0 && errno != EIDRM) FailErrno("cannot acknowledge a control request");
}

std::vector<std::uint8_t> GadgetfsCamera::Receive(std::uint16_t wLength) {
    std::vector<std::uint8_t> data(wLength);
    const ssize_t got = ::read(ep0_.Get(), data.data(), data.size());
    if (got < 0) {
        if (errno == EIDRM || errno == ECANCELED) return {};
        FailErrno("cannot read a control request's data");
    }
    data.resize(static_cast<std::size_t>(got));
    return data;
}

void GadgetfsCamera::Setup(const usb_ctrlrequest &request) {
    // Data from the host first: it is lost once the host's next request
    // arrives.
    const bool in = (request.bRequestType & USB_DIR_IN) != 0;
    std::vector<std::uint8_t> data;
    if (!in && request.wLength > 0) {
        data = Receive(request.wLength);
        if (data.empty()) {
            Log("lost the data of request " + Hex(request.bRequestType, 2) + " " + Hex(request.bRequest, 2) +
                " value " + Hex(request.wValue, 4) + " index " + Hex(request.wIndex, 4) +
                ": the host sent its next request first");
            return;
        }
    }
    if (verbose_) {
        Log("request " + Hex(request.bRequestType, 2) + " " + Hex(request.bRequest, 2) + " value " +
            Hex(request.wValue, 4) + " index " + Hex(request.wIndex, 4) + " length " + std::to_string(request.wLength));
    }
    const unsigned type = request.bRequestType & USB_TYPE_MASK;
    if (type == USB_TYPE_STANDARD) {
        StandardRequest(request);
    } else if (requests_.Addresses(request)) {
        if (request.bRequestType & USB_DIR_IN) {
            const auto answer = requests_.In(request);
            if (answer) {
                Reply(*answer, request.wLength);
            } else {
                Stall(request);
            }
            return;
        }
        if (request.wLength == 0) Acknowledge();
        const std::optional<UvcStream> stream = requests_.Out(request, data.data(), data.size());
        cameraNumber_ = requests_.CameraNumber();
        if (stream) {
            Log("stream committed: YUY2 " + std::to_string(stream->width) + "x" + std::to_string(stream->height) +
                ", frame interval " + std::to_string(stream->interval) + " x 100 ns");
            ++streamsCommitted_;
            {
                std::lock_guard<std::mutex> hold(lock_);
                stream_ = *stream;
                ++generation_;
            }
            changed_.notify_all();
            // A transfer still waiting from an earlier stream is abandoned.
            if (video_.thread.joinable() && !video_.done) ::pthread_kill(video_.thread.native_handle(), SIGUSR1);
        }
    } else if (type == USB_TYPE_CLASS && (request.bRequestType & USB_RECIP_MASK) == USB_RECIP_INTERFACE &&
               (request.wIndex & 0xFF) == kHidInterface) {
        HidRequest(request, data);
    } else {
        Stall(request);
    }
}

void GadgetfsCamera::StandardRequest(const usb_ctrlrequest &request) {
    const unsigned recipient = request.bRequestType & USB_RECIP_MASK;
    const unsigned descriptor = request.wValue >> 8;
    switch (request.bRequest) {
    case USB_REQ_GET_DESCRIPTOR:
        if (recipient == USB_RECIP_DEVICE && descriptor == USB_DT_STRING) {
            const auto text = StringDescriptor(identity_, request.wValue & 0xFF);
            if (text) {
                Reply(*text, request.wLength);
                return;
            }
        } else if (recipient == USB_RECIP_INTERFACE && (request.wIndex & 0xFF) == kHidInterface) {
            if (descriptor == kHidReportDescriptorType) {
                Reply(HidReportDescriptor(), request.wLength);
                return;
            }
            if (descriptor == kHidDescriptorType) {
                Reply(HidClassDescriptor(), request.wLength);
                return;
            }
        }
        break;
    case USB_REQ_SET_CONFIGURATION:
        // Endpoints and workers are ready before the host hears back.
        if ((request.wValue & 0xFF) != 0) {
            StartEndpoints();
        } else {
            StopEndpoints();
        }
        Acknowledge();
        return;
    case USB_REQ_SET_INTERFACE:
        if (request.wValue == 0) {  // every interface has one setting only
            Acknowledge();
            return;
        }
        break;
    case USB_REQ_GET_INTERFACE:
        Reply({0}, request.wLength);
        return;
    default:
        break;
    }
    Stall(request);
}

void GadgetfsCamera::HidRequest(const usb_ctrlrequest &request, const std::vector<std::uint8_t> &data) {
    switch (request.bRequest) {
    case kHidSetIdle:
    case kHidSetProtocol:
        Acknowledge();
        return;
    case kHidGetIdle:
        Reply({0}, request.wLength);
        return;
    case kHidSetReport:
        // An output report over the control pipe (a host without the
        // interrupt OUT endpoint sends it this way).
        if (!data.empty() && (request.wValue >> 8) == 2) {
            Answer(data.data(), data.size());
            return;
        }
        break;
    default:
        break;
    }
    Stall(request);
}

OwnedFd GadgetfsCamera::OpenEndpoint(const std::string &name, const std::vector<std::uint8_t> &fullSpeed,
                                     const std::vector<std::uint8_t> &highSpeed) {
    const std::string path = dir_ + "/" + name;
    OwnedFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd) FailErrno("cannot open the endpoint " + path);
    std::vector<std::uint8_t> config = {1, 0, 0, 0};  // message tag 1
    config.insert(config.end(), fullSpeed.begin(), fullSpeed.end());
    config.insert(config.end(), highSpeed.begin(), highSpeed.end());
    if (::write(fd.Get(), config.data(), config.size()) < 0) FailErrno("the endpoint " + name + " refused its descriptor");
    return fd;
}

void GadgetfsCamera::StartEndpoints() {
    StopEndpoints();
    videoIn_ = OpenEndpoint(kVideoInName,
                            EndpointDescriptor(endpoints_.videoIn, USB_ENDPOINT_XFER_BULK, BulkPacket(false), 0),
                            EndpointDescriptor(endpoints_.videoIn, USB_ENDPOINT_XFER_BULK, BulkPacket(true), 0));
    hidIn_ = OpenEndpoint(
        kHidInName, EndpointDescriptor(endpoints_.hidIn, USB_ENDPOINT_XFER_INT, kHidPacket, InterruptInterval(false)),
        EndpointDescriptor(endpoints_.hidIn, USB_ENDPOINT_XFER_INT, kHidPacket, InterruptInterval(true)));
    hidOut_ = OpenEndpoint(
        kHidOutName, EndpointDescriptor(endpoints_.hidOut, USB_ENDPOINT_XFER_INT, kHidPacket, InterruptInterval(false)),
        EndpointDescriptor(endpoints_.hidOut, USB_ENDPOINT_XFER_INT, kHidPacket, InterruptInterval(true)));
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = false;
        stream_.reset();
        replies_.clear();
    }
    Start(video_, &GadgetfsCamera::StreamVideo);
    Start(commandReader_, &GadgetfsCamera::ReadCommands);
    Start(replyWriter_, &GadgetfsCamera::WriteReplies);
    configured_ = true;
    Log("configured: video on " + std::string(kVideoInName) + ", commands on " + kHidOutName + " / " + kHidInName);
}

void GadgetfsCamera::Start(Worker &worker, void (GadgetfsCamera::*body)()) {
    worker.done = false;
    // The stop signals go to the thread that reads events, not to workers.
    sigset_t stops, previous;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &stops, &previous);
    worker.thread = std::thread([this, &worker, body] {
        try {
            (this->*body)();
        } catch (const std::exception &error) {
            Log(error.what());
        }
        worker.done = true;
    });
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void GadgetfsCamera::Stop(Worker &worker) {
    if (!worker.thread.joinable()) return;
    // Signals until it notices: one sent just before it blocks is lost.
    while (!worker.done) {
        ::pthread_kill(worker.thread.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    worker.thread.join();
}

void GadgetfsCamera::StopEndpoints() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    Stop(video_);
    Stop(commandReader_);
    Stop(replyWriter_);
    videoIn_.Reset();
    hidIn_.Reset();
    hidOut_.Reset();
    if (configured_) Log("endpoints closed");
    configured_ = false;
}

void GadgetfsCamera::Answer(const std::uint8_t *report, std::size_t length) {
    Report reply;
    {
        std::lock_guard<std::mutex> hold(firmwareLock_);
        reply = AnswerCommandReport(firmware_, report, length);
    }
    if (verbose_) Log(DescribeExchange(report, reply));
    ++commandsAnswered_;
    {
        std::lock_guard<std::mutex> hold(lock_);
        replies_.push_back(reply);
    }
    changed_.notify_all();
}

void GadgetfsCamera::ReadCommands() {
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (stopping_) return;
        }
        std::uint8_t report[kReportLength];
        const ssize_t got = ::read(hidOut_.Get(), report, sizeof report);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (HostGone(errno)) return;
            FailErrno(std::string("cannot read a command report from ") + kHidOutName);
        }
        if (got > 0) Answer(report, static_cast<std::size_t>(got));
    }
}

void GadgetfsCamera::WriteReplies() {
    for (;;) {
        Report reply;
        {
            std::unique_lock<std::mutex> hold(lock_);
            changed_.wait(hold, [&] { return stopping_ || !replies_.empty(); });
            if (stopping_) return;
            reply = replies_.front();
        }
        const ssize_t put = ::write(hidIn_.Get(), reply.data(), reply.size());
        if (put < 0) {
            if (errno == EINTR) continue;  // sent again unless stopping
            if (HostGone(errno)) return;
            FailErrno(std::string("cannot write a reply report to ") + kHidInName);
        }
        std::lock_guard<std::mutex> hold(lock_);
        if (!replies_.empty()) replies_.pop_front();
    }
}

void GadgetfsCamera::StreamVideo() {
    std::uint64_t seen = 0;
    bool frameId = false;
    std::vector<std::uint8_t> frame;
    std::uint64_t counter = 0;
    for (;;) {
        UvcStream stream;
        std::uint64_t generation;
        {
            std::unique_lock<std::mutex> hold(lock_);
            changed_.wait(hold, [&] { return stopping_ || (stream_ && generation_ != seen); });
            if (stopping_) return;
            stream = *stream_;
            generation = seen = generation_;
        }
        // At the committed frame interval, as a camera's sensor paces its
        // frames, not as fast as the host reads: a host that reads faster
        // sees the rate it asked for. A frame late by more than an interval
        // moves the schedule on instead of sending a burst.
        const auto interval = std::chrono::microseconds(std::max<std::uint32_t>(stream.interval, 1) / 10);
        auto due = std::chrono::steady_clock::now();
        for (;;) {
            {
                std::unique_lock<std::mutex> hold(lock_);
                if (changed_.wait_until(hold, due, [&] { return stopping_ || generation_ != generation; })) break;
            }
            const auto now = std::chrono::steady_clock::now();
            due = now - due > interval ? now + interval : due + interval;
            {
                std::lock_guard<std::mutex> hold(firmwareLock_);
                frames_.Make(stream.width, stream.height, cameraNumber_, counter, frame);
            }
            frameId = !frameId;
            if (!SendFrame(frame, frameId, generation)) break;
            ++counter;
            ++framesSent_;
        }
    }
}

bool GadgetfsCamera::SendFrame(const std::vector<std::uint8_t> &frame, bool frameId, std::uint64_t generation) {
    const std::vector<std::size_t> sizes = SplitFrame(frame.size(), BulkPacket(highSpeed_));
    std::vector<std::uint8_t> payload(kMaxPayload);
    std::size_t offset = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        payload[0] = kPayloadHeader;
        payload[1] = static_cast<std::uint8_t>(kHeaderEndOfHeader | (frameId ? 1 : 0) |
                                               (i + 1 == sizes.size() ? kHeaderEndOfFrame : 0));
        std::memcpy(payload.data() + kPayloadHeader, frame.data() + offset, sizes[i]);
        offset += sizes[i];
        const ssize_t put = ::write(videoIn_.Get(), payload.data(), kPayloadHeader + sizes[i]);
        if (put < 0) {
            // Interrupted: a new stream or the end. Either way the rest of
            // this frame is not wanted (part of the payload may be gone).
            if (errno == EINTR || HostGone(errno)) return false;
            FailErrno(std::string("cannot send video on ") + kVideoInName);
        }
        std::lock_guard<std::mutex> hold(lock_);
        if (stopping_ || generation_ != generation) return false;
    }
    return true;
}

}  // namespace nuv::gadget
