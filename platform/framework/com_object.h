// The COM objects of the framework: each counts its own references and is
// counted while it lives, so tests can see that the library released
// everything it made.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/framework/diagnostics.h"
#include "platform/os.h"

namespace nuv::framework {

class ComObject {
public:
    ComObject(const ComObject &) = delete;
    ComObject &operator=(const ComObject &) = delete;

protected:
    ComObject() { ++Live().comObjects; }
    virtual ~ComObject() { --Live().comObjects; }
    ULONG AddRefImpl() { return ++refs_; }
    ULONG ReleaseImpl() {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

private:
    std::atomic<ULONG> refs_{1};
};

#define NUV_COM_REFCOUNT                                                    \
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }      \
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

template <class I>
HRESULT HandOut(I *object, void **out) {
    object->AddRef();
    *out = object;
    return S_OK;
}

// Makes an object (with one reference) and hands out the interface asked
// for; the object goes again when it has none.
template <class T, class... Args>
HRESULT CreateObject(REFIID iid, void **out, Args &&...args) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    auto *object = new T(std::forward<Args>(args)...);
    const HRESULT result = object->QueryInterface(iid, out);
    object->Release();
    return result;
}

// The framework's enumerators (of monikers, of pins): a fixed list of items
// taken when the enumerator was made, handed out one reference each.
// Items are made by make(index) on demand.
template <class Interface, class Item, const IID &kIid>
class ListEnum final : public Interface, public ComObject {
public:
    using Maker = std::function<Item *(std::size_t index)>;
    ListEnum(std::size_t count, Maker make, IUnknown *keepAlive = nullptr, std::size_t next = 0)
        : count_(count), make_(std::move(make)), keepAlive_(keepAlive), next_(next) {
        if (keepAlive_) keepAlive_->AddRef();
    }
    ~ListEnum() override {
        if (keepAlive_) keepAlive_->Release();
    }
    NUV_COM_REFCOUNT

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == kIid) return HandOut(static_cast<Interface *>(this), out);
        *out = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE Next(ULONG count, Item **items, ULONG *fetched) override {
        if (items == nullptr) return E_POINTER;
        if (count != 1 && fetched == nullptr) return E_POINTER;
        std::lock_guard<std::mutex> hold(lock_);
        ULONG n = 0;
        while (n < count && next_ < count_) items[n++] = make_(next_++);
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        std::lock_guard<std::mutex> hold(lock_);
        const std::size_t left = count_ - next_;
        next_ += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        std::lock_guard<std::mutex> hold(lock_);
        next_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(Interface **out) override {
        if (out == nullptr) return E_POINTER;
        std::lock_guard<std::mutex> hold(lock_);
        *out = new ListEnum(count_, make_, keepAlive_, next_);
        return S_OK;
    }

private:
    std::mutex lock_;
    const std::size_t count_;
    const Maker make_;
    IUnknown *const keepAlive_;
    std::size_t next_;
};

}  // namespace nuv::framework
