// What every filter and pin of the framework shares.
#include "platform/framework/filters.h"

namespace nuv::framework {

namespace {
void CopyName(WCHAR (&target)[128], const WideText &name) {
    const std::size_t n = name.size() < 127 ? name.size() : 127;
    for (std::size_t i = 0; i < n; ++i) target[i] = name[i];
    target[n] = 0;
}
}  // namespace

PinBase::PinBase(FilterBase &owner, PIN_DIRECTION direction, const char *name)
    : owner_(owner), direction_(direction), name_(Widen(name)) {}

ULONG STDMETHODCALLTYPE PinBase::AddRef() { return owner_.AddRefFromPart(); }
ULONG STDMETHODCALLTYPE PinBase::Release() { return owner_.ReleaseFromPart(); }

HRESULT STDMETHODCALLTYPE PinBase::QueryInterface(REFIID iid, void **out) {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IPin) return HandOut(static_cast<IPin *>(this), out);
    if (iid == kIidPin) {
        *out = this;  // no reference: a private look inside
        return S_OK;
    }
    return QueryMore(iid, out);
}

HRESULT STDMETHODCALLTYPE PinBase::Disconnect() {
    std::lock_guard<std::mutex> hold(lock_);
    if (connected_ == nullptr) return S_FALSE;
    connected_ = nullptr;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PinBase::ConnectedTo(IPin **pin) {
    if (pin == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    *pin = connected_;
    if (connected_ == nullptr) return VFW_E_NOT_CONNECTED;
    connected_->AddRef();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PinBase::QueryPinInfo(PIN_INFO *info) {
    if (info == nullptr) return E_POINTER;
    info->pFilter = &owner_;
    owner_.AddRef();
    info->dir = direction_;
    CopyName(info->achName, name_);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PinBase::QueryDirection(PIN_DIRECTION *direction) {
    if (direction == nullptr) return E_POINTER;
    *direction = direction_;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PinBase::QueryId(LPWSTR *id) {
    if (id == nullptr) return E_POINTER;
    auto *copy = static_cast<LPWSTR>(os::CoTaskMemAlloc((name_.size() + 1) * sizeof(WCHAR)));
    if (copy == nullptr) return E_OUTOFMEMORY;
    for (std::size_t i = 0; i <= name_.size(); ++i) copy[i] = i < name_.size() ? name_[i] : 0;
    *id = copy;
    return S_OK;
}

IPin *PinBase::connected() {
    std::lock_guard<std::mutex> hold(lock_);
    return connected_;
}

PinBase *AsPin(IPin *pin) {
    if (pin == nullptr) return nullptr;
    void *self = nullptr;
    return pin->QueryInterface(kIidPin, &self) == S_OK ? static_cast<PinBase *>(self) : nullptr;
}

HRESULT STDMETHODCALLTYPE FilterBase::QueryInterface(REFIID iid, void **out) {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IBaseFilter || iid == IID_IMediaFilter || iid == IID_IPersist) {
        return HandOut(static_cast<IBaseFilter *>(this), out);
    }
    return QueryMore(iid, out);
}

HRESULT STDMETHODCALLTYPE FilterBase::Stop() {
    state_ = State_Stopped;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FilterBase::Pause() {
    state_ = State_Paused;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FilterBase::Run(REFERENCE_TIME) {
    state_ = State_Running;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FilterBase::GetState(DWORD, FILTER_STATE *state) {
    if (state == nullptr) return E_POINTER;
    *state = state_;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FilterBase::GetSyncSource(IReferenceClock **clock) {
    if (clock == nullptr) return E_POINTER;
    *clock = nullptr;
    return S_OK;
}

using PinEnum = ListEnum<IEnumPins, IPin, IID_IEnumPins>;

HRESULT STDMETHODCALLTYPE FilterBase::EnumPins(IEnumPins **out) {
    if (out == nullptr) return E_POINTER;
    std::vector<PinBase *> pins = Pins();
    *out = new PinEnum(pins.size(), [pins](std::size_t index) -> IPin * {
        pins[index]->AddRef();
        return pins[index];
    }, static_cast<IBaseFilter *>(this));
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FilterBase::FindPin(LPCWSTR id, IPin **out) {
    if (id == nullptr || out == nullptr) return E_POINTER;
    *out = nullptr;
    for (PinBase *pin : Pins()) {
        if (pin->name() == id) return HandOut(static_cast<IPin *>(pin), reinterpret_cast<void **>(out));
    }
    return VFW_E_NOT_FOUND;
}

HRESULT STDMETHODCALLTYPE FilterBase::QueryFilterInfo(FILTER_INFO *info) {
    if (info == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> hold(infoLock_);
    CopyName(info->achName, graphName_);
    info->pGraph = graph_;
    if (graph_) graph_->AddRef();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE FilterBase::JoinFilterGraph(IFilterGraph *graph, LPCWSTR name) {
    std::lock_guard<std::mutex> hold(infoLock_);
    graph_ = graph;
    graphName_ = name ? name : WideText();
    return S_OK;
}

HRESULT ConnectPins(IPin *out, IPin *in) {
    if (out == nullptr || in == nullptr) return E_POINTER;
    PIN_DIRECTION outDirection, inDirection;
    if (out->QueryDirection(&outDirection) != S_OK || in->QueryDirection(&inDirection) != S_OK) return E_FAIL;
    if (outDirection != PINDIR_OUTPUT || inDirection != PINDIR_INPUT) return VFW_E_CANNOT_CONNECT;
    return out->Connect(in, nullptr);
}

void DisconnectFilter(IBaseFilter *filter) {
    IEnumPins *pins = nullptr;
    if (filter->EnumPins(&pins) != S_OK) return;
    IPin *pin = nullptr;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        pin->Disconnect();
        pin->Release();
    }
    pins->Release();
}

}  // namespace nuv::framework
