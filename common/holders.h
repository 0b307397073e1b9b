// Small owners of OS resources that several subsystems hand around: each
// releases what it holds when it goes, so no branch of a walk can forget to.
// (COM references have their own holder, platform/com_ref.h.)
#pragma once

#include <utility>

#include "platform/os.h"

namespace nuv {

// Wide text the framework allocated with CoTaskMemAlloc (a display name).
class CoTaskMemText {
public:
    CoTaskMemText() = default;
    CoTaskMemText(const CoTaskMemText &) = delete;
    CoTaskMemText &operator=(const CoTaskMemText &) = delete;
    ~CoTaskMemText() { os::CoTaskMemFree(text_); }
    LPOLESTR *put() {
        os::CoTaskMemFree(std::exchange(text_, nullptr));
        return &text_;
    }
    const OLECHAR *get() const { return text_; }

private:
    LPOLESTR text_ = nullptr;
};

// A media type the framework handed out, with its format block.
class MediaType {
public:
    MediaType() = default;
    MediaType(const MediaType &) = delete;
    MediaType &operator=(const MediaType &) = delete;
    ~MediaType() { Free(std::exchange(type_, nullptr)); }
    AM_MEDIA_TYPE **put() {
        Free(std::exchange(type_, nullptr));
        return &type_;
    }
    AM_MEDIA_TYPE *get() const { return type_; }
    AM_MEDIA_TYPE *operator->() const { return type_; }
    explicit operator bool() const { return type_ != nullptr; }

    // The VIDEOINFOHEADER of a video type, or null for any other format.
    VIDEOINFOHEADER *VideoInfo() const {
        if (type_ == nullptr || type_->formattype != FORMAT_VideoInfo || type_->pbFormat == nullptr ||
            type_->cbFormat < sizeof(VIDEOINFOHEADER))
            return nullptr;
        return reinterpret_cast<VIDEOINFOHEADER *>(type_->pbFormat);
    }

private:
    static void Free(AM_MEDIA_TYPE *type) {
        if (type == nullptr) return;
        os::CoTaskMemFree(type->pbFormat);
        if (type->pUnk != nullptr) type->pUnk->Release();
        os::CoTaskMemFree(type);
    }
    AM_MEDIA_TYPE *type_ = nullptr;
};

// A file or device handle.
class FileHandle {
public:
    explicit FileHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;
    ~FileHandle() {
        if (valid()) os::CloseHandle(handle_);
    }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }
    // Hands the handle over; this holder then holds nothing.
    HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

private:
    HANDLE handle_;
};

// A device information set of the setup services.
class DeviceInfoSet {
public:
    explicit DeviceInfoSet(HDEVINFO set) : set_(set) {}
    DeviceInfoSet(const DeviceInfoSet &) = delete;
    DeviceInfoSet &operator=(const DeviceInfoSet &) = delete;
    ~DeviceInfoSet() {
        if (valid()) os::SetupDiDestroyDeviceInfoList(set_);
    }
    bool valid() const { return set_ != nullptr && set_ != INVALID_HANDLE_VALUE; }
    HDEVINFO get() const { return set_; }

private:
    HDEVINFO set_;
};

// Preparsed data of a HID device.
class PreparsedData {
public:
    PreparsedData() = default;
    PreparsedData(const PreparsedData &) = delete;
    PreparsedData &operator=(const PreparsedData &) = delete;
    ~PreparsedData() {
        if (data_ != nullptr) os::HidD_FreePreparsedData(data_);
    }
    PHIDP_PREPARSED_DATA *put() { return &data_; }
    PHIDP_PREPARSED_DATA get() const { return data_; }

private:
    PHIDP_PREPARSED_DATA data_ = nullptr;
};

}  // namespace nuv
