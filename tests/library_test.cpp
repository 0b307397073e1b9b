// The version text and the frame size, through the public exports.
#include <cstring>
#include <regex>
#include <string>

#include "api/registry.h"
#include "capture/testing.h"
#include "sim_fixture.h"

namespace {

using nuv::ClearRecord;
using nuv::Record;
using nuv::RegisterCamera;
using nuv::Slot;

class LibraryTest : public SimTest {};

TEST_F(LibraryTest, VersionTextIsTheFiftyTwoCharacterBuildStamp) {
    char text[64];
    std::memset(text, 'x', sizeof text);
    ASSERT_EQ(NuvDLLVersion(text, 53), 1);
    EXPECT_EQ(std::strlen(text), 52u);
    EXPECT_TRUE(std::regex_match(std::string(text),
                                 std::regex("Version 1\\.1\\.0\\.0\r\nDate : [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}"
                                            "\r\nTime : [0-9]{2}:[0-9]{2}:[0-9]{2}")))
        << text;
    EXPECT_EQ(text[53], 'x') << "nothing written past the terminator";
}

TEST_F(LibraryTest, VersionNeverWritesAtOrPastTheCallersSize) {
    for (int size : {52, 10, 1}) {
        SCOPED_TRACE(size);
        char text[64];
        std::memset(text, 'x', sizeof text);
        EXPECT_EQ(NuvDLLVersion(text, size), 0);
        EXPECT_EQ(text[0], '\0');
        for (int i = 1; i < 64; ++i) ASSERT_EQ(text[i], 'x') << "byte " << i;
    }
    for (int size : {0, -1, -1000}) {
        SCOPED_TRACE(size);
        char text[8];
        std::memset(text, 'x', sizeof text);
        EXPECT_EQ(NuvDLLVersion(text, size), 0);
        for (char c : text) ASSERT_EQ(c, 'x');
    }
    EXPECT_EQ(NuvDLLVersion(nullptr, 100), 0);
}

TEST_F(LibraryTest, BufferSizeIsZeroForEveryHandleThatIsNotStreaming) {
    for (int handle : {-1, 0, 1, 9, 10, 12345, -2}) EXPECT_EQ(NuvGetBufferSize(handle), 0) << handle;

    // Registered, but its slot is not running.
    RegisterCamera(0, 5, nullptr, -1, nullptr, -1, nullptr, nullptr, -1);
    Slot(0).frames.length = 4096;
    EXPECT_EQ(NuvGetBufferSize(5), 0);

    // Running: the length of the most recent frame.
    Slot(0).running = 1;
    EXPECT_EQ(NuvGetBufferSize(5), 4096);
    Slot(0).frames.length = 0;
    EXPECT_EQ(NuvGetBufferSize(5), 0);

    Slot(0).running = 0;
    ClearRecord(Record(0));
}

}  // namespace
