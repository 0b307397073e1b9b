#include "capture/testing.h"

#include <mutex>

#include "common/process_state.h"
#include "correction/testing.h"
#include "firmware/testing.h"
#include "nuv.h"

namespace nuv::testing {

void ResetLibrary() {
    // A close also stops a rewrite job of its camera and ends the idle period.
    for (int i = 0; i < kCameraCount; ++i) {
        const int handle = Record(i).handle.load();
        if (handle != -1) NuvClose(handle);
        ClearRecord(Record(i));
    }
    // A slot whose teardown was refused stays running without a record.
    for (int i = 0; i < kCameraCount; ++i)
        if (Slot(i).running.load() != 0) TeardownGraph(i);
    CaptureState &capture = Capture();
    {
        std::lock_guard<std::mutex> hold(capture.settingsLock);
        capture.lastWidth = 640;
        capture.lastHeight = 480;
        capture.lastFrameRate = 30.0;
    }
    capture.deviceCount = -1;
    // A closed slot keeps its last frame length and sizes until reused.
    for (int i = 0; i < kCameraCount; ++i) {
        std::lock_guard<std::mutex> hold(Slot(i).frames.lock);
        Slot(i).frames.length = 0;
        Slot(i).frames.sampleTime = 0.0;
    }
    Process().deviceListSize = 1024;
    Process().lastComStatus = 0;
    ResetKernelPath();
    SetRewriteObserver(nullptr);
}

}  // namespace nuv::testing
