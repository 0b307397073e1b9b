// The real sources' rules that need no device: report lengths from report
// descriptors, pixel formats, and the topology that ties a camera's two
// interfaces, on a tree of files shaped like sysfs.
#include <gtest/gtest.h>

#include <linux/videodev2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "discovery/discovery.h"
#include "platform/linux/hidraw_source.h"
#include "platform/linux/sysfs.h"
#include "platform/linux/v4l2_source.h"

namespace nuv::machine {
namespace {

namespace fs = std::filesystem;

// ---- Report descriptors -------------------------------------------------------

// Vendor page, 64-byte input and output reports without report IDs: the
// descriptor a camera's control interface has.
const std::vector<std::uint8_t> kCameraDescriptor = {
    0x06, 0x00, 0xFF,  // usage page (vendor)
    0x09, 0x01,        // usage
    0xA1, 0x01,        // collection (application)
    0x15, 0x00,        //   logical minimum 0
    0x26, 0xFF, 0x00,  //   logical maximum 255
    0x75, 0x08,        //   report size 8
    0x95, 0x40,        //   report count 64
    0x09, 0x01, 0x81, 0x02,  // usage, input (data, variable, absolute)
    0x09, 0x01, 0x91, 0x02,  // usage, output
    0xC0,              // end collection
};

TEST(ReportDescriptor, ACameraInterfaceHasSixtyFiveByteReportsAsTheOsCountsThem) {
    const ReportLayout layout = ParseReportDescriptor(kCameraDescriptor.data(), kCameraDescriptor.size());
    EXPECT_EQ(layout.inputBytes, 64);
    EXPECT_EQ(layout.outputBytes, 64);
    EXPECT_FALSE(layout.numbered);
}

TEST(ReportDescriptor, NumberedReportsTakeTheLongestOfEachKindAndPushPopRestoresTheGlobals) {
    const std::vector<std::uint8_t> descriptor = {
        0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,
        0x85, 0x01, 0x75, 0x08, 0x95, 0x10, 0x81, 0x02,  // ID 1: 16-byte input
        0xA4,                                            // push
        0x85, 0x02, 0x75, 0x10, 0x95, 0x20, 0x81, 0x02,  // ID 2: 32 x 16 bits = 64 bytes input
        0xB4,                                            // pop: ID 1, 8 bits x 16
        0x91, 0x02,                                      // ID 1: 16-byte output
        0x75, 0x01, 0x95, 0x03, 0x91, 0x02,              // and 3 bits more: 17 bytes
        0xFE, 0x02, 0x00, 0xAA, 0xBB,                    // a long item, skipped whole
        0xC0,
    };
    const ReportLayout layout = ParseReportDescriptor(descriptor.data(), descriptor.size());
    EXPECT_TRUE(layout.numbered);
    EXPECT_EQ(layout.inputBytes, 64);
    EXPECT_EQ(layout.outputBytes, 17);
}

TEST(ReportDescriptor, ATruncatedDescriptorIsReadNoFurtherThanItsEnd) {
    for (std::size_t cut = 0; cut < kCameraDescriptor.size(); ++cut) {
        // Exactly the bytes given: a read past them shows under the
        // sanitizers.
        std::vector<std::uint8_t> part(kCameraDescriptor.begin(), kCameraDescriptor.begin() + cut);
        const ReportLayout layout = ParseReportDescriptor(part.data(), part.size());
        EXPECT_LE(layout.inputBytes, 64) << cut;
    }
    const std::uint8_t longItemCut[] = {0xFE, 0x40, 0x00};
    EXPECT_EQ(ParseReportDescriptor(longItemCut, sizeof longItemCut).inputBytes, 0);
}

// ---- Pixel formats ------------------------------------------------------------------

TEST(PixelFormat, NamedFormatsMapToTheSubtypesTheLibraryNamesAndBack) {
    const GUID yuy2 = SubtypeOfPixelFormat(V4L2_PIX_FMT_YUYV);
    EXPECT_EQ(yuy2, MEDIASUBTYPE_YUY2);
    EXPECT_EQ(PixelFormatOfSubtype(MEDIASUBTYPE_YUY2), static_cast<std::uint32_t>(V4L2_PIX_FMT_YUYV));
    EXPECT_EQ(SubtypeOfPixelFormat(V4L2_PIX_FMT_MJPEG), MEDIASUBTYPE_MJPG);
    EXPECT_EQ(SubtypeOfPixelFormat(V4L2_PIX_FMT_BGR24), MEDIASUBTYPE_RGB24);
    EXPECT_EQ(PixelFormatOfSubtype(MEDIASUBTYPE_RGB24), static_cast<std::uint32_t>(V4L2_PIX_FMT_BGR24));
    EXPECT_EQ(BitsPerPixel(V4L2_PIX_FMT_YUYV), 16);
    EXPECT_EQ(BitsPerPixel(V4L2_PIX_FMT_MJPEG), 0);
    // Any other four-character code passes through as itself.
    const std::uint32_t grey = V4L2_PIX_FMT_GREY;
    EXPECT_EQ(PixelFormatOfSubtype(SubtypeOfPixelFormat(grey)), grey);
    EXPECT_EQ(PixelFormatOfSubtype(GUID{0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}}), 0u) << "not a code";
}

// ---- Topology on a tree shaped like sysfs ----------------------------------------------

class FakeSysfs : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() /
               ("nuv_sysfs_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(root);
        fs::create_directories(root / "sys/class/video4linux");
        fs::create_directories(root / "sys/class/hidraw");
        fs::create_directories(root / "dev");
    }
    void TearDown() override { fs::remove_all(root); }

