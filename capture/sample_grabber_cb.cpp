#include "capture/sample_grabber_cb.h"

#include <cstring>
#include <mutex>
#include <new>

#include "api/registry.h"

HRESULT STDMETHODCALLTYPE ewc_SampleGrabberCB::QueryInterface(REFIID iid, void **object) {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_ISampleGrabberCB || iid == IID_IUnknown) {
        *object = static_cast<ISampleGrabberCB *>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE ewc_SampleGrabberCB::BufferCB(double sampleTime, BYTE *buffer, long length) {
    // Runs on the framework's streaming thread: nothing may escape from here.
    try {
        if (slotIndex_ < 0 || slotIndex_ >= nuv::kCameraCount) return E_UNEXPECTED;
        if (length < 0 || (length > 0 && buffer == nullptr)) return E_POINTER;
        nuv::CameraSlot &slot = nuv::Slot(slotIndex_);
        const auto bytes = static_cast<std::size_t>(length);

        std::lock_guard<std::mutex> hold(slot.frameLock);
        if (detached_) return S_OK;
        if (!slot.frameBuffer) {
            if (bytes == 0) {
                slot.frameLength = 0;
                return S_FALSE;
            }
        }
        // A sample longer than the buffer (a compressed format's sizes vary)
        // grows it; the capacity keeps the 10 bytes of headroom of the first
        // allocation. A failed allocation drops the sample and keeps the
        // previous frame whole.
        if (bytes > slot.frameCapacity || !slot.frameBuffer) {
            const std::size_t capacity = bytes + 10;
            nuv::AlignedArray<std::uint8_t> grown = nuv::AllocateArray<std::uint8_t>(capacity);
            if (!grown) return E_OUTOFMEMORY;
            slot.frameBuffer = std::move(grown);
            slot.frameCapacity = capacity;
        }
        if (bytes > 0) std::memcpy(slot.frameBuffer.get(), buffer, bytes);
        slot.frameLength = static_cast<int>(length);
        // After the bytes: a reader that sees the new time finds its frame.
        slot.sampleTime = sampleTime;
        return S_OK;
    } catch (...) {
        return E_UNEXPECTED;
    }
}
