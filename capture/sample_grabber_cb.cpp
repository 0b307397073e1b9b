#include "capture/sample_grabber_cb.h"

#include <cstring>
#include <mutex>

#include "capture/capture_slot.h"

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
        if (length < 0 || (length > 0 && buffer == nullptr)) return E_POINTER;
        const auto bytes = static_cast<std::size_t>(length);
        nuv::FrameStore &frames = frames_;
        std::lock_guard<std::mutex> hold(frames.lock);
        if (detached_) return S_OK;
        if (!frames.buffer && bytes == 0) {
            frames.length = 0;
            return S_FALSE;
        }
        // A sample longer than the buffer (a compressed format's sizes vary)
        // grows it; the capacity keeps the 10 bytes of headroom of the first
        // allocation. A failed allocation drops the sample and keeps the
        // previous frame whole.
        if (bytes > frames.capacity || !frames.buffer) {
            const std::size_t capacity = bytes + 10;
            nuv::AlignedArray<std::uint8_t> grown = nuv::AllocateArray<std::uint8_t>(capacity);
            if (!grown) return E_OUTOFMEMORY;
            frames.buffer = std::move(grown);
            frames.capacity = capacity;
        }
        if (bytes > 0) std::memcpy(frames.buffer.get(), buffer, bytes);
        frames.length = static_cast<int>(length);
        // After the bytes: a reader that sees the new time finds its frame.
        frames.sampleTime = sampleTime;
        return S_OK;
    } catch (...) {
        return E_UNEXPECTED;
    }
}