    static void Write(const fs::path &file, const std::string &text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }

    // A USB camera at port path `port` ("1-1"): a video interface 0 with
    // node videoN and a HID interface 1 with node hidrawN.
    fs::path AddCamera(const std::string &port, const std::string &product, const std::string &serial, int video,
                       int hidraw) {
        const fs::path device = root / "sys/devices/pci0000:00/usb1" / port;
        Write(device / "idVendor", "1d6b\n");
        Write(device / "idProduct", "0102\n");
        Write(device / "product", product + "\n");
        Write(device / "serial", serial + "\n");
        const fs::path videoInterface = device / (port + ":1.0");
        Write(videoInterface / "bInterfaceNumber", "00\n");
        fs::create_directories(videoInterface / "video4linux" / ("video" + std::to_string(video)));
        const fs::path videoEntry = root / "sys/class/video4linux" / ("video" + std::to_string(video));
        fs::create_directories(videoEntry);
        fs::create_directory_symlink(videoInterface, videoEntry / "device");
        const fs::path hidInterface = device / (port + ":1.1");
        Write(hidInterface / "bInterfaceNumber", "01\n");
        const fs::path hid = hidInterface / ("0003:1D6B:0102.000" + std::to_string(hidraw));
        Write(hid / "report_descriptor", std::string(kCameraDescriptor.begin(), kCameraDescriptor.end()));
        Write(hid / "uevent", "DRIVER=hid-generic\nHID_NAME=" + product + "\nHID_UNIQ=" + serial + "\n");
        fs::create_directories(root / "sys/class/hidraw" / ("hidraw" + std::to_string(hidraw)));
        fs::create_directory_symlink(hid, root / "sys/class/hidraw" / ("hidraw" + std::to_string(hidraw)) / "device");
        return device;
    }

    std::string Sys() const { return (root / "sys").string(); }
    std::string Dev() const { return (root / "dev").string(); }

    fs::path root;
};

