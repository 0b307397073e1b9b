// Device lists, serial tags, the control-channel search and format lists,
// through the public exports against simulated devices.
#include <limits>
#include <cstring>
#include <string>

#include "api/registry.h"
#include "common/process_state.h"
#include "control/hid_transport.h"
#include "discovery/discovery.h"
#include "sim_fixture.h"

namespace {

class DiscoveryTest : public SimTest {
protected:
    void TearDown() override {
        EXPECT_EQ(NuvSimLiveComObjects(), 0) << "a listing call left a COM object alive";
        EXPECT_EQ(NuvSimLiveComInits(), 0);
        EXPECT_EQ(NuvSimLiveDeviceInfoSets(), 0);
        EXPECT_EQ(NuvSimOpenHandles(), 0);
        EXPECT_EQ(NuvSimLiveHidPreparsedData(), 0);
        // The process-wide state the listings leave behind, back to its
        // initial values for the tests that follow in this process.
        nuv::Process().lastComStatus = 0;
        nuv::Process().deviceListSize = 1024;
        SimTest::TearDown();
    }

    static std::string List(int(NUV_CALL *call)(char *, int), int *result, int size = 1024) {
        std::string buffer(static_cast<std::size_t>(size), 'x');
        *result = call(buffer.data(), size);
        return std::string(buffer.c_str());
    }
};

TEST_F(DiscoveryTest, EmptyWorldListsNothingAndStoresTheSize) {
    char list[16] = "junk";
    nuv::Process().deviceListSize = 7;
    EXPECT_EQ(NuvGetDevice(list, 16), 0);
    EXPECT_STREQ(list, "");
    EXPECT_EQ(nuv::Process().deviceListSize.load(), 16);
    EXPECT_EQ(NuvGetDeviceWithSerialNo(list, 12), 0);
    EXPECT_EQ(nuv::Process().deviceListSize.load(), 12);
    EXPECT_EQ(nuv::Process().lastComStatus.load(), S_FALSE) << "an empty category answers S_FALSE";
}

// Only a list that was written decides the size later opens remember: a
// call with no buffer must not leave a size nobody's list ever had.
TEST_F(DiscoveryTest, ACallThatWritesNoListLeavesTheRememberedSizeAlone) {
    for (int devices = 0; devices <= 1; ++devices) {
        SCOPED_TRACE(devices);
        if (devices == 1) NuvSimAddDevice("NUV", 1);
        nuv::Process().deviceListSize = 1024;
        EXPECT_EQ(NuvGetDevice(nullptr, std::numeric_limits<int>::max()), devices == 0 ? 0 : -1);
        EXPECT_EQ(NuvGetDeviceWithSerialNo(nullptr, std::numeric_limits<int>::max()), devices == 0 ? 0 : -1);
        char list[8] = "junk";
        EXPECT_EQ(NuvGetDevice(list, 0), devices == 0 ? 0 : -1);
        EXPECT_STREQ(list, "junk") << "a size of 0 leaves room for nothing";
        EXPECT_EQ(nuv::Process().deviceListSize.load(), 1024);
    }
}

TEST_F(DiscoveryTest, ListFitsOnlyWithTwoBytesBeyondItsLength) {
    NuvSimAddDevice("NUV", 1);
    NuvSimAddDevice("NUV2", 1);
    nuv::Process().deviceListSize = 1024;
    for (int size = 0; size <= 12; ++size) {
        SCOPED_TRACE(size);
        char list[16];
        std::memset(list, 'x', sizeof list);
        const int result = NuvGetDevice(list, size);
        if (size >= 10) {
            EXPECT_EQ(result, 2);
            EXPECT_STREQ(list, "NUV,NUV2");
            EXPECT_EQ(nuv::Process().deviceListSize.load(), size);
        } else {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(nuv::Process().deviceListSize.load(), 1024) << "a failed listing keeps the stored size";
            if (size >= 1) {
                EXPECT_LT(std::strlen(list), static_cast<std::size_t>(size));
            }
            for (int i = size; i < 16; ++i) ASSERT_EQ(list[i], 'x') << "byte " << i << " written";
        }
    }
    // The pieces that fitted stay: "NUV" and the separator.
    char list[8];
    EXPECT_EQ(NuvGetDevice(list, 6), -1);
    EXPECT_STREQ(list, "NUV,");
}

TEST_F(DiscoveryTest, NullListOrNoRoomWritesNothing) {
    EXPECT_EQ(NuvGetDevice(nullptr, 100), 0) << "nothing to list";
    NuvSimAddDevice("Cam", 1);
    char list[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(NuvGetDevice(list, 0), -1);
    EXPECT_EQ(NuvGetDevice(list, -5), -1);
    EXPECT_EQ(NuvGetDevice(nullptr, 100), -1);
    EXPECT_EQ(NuvGetDeviceWithSerialNo(list, 0), -1);
    EXPECT_EQ(NuvGetDeviceWithSerialNo(nullptr, 64), -1);
    EXPECT_EQ(NuvGetFormat(0, list, 0), 0);
    EXPECT_EQ(NuvGetFormat(0, nullptr, 100), 0);
    for (char c : list) EXPECT_EQ(c, 'x');
}

TEST_F(DiscoveryTest, NamesAreListedAsTheDevicesCallThemselves) {
    NuvSimAddDevice("Left,Right", 1);
    NuvSimAddDevice("Virtual Cam", 0);  // a software source between two cameras
    NuvSimAddDevice("NUV", 1);
    const int unnamed = NuvSimAddDevice("x", 1);
    NuvSimSetFriendlyName(unnamed, nullptr);
    const std::string longName(400, 'L');
    NuvSimAddDevice((longName + "\xC3\xA9").c_str(), 1);
    int result = 0;
    const std::string list = List(NuvGetDevice, &result, 2048);
    EXPECT_EQ(result, 4);
    EXPECT_EQ(list, "Left-Right,NUV,," + std::string(255, 'L')) << "255 bytes kept of a long name, no name for none";

    char name[nuv::kDeviceNameSize];
    char display[nuv::kDisplayNameSize];
    ASSERT_EQ(nuv::EnumVideoDevice(1, name, display), nuv::kBuildOk);
    EXPECT_STREQ(name, "NUV");
    EXPECT_NE(std::strstr(display, "@device:pnp"), nullptr);
    EXPECT_EQ(nuv::EnumVideoDevice(4, name, nullptr), nuv::kBuildNoDevice);
}

TEST_F(DiscoveryTest, AFilterThatCannotBeCreatedEndsTheList) {
    NuvSimAddDevice("A", 1);
    NuvSimSetFilterFails(NuvSimAddDevice("Broken", 1), 1);
    NuvSimAddDevice("C", 1);
    int result = 0;
    EXPECT_EQ(List(NuvGetDevice, &result), "A");
    EXPECT_EQ(result, 1);
    char name[nuv::kDeviceNameSize];
    EXPECT_EQ(nuv::EnumVideoDevice(1, name, nullptr), nuv::kBuildAddFilter);
}

TEST_F(DiscoveryTest, FrameworkFailuresEndTheListWithTheirStatus) {
    NuvSimAddDevice("A", 1);
    char name[nuv::kDeviceNameSize];
    const struct {
        int step;
        int status;
    } cases[] = {{3, nuv::kBuildFilterGraph}, {4, nuv::kBuildDeviceEnumerator}, {5, nuv::kBuildClassEnumerator},
                 {6, nuv::kBuildDisplayName}, {7, nuv::kBuildAddFilter}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.step);
        ASSERT_EQ(NuvSimFailBuildStep(c.step, 1), 1);
        EXPECT_EQ(nuv::EnumVideoDevice(0, name, nullptr), c.status);
        EXPECT_NE(nuv::Process().lastComStatus.load(), S_OK);
        EXPECT_EQ(nuv::EnumVideoDevice(0, name, nullptr), nuv::kBuildOk);
    }
}

TEST_F(DiscoveryTest, ProcessComFlagLeavesComToTheLibrary) {
    NuvSimAddDevice("A", 1);
    nuv::Process().processComFlag = 1;
    char list[16];
    EXPECT_EQ(NuvGetDevice(list, 16), 1);
    nuv::Process().processComFlag = 0;
    EXPECT_EQ(NuvSimLiveComInits(), 0) << "no initialisation of its own while the flag is set";
}

// ---- Serial numbers and the control channel ---------------------------------

TEST_F(DiscoveryTest, ListingOnAThreadThatHasComLeavesItsInitialisationBalanced) {
    NuvSimAddCamera("NUV", 0x0012ABCD, 1);
    ASSERT_EQ(nuv::os::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    char list[512];
    EXPECT_EQ(NuvGetDeviceWithSerialNo(list, sizeof list), 1);
    EXPECT_EQ(NuvGetFormat(0, list, sizeof list), 1);
    EXPECT_EQ(NuvSimLiveComInits(), 1) << "only the thread's own initialisation is left";
    nuv::os::CoUninitialize();
}

TEST_F(DiscoveryTest, CamerasOnOneHubCarryTheirOwnSerials) {
    NuvSimAddCamera("NUV", 0x0012ABCD, 1);
    NuvSimAddDevice("Cam A", 1);
    NuvSimAddCamera("NUV2", 0x00FF0001, 1);
    int result = 0;
    EXPECT_EQ(List(NuvGetDeviceWithSerialNo, &result), "NUV#0012ABCD,Cam A,NUV2#00FF0001");
    EXPECT_EQ(result, 3);
    EXPECT_EQ(List(NuvGetDevice, &result), "NUV,Cam A,NUV2");
}

TEST_F(DiscoveryTest, OnlyExactTagsAreSearched) {
    NuvSimAddCamera("nuv", 0x11111111, 1);
    NuvSimAddCamera("NUV ", 0x22222222, 1);
    NuvSimAddCamera("NUV2", 0x33333333, 1);
    int result = 0;
    EXPECT_EQ(List(NuvGetDeviceWithSerialNo, &result), "nuv,NUV ,NUV2#33333333");
}

TEST_F(DiscoveryTest, SerialTextIsAtMostEightNarrowedCharacters) {
    const int camera = NuvSimAddDevice("NUV", 1);
    char parent[128];
    ASSERT_EQ(NuvSimGetParentInstanceId(camera, parent, sizeof parent), 1);
    const int hid = NuvSimAddHidInterface("\\\\?\\hid#short", parent, "AB12C", 5, 0, 0);
    NuvSimAttachHidInterface(camera, hid);
    const int other = NuvSimAddDevice("NUV", 1);
    ASSERT_EQ(NuvSimGetParentInstanceId(other, parent, sizeof parent), 1);
    NuvSimAddHidInterface("\\\\?\\hid#long", parent, "0123456789ABCDEF", 6, 0, 0);
    int result = 0;
    EXPECT_EQ(List(NuvGetDeviceWithSerialNo, &result), "NUV#AB12C,NUV#01234567");
    // An entry with eight characters needs 12 characters plus the two spare bytes.
    char list[32];
    EXPECT_EQ(NuvGetDeviceWithSerialNo(list, 23), -1);
    EXPECT_EQ(NuvGetDeviceWithSerialNo(list, 24), 2);
}

TEST_F(DiscoveryTest, ParentIdsThatBreakTheKeyRuleNeverMatch) {
    EXPECT_EQ(nuv::ParentInstanceKey("USB\\VID_1234&PID_5678&MI_01\\7&2A1B3C4D&0&0001", nullptr, 0), false);
    char key[64];
    ASSERT_TRUE(nuv::ParentInstanceKey("USB\\VID_1234&PID_5678&MI_01\\7&2A1B3C4D&0&0001", key, sizeof key));
    EXPECT_STREQ(key, "7&2a1b3c4d");
    EXPECT_FALSE(nuv::ParentInstanceKey("USB\\VID_1234&PID_5678&MI_01\\7&2A1B3C4D", key, sizeof key));
    EXPECT_FALSE(nuv::ParentInstanceKey("no backslash & here & there", key, sizeof key));

    const int camera = NuvSimAddDevice("NUV", 1);
    char keyText[32];
    ASSERT_EQ(NuvSimGetInstanceKey(camera, keyText, sizeof keyText), 1);
    // The key itself, but without a second '&' after the last '\'.
    const std::string broken = std::string("USB\\VID_1D6B&PID_0102&MI_01\\") + keyText;
    NuvSimAddHidInterface("\\\\?\\hid#broken", broken.c_str(), "DEADBEEF", 1, 0, 0);
    NuvSimAddHidInterface("\\\\?\\hid#orphan", "", "CAFEF00D", 2, 0, 0);
    int result = 0;
    EXPECT_EQ(List(NuvGetDeviceWithSerialNo, &result), "NUV");
}

TEST_F(DiscoveryTest, UnreadableInterfacesAreSkippedForTheNextMatch) {
    const int camera = NuvSimAddDevice("NUV2", 1);
    char parent[128];
    NuvSimGetParentInstanceId(camera, parent, sizeof parent);
    // First match: a path nothing answers on (unplugged between listing and open).
    const int gone = NuvSimAddHidInterface("\\\\?\\hid#gone", parent, "GONEGONE", 1, 0, 0);
    NuvSimAddHidInterface("\\\\?\\hid#good", parent, "600D600D", 2, 0, 0);
    ASSERT_EQ(NuvSimRemoveHidInterface(gone), 1);
    int result = 0;
    EXPECT_EQ(List(NuvGetDeviceWithSerialNo, &result), "NUV2#600D600D");
}

TEST_F(DiscoveryTest, ControlChannelSearchOpensTheMatchingInterfaceForTheTransport) {
    NuvSimAddCamera("NUV", 0x01020304, 1);
    const int second = NuvSimAddCamera("NUV", 0x0A0B0C0D, 1);
    char name[nuv::kDeviceNameSize];
    char display[nuv::kDisplayNameSize];
    ASSERT_EQ(nuv::EnumVideoDevice(1, name, display), nuv::kBuildOk);
    NuvSimSetHidReportLengths(NuvSimCameraHidInterface(second), 80, 70);
    {
        nuv::ControlChannelRef channel = nuv::OpenControlChannel(display);
        ASSERT_NE(channel, nullptr);
        EXPECT_EQ(NuvSimOpenHandles(), 1);
        EXPECT_EQ(NuvSimHidOpenFlags(NuvSimCameraHidInterface(second)), static_cast<int>(nuv::kControlChannelFlags));
        EXPECT_EQ(channel->inputLength(), 80u);
        EXPECT_EQ(channel->outputLength(), 70u);
    }
    EXPECT_EQ(NuvSimOpenHandles(), 0) << "the channel closes its handle";
    EXPECT_EQ(nuv::OpenControlChannel("@device:pnp:no key here"), nullptr);
    EXPECT_EQ(nuv::OpenControlChannel(nullptr), nullptr);
    char serial[9];
    EXPECT_FALSE(nuv::FindHidSerialNumber("nothing", serial));
}

TEST_F(DiscoveryTest, DefaultWorldHasTwoTaggedCamerasWithDistinctSerials) {
    NuvSimResetDefault();
    NuvSimUseVirtualClock(1);
    int result = 0;
    const std::string list = List(NuvGetDeviceWithSerialNo, &result);
    EXPECT_EQ(result, 2);
    ASSERT_EQ(list.size(), std::string("NUV#12345678,NUV2#12345678").size()) << list;
    EXPECT_EQ(list.substr(0, 4), "NUV#");
    EXPECT_EQ(list.substr(13, 5), "NUV2#");
    EXPECT_NE(list.substr(4, 8), list.substr(18, 8));
    // The serial text is the serial number in the parameter block, in hex.
    unsigned char bytes[4];
    ASSERT_EQ(NuvSimFlashPeek(NuvSimCameraHidInterface(1), 0x70000, bytes, 4), 1);
    char hex[9];
    std::snprintf(hex, sizeof hex, "%02X%02X%02X%02X", bytes[0], bytes[1], bytes[2], bytes[3]);
    EXPECT_EQ(list.substr(4, 8), hex);
    char formats[512];
    ASSERT_EQ(NuvGetFormat(1, formats, sizeof formats), 1);
    EXPECT_STREQ(formats,
                 "0,1280,720,30.000030,YUY2,1,656,408,30.000030,YUY2,2,328,204,30.000030,YUY2,"
                 "3,1280,720,59.999880,YUY2,4,656,408,59.999880,YUY2,5,328,204,59.999880,YUY2,");
}

// ---- Formats ----------------------------------------------------------------

TEST_F(DiscoveryTest, FormatNamesBothWays) {
    char name[80];
    EXPECT_EQ(nuv::FormatNameFromSubtype(MEDIASUBTYPE_YUY2, name), 0);
    EXPECT_STREQ(name, "YUY2");
    EXPECT_EQ(nuv::FormatNameFromSubtype(MEDIASUBTYPE_RGB555, name), 0);
    EXPECT_STREQ(name, "RGB555");
    const GUID y16 = {0x20363159, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    EXPECT_EQ(nuv::FormatNameFromSubtype(y16, name), 0);
    EXPECT_STREQ(name, "Y16");
    const GUID nv12 = {0x3231564E, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    EXPECT_EQ(nuv::FormatNameFromSubtype(nv12, name), 1);
    EXPECT_STREQ(name, "3231564E");
    const GUID small = {0x00000ABC, 0x0001, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    EXPECT_EQ(nuv::FormatNameFromSubtype(small, name), 1);
    EXPECT_STREQ(name, "ABC");

    GUID subtype{};
    for (const char *good : {"YUY2", "MJPG", "H264", "IYUV", "RGB24", "RGB32", "I420", "RGB555"}) {
        ASSERT_TRUE(nuv::SubtypeFromFormatName(good, &subtype)) << good;
        EXPECT_EQ(nuv::FormatNameFromSubtype(subtype, name), 0);
        EXPECT_STREQ(name, good);
    }
    for (const char *bad : {"Y16", "yuy2", "YUY2 ", "", "3231564E"}) {
        EXPECT_FALSE(nuv::SubtypeFromFormatName(bad, &subtype)) << bad;
    }
    EXPECT_FALSE(nuv::SubtypeFromFormatName(nullptr, &subtype));
}

TEST_F(DiscoveryTest, FormatListKeepsVideoInfoCapabilitiesOnly) {
    const int device = NuvSimAddDevice("Cam", 1);
    NuvSimClearCapabilities(device);
    NuvSimAddCapability(device, "YUY2", 1280, 720, 16, 333333, 0);
    NuvSimAddCapability(device, "MJPG", 1920, 1080, 24, 333333, 1);  // VIDEOINFOHEADER2: not listed
    NuvSimAddCapability(device, "NV12", 640, -480, 12, 666667, 0);
    NuvSimAddCapability(device, "Y16", 320, 240, 16, 0, 0);
    NuvSimAddCapability(device, "RGB24", 160, 120, 24, 1000000, 2);
    char list[256];
    std::memset(list, 'x', sizeof list);
    ASSERT_EQ(NuvGetFormat(0, list, sizeof list), 1);
    const std::string expected = "0,1280,720,30.000030,YUY2,1,640,-480,14.999993,3231564E,2,320,240,0.000000,Y16,";
    EXPECT_EQ(std::string(list), expected);

    // Exact fit: L characters need L + 2 bytes; the complete records stay.
    const int length = static_cast<int>(expected.size());
    EXPECT_EQ(NuvGetFormat(0, list, length + 2), 1);
    EXPECT_EQ(NuvGetFormat(0, list, length + 1), 0);
    EXPECT_EQ(std::string(list), "0,1280,720,30.000030,YUY2,1,640,-480,14.999993,3231564E,");

    nuv::StreamFormatRecord records[10];
    int count = 10;
    ASSERT_EQ(nuv::EnumStreamFormats(0, records, &count), nuv::kBuildOk);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(records[1].height, -480);
    EXPECT_EQ(records[1].bitCount, 12);
    EXPECT_EQ(records[1].frameInterval, 666667);
}

TEST_F(DiscoveryTest, FormatListStopsAtTenAndRefusesOtherRecordSizes) {
    const int device = NuvSimAddDevice("Cam", 1);
    NuvSimClearCapabilities(device);
    for (int i = 0; i < 12; ++i) NuvSimAddCapability(device, "YUY2", 100 + i, 100, 16, 333333, 0);
    char list[1024];
    ASSERT_EQ(NuvGetFormat(0, list, sizeof list), 1);
    EXPECT_NE(std::strstr(list, "9,109,100,"), nullptr);
    EXPECT_EQ(std::strstr(list, "10,110,"), nullptr);

    NuvSimSetCapabilitySize(device, 136);
    std::strcpy(list, "untouched");
    ASSERT_EQ(NuvGetFormat(0, list, sizeof list), 1);
    EXPECT_STREQ(list, "");
}

TEST_F(DiscoveryTest, FormatPositionsOutsideTheFirstTenMonikersAreRefused) {
    for (int i = 0; i < 10; ++i) NuvSimAddDevice("Software", 0);
    NuvSimAddDevice("Eleventh", 1);
    char list[64] = "untouched";
    for (int position : {-1, 10, 0}) {
        EXPECT_EQ(NuvGetFormat(position, list, sizeof list), 0) << position;
        EXPECT_STREQ(list, "untouched");
    }
    nuv::StreamFormatRecord records[10];
    int count = 10;
    EXPECT_EQ(nuv::EnumStreamFormats(0, records, &count), nuv::kBuildNoDevice);
    int result = 0;
    EXPECT_EQ(List(NuvGetDevice, &result), "Eleventh") << "the device list has no such limit";
}

TEST_F(DiscoveryTest, FormatEnumerationFailuresReportTheirStatus) {
    NuvSimAddDevice("Cam", 1);
    nuv::StreamFormatRecord records[10];
    const struct {
        int step;
        int status;
    } cases[] = {{3, nuv::kBuildFilterGraph},   {5, nuv::kBuildClassEnumerator}, {7, nuv::kBuildAddFilter},
                 {10, nuv::kBuildCaptureGraphBuilder}, {11, nuv::kBuildFindInterface}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.step);
        NuvSimFailBuildStep(c.step, 1);
        int count = 10;
        EXPECT_EQ(nuv::EnumStreamFormats(0, records, &count), c.status);
    }
    char list[8] = "same";
    NuvSimFailBuildStep(11, 1);
    EXPECT_EQ(NuvGetFormat(0, list, sizeof list), 0);
    EXPECT_STREQ(list, "same");
}

}  // namespace
