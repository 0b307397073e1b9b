// An application that uses one camera from two threads, through the public
// calls only: a close while another thread sends vendor commands and asks
// for the rewrite state, and shading sets replaced while another thread
// receives frames. The sanitizer builds run these without any suppression;
// what they check beyond that is what the application sees.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sim_fixture.h"

namespace {

using nuv::testing::Counter;

constexpr int kWidth = 328;  // mode 2: small frames keep the streaming cheap
constexpr int kHeight = 204;
constexpr int kMode = 2;
constexpr int kRewriteStarted = 3;
constexpr int kNoJob = -1;  // also the state of a job that failed

class ClientThreads : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        device_ = NuvSimAddCamera("NUV2", 0x00FF0001, 1);
        ASSERT_GT(device_, 0);
    }
    void TearDown() override {
        NuvSimHoldNewThreads(0);
        if (!image_.empty()) std::filesystem::remove(image_);
        SimTest::TearDown();
    }

    std::vector<std::uint16_t> Flat(std::uint16_t value) const {
        return std::vector<std::uint16_t>(static_cast<std::size_t>(kWidth) * kHeight, value);
    }
    bool Push(const std::vector<std::uint16_t> &words, double sampleTime) const {
        return NuvSimPushFrame(device_, words.data(), static_cast<int>(words.size() * 2), sampleTime) == 1;
    }
    // The camera at position 0, with one pushed frame waiting, so that every
    // later frame is the test's own.
    int Open() const {
        Push(Flat(100), 0.5);
        return NuvOpen(0, kWidth, kHeight, 30.0, "YUY2");
    }
    const std::string &Image() {
        if (image_.empty()) {
            // Named after the test: tests run in parallel processes.
            image_ = (std::filesystem::temp_directory_path() /
                      ("nuv_client_" +
                       std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".bin"))
                         .string();
            std::ofstream(image_, std::ios::binary) << std::string(4096, '\x5A');
        }
        return image_;
    }

    int device_ = 0;
    std::string image_;
};

// Every call of the commanding thread either works on the open camera or
// fails cleanly once the close has taken the camera away; the control
// channel closes when the last command holding it lets go.
TEST_F(ClientThreads, CloseWhileAnotherThreadSendsCommandsAndAsksTheRewriteState) {
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(Open(), 0);
        // The worker does not run until the close waits for it: the job
        // stays "started" for as long as the camera is open.
        NuvSimHoldNewThreads(1);
        ASSERT_EQ(NuvSoftRewrite(0, Image().c_str()), 1);

        std::atomic<bool> stop{false};
        std::atomic<bool> closing{false};
        std::atomic<bool> closed{false};
        std::atomic<int> unexpected{0};
        Counter answered;
        Counter afterClose;
        std::thread commander([&] {
            while (!stop.load()) {
                const bool wasClosed = closed.load();
                unsigned short shutter = 0;
                int serial = 0;
                int elapsed = 0;
                float progress = 0.0f;
                const bool shutterRead = NuvGetShutter(0, &shutter) == 1;
                const bool serialRead = NuvGetSerialNo(0, &serial) == 1;
                const int state = NuvSoftRewriteState(0, &elapsed, &progress);
                // Calls that ended before the close began meet the job as
                // started: the held worker cannot have run yet. The close
                // lets it go, so calls beside the close may see the job in
                // any of its states, final ones included.
                const bool beforeClose = !closing.load();
                if (beforeClose && state != kRewriteStarted) ++unexpected;
                if (state < kNoJob || state > kRewriteStarted) ++unexpected;
                if (wasClosed) {
                    if (shutterRead || serialRead || state != kNoJob) ++unexpected;
                    afterClose.Add();
                } else if (shutterRead && serialRead && state == kRewriteStarted) {
                    if (serial != 0x00FF0001) ++unexpected;
                    answered.Add();
                }
            }
        });
        EXPECT_TRUE(answered.WaitFor(3));
        closing = true;
        NuvClose(0);
        closed = true;
        EXPECT_TRUE(afterClose.WaitFor(2));
        stop = true;
        commander.join();
        NuvSimHoldNewThreads(0);

        EXPECT_EQ(unexpected.load(), 0);
        unsigned short shutter = 0;
        EXPECT_EQ(NuvGetShutter(0, &shutter), 0);
        int elapsed = 0;
        float progress = 0.0f;
        EXPECT_EQ(NuvSoftRewriteState(0, &elapsed, &progress), kNoJob);
        EXPECT_EQ(NuvSimOpenHandles(), 0) << "the channel closed with its last user";
    }
}

// Frames received while the shading sets change are each corrected with
// one whole map, the old or the new, and a frame received after a set was
// stored is corrected with it; no map is released under a frame.
TEST_F(ClientThreads, ShadingSetsReplacedWhileAnotherThreadReceives) {
    ASSERT_EQ(Open(), 0);
    int cameraNo = 0;
    ASSERT_EQ(NuvGetCameraNo(0, &cameraNo), 1);

    // Flat gains, so that a frame shaded with one map is flat: 1 and 1/2.
    // (The defect lists stay on: they replace pixels of a flat frame with
    // their equals, and the receive reads the block that each set replaces.)
    const double centre[2] = {kWidth / 2.0, kHeight / 2.0};
    const double zero[4] = {0.0, 0.0, 0.0, 0.0};
    const double one[4] = {1.0, 1.0, 1.0, 1.0};
    const double half[4] = {0.5, 0.5, 0.5, 0.5};
    ASSERT_EQ(NuvSetShadingCorrection(0, cameraNo, kMode, centre, zero, zero, one), 1);
    std::vector<std::uint16_t> first(static_cast<std::size_t>(kWidth) * kHeight);
    ASSERT_EQ(NuvReceiveImage(0, first.data()), 1);  // the frame of the open; the rest are 400

    const std::vector<std::uint16_t> raw = Flat(400);
    const std::vector<std::uint16_t> whole = Flat(400);
    const std::vector<std::uint16_t> halved = Flat(200);
    std::atomic<bool> stop{false};
    std::atomic<int> mixed{0};
    std::atomic<int> last{0};
    Counter received;
    std::thread pusher([&] {
        for (double t = 1.0; !stop.load(); t += 1.0) Push(raw, t);
    });
    std::thread receiver([&] {
        std::vector<std::uint16_t> image(raw.size());
        while (!stop.load()) {
            if (NuvReceiveImage(0, image.data()) != 1) continue;
            if (image == whole) last = 400;
            else if (image == halved) last = 200;
            else ++mixed;
            received.Add();
        }
    });

    for (int i = 0; i < 12; ++i) {
        SCOPED_TRACE(i);
        const bool toHalf = i % 2 == 0;
        ASSERT_EQ(NuvSetShadingCorrection(0, cameraNo, kMode, centre, zero, zero, toHalf ? half : one), 1);
        // The second frame counted from here was received wholly after the
        // set was stored (the first may have started before).
        const int from = received.Value();
        ASSERT_TRUE(received.WaitFor(from + 2));
        EXPECT_EQ(last.load(), toHalf ? 200 : 400);
    }
    stop = true;
    pusher.join();
    receiver.join();
    EXPECT_EQ(mixed.load(), 0) << "a frame corrected with parts of two maps, or none";
    NuvClose(0);
    EXPECT_EQ(NuvSimOpenHandles(), 0);
}

}  // namespace