// The rule the library applies to a HID interface's parent instance ID
// (lower case, after the last backslash, up to the second "&") must find
// the video interface of the same USB device, and no other.
TEST_F(FakeSysfs, TheKeyRuleTiesEachCamerasTwoInterfacesAndKeepsCamerasOfOneNameApart) {
    AddCamera("1-1", "NUV2", "1A2B3C04", 0, 0);
    AddCamera("1-2.3", "NUV2", "1A2B3C05", 2, 1);
    const auto videoA = FindUsbPlace(Sys() + "/class/video4linux/video0/device");
    const auto videoB = FindUsbPlace(Sys() + "/class/video4linux/video2/device");
    ASSERT_TRUE(videoA && videoB);
    EXPECT_EQ(videoA->productName, "NUV2");
    EXPECT_EQ(videoA->interfaceNumber, 0);
    const auto hidA = HidrawSource::Describe("hidraw0", Sys(), Dev());
    const auto hidB = HidrawSource::Describe("hidraw1", Sys(), Dev());
    ASSERT_TRUE(hidA && hidB);
    for (const auto &[hid, own, other] : {std::tuple{hidA, videoA, videoB}, std::tuple{hidB, videoB, videoA}}) {
        char key[MAX_DEVICE_ID_LEN];
        ASSERT_TRUE(ParentInstanceKey(hid->ParentInstanceId().c_str(), key, sizeof key)) << hid->ParentInstanceId();
        EXPECT_NE(UsbDisplayName(*own).find(key), std::string::npos) << key;
        EXPECT_EQ(UsbDisplayName(*other).find(key), std::string::npos) << key;
        EXPECT_NE(UsbDisplayName(*own).find("@device:pnp"), std::string::npos);
    }
    EXPECT_NE(hidA->InstanceId(), hidB->InstanceId());
}

TEST_F(FakeSysfs, AHidrawNodeReportsItsSerialLengthsAndPresence) {
    AddCamera("3-1", "NUV2", "1A2B3C04", 0, 5);
    const auto hid = HidrawSource::Describe("hidraw5", Sys(), Dev());
    ASSERT_TRUE(hid);
    EXPECT_EQ(hid->Path(), Dev() + "/hidraw5");
    EXPECT_EQ(hid->InputReportLength(), 65);
    EXPECT_EQ(hid->OutputReportLength(), 65);
    framework::WideText serial;
    ASSERT_TRUE(hid->SerialString(&serial));
    EXPECT_EQ(framework::Narrow(serial), "1A2B3C04");
    EXPECT_FALSE(hid->Present()) << "no device node yet";
    EXPECT_EQ(hid->Open(0), nullptr);
    Write(root / "dev/hidraw5", "");
    EXPECT_TRUE(hid->Present());
    EXPECT_EQ(HidrawSource::Describe("hidraw9", Sys(), Dev()), nullptr) << "no such node";
}

TEST_F(FakeSysfs, AHidDeviceOnNoUsbBusBelongsToNoCamera) {
    const fs::path hid = root / "sys/devices/virtual/misc/uhid/0003:1234:5678.0001";
    Write(hid / "report_descriptor", std::string(kCameraDescriptor.begin(), kCameraDescriptor.end()));
    Write(hid / "uevent", "HID_UNIQ=\n");
    fs::create_directories(root / "sys/class/hidraw/hidraw0");
    fs::create_directory_symlink(hid, root / "sys/class/hidraw/hidraw0/device");
    const auto source = HidrawSource::Describe("hidraw0", Sys(), Dev());
    ASSERT_TRUE(source);
    EXPECT_EQ(source->ParentInstanceId(), "");
    framework::WideText serial;
    EXPECT_FALSE(source->SerialString(&serial)) << "an empty serial is none";
}

TEST_F(FakeSysfs, ClassEntriesComeInNumericOrder) {
    for (int n : {10, 2, 0, 1}) fs::create_directories(root / "sys/class/video4linux" / ("video" + std::to_string(n)));
    fs::create_directories(root / "sys/class/video4linux/v4l-subdev0");
    fs::create_directories(root / "sys/class/video4linux/videoX");
    EXPECT_EQ(ClassEntries(Sys() + "/class/video4linux", "video"),
              (std::vector<std::string>{"video0", "video1", "video2", "video10"}));
}

}  // namespace
}  // namespace nuv::machine
