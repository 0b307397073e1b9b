// The media-framework subset the library uses: filter graph, capture graph
// builder, device enumeration, stream configuration, sample grabber, media
// control and events, video properties. Method lists are complete and in the
// SDK's order.
#pragma once

#include "com.h"

typedef LONG OAFilterState;
typedef LONG_PTR OAEVENT;

struct AM_MEDIA_TYPE {
    GUID majortype;
    GUID subtype;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    ULONG lSampleSize;
    GUID formattype;
    IUnknown *pUnk;
    ULONG cbFormat;
    BYTE *pbFormat;
};

struct VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    BITMAPINFOHEADER bmiHeader;
};

struct VIDEO_STREAM_CONFIG_CAPS {
    GUID guid;
    ULONG VideoStandard;
    SIZE InputSize;
    SIZE MinCroppingSize;
    SIZE MaxCroppingSize;
    int CropGranularityX;
    int CropGranularityY;
    int CropAlignX;
    int CropAlignY;
    SIZE MinOutputSize;
    SIZE MaxOutputSize;
    int OutputGranularityX;
    int OutputGranularityY;
    int StretchTapsX;
    int StretchTapsY;
    int ShrinkTapsX;
    int ShrinkTapsY;
    LONGLONG MinFrameInterval;
    LONGLONG MaxFrameInterval;
    LONG MinBitsPerSecond;
    LONG MaxBitsPerSecond;
};
static_assert(sizeof(VIDEO_STREAM_CONFIG_CAPS) == 128, "Windows layout");

enum PIN_DIRECTION { PINDIR_INPUT = 0, PINDIR_OUTPUT = 1 };
enum FILTER_STATE { State_Stopped = 0, State_Paused = 1, State_Running = 2 };

interface IBaseFilter;
interface IFilterGraph;
interface IPin;
interface IReferenceClock;
interface IEnumFilters;
interface IEnumMediaTypes;
interface IFileSinkFilter;
interface IAMCopyCaptureFileProgress;

struct FILTER_INFO {
    WCHAR achName[128];
    IFilterGraph *pGraph;
};

struct PIN_INFO {
    IBaseFilter *pFilter;
    PIN_DIRECTION dir;
    WCHAR achName[128];
};

interface IMediaSample : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetPointer(BYTE **ppBuffer) = 0;
    virtual long STDMETHODCALLTYPE GetSize() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTime(REFERENCE_TIME *pTimeStart, REFERENCE_TIME *pTimeEnd) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetTime(REFERENCE_TIME *pTimeStart, REFERENCE_TIME *pTimeEnd) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsSyncPoint() = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSyncPoint(BOOL bIsSyncPoint) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsPreroll() = 0;
    virtual HRESULT STDMETHODCALLTYPE SetPreroll(BOOL bIsPreroll) = 0;
    virtual long STDMETHODCALLTYPE GetActualDataLength() = 0;
    virtual HRESULT STDMETHODCALLTYPE SetActualDataLength(long length) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMediaType(AM_MEDIA_TYPE **ppMediaType) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetMediaType(AM_MEDIA_TYPE *pMediaType) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsDiscontinuity() = 0;
    virtual HRESULT STDMETHODCALLTYPE SetDiscontinuity(BOOL bDiscontinuity) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMediaTime(LONGLONG *pTimeStart, LONGLONG *pTimeEnd) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetMediaTime(LONGLONG *pTimeStart, LONGLONG *pTimeEnd) = 0;
};

interface IEnumPins : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG cPins, IPin **ppPins, ULONG *pcFetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG cPins) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumPins **ppEnum) = 0;
};

interface IPin : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Connect(IPin *pReceivePin, const AM_MEDIA_TYPE *pmt) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin *pConnector, const AM_MEDIA_TYPE *pmt) = 0;
    virtual HRESULT STDMETHODCALLTYPE Disconnect() = 0;
    virtual HRESULT STDMETHODCALLTYPE ConnectedTo(IPin **pPin) = 0;
    virtual HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE *pmt) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO *pInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION *pPinDir) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryId(LPWSTR *Id) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE *pmt) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes **ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin **apPin, ULONG *nPin) = 0;
    virtual HRESULT STDMETHODCALLTYPE EndOfStream() = 0;
    virtual HRESULT STDMETHODCALLTYPE BeginFlush() = 0;
    virtual HRESULT STDMETHODCALLTYPE EndFlush() = 0;
    virtual HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) = 0;
};

interface IMediaFilter : public IPersist {
    virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
    virtual HRESULT STDMETHODCALLTYPE Pause() = 0;
    virtual HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME tStart) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetState(DWORD dwMilliSecsTimeout, FILTER_STATE *State) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock *pClock) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock **pClock) = 0;
};

interface IBaseFilter : public IMediaFilter {
    virtual HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins **ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR Id, IPin **ppPin) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO *pInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph *pGraph, LPCWSTR pName) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR *pVendorInfo) = 0;
};

interface IFilterGraph : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AddFilter(IBaseFilter *pFilter, LPCWSTR pName) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveFilter(IBaseFilter *pFilter) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumFilters(IEnumFilters **ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindFilterByName(LPCWSTR pName, IBaseFilter **ppFilter) = 0;
    virtual HRESULT STDMETHODCALLTYPE ConnectDirect(IPin *ppinOut, IPin *ppinIn, const AM_MEDIA_TYPE *pmt) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reconnect(IPin *ppin) = 0;
    virtual HRESULT STDMETHODCALLTYPE Disconnect(IPin *ppin) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetDefaultSyncSource() = 0;
};

interface IGraphBuilder : public IFilterGraph {
    virtual HRESULT STDMETHODCALLTYPE Connect(IPin *ppinOut, IPin *ppinIn) = 0;
    virtual HRESULT STDMETHODCALLTYPE Render(IPin *ppinOut) = 0;
    virtual HRESULT STDMETHODCALLTYPE RenderFile(LPCWSTR lpcwstrFile, LPCWSTR lpcwstrPlayList) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddSourceFilter(LPCWSTR lpcwstrFileName, LPCWSTR lpcwstrFilterName,
                                                      IBaseFilter **ppFilter) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetLogFile(DWORD_PTR hFile) = 0;
    virtual HRESULT STDMETHODCALLTYPE Abort() = 0;
    virtual HRESULT STDMETHODCALLTYPE ShouldOperationContinue() = 0;
};

interface ICreateDevEnum : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateClassEnumerator(REFCLSID clsidDeviceClass, IEnumMoniker **ppEnumMoniker,
                                                            DWORD dwFlags) = 0;
};

interface ICaptureGraphBuilder2 : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetFiltergraph(IGraphBuilder *pfg) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFiltergraph(IGraphBuilder **ppfg) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetOutputFileName(const GUID *pType, LPCOLESTR lpstrFile,
                                                        IBaseFilter **ppf, IFileSinkFilter **ppSink) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindInterface(const GUID *pCategory, const GUID *pType, IBaseFilter *pf,
                                                    REFIID riid, void **ppint) = 0;
    virtual HRESULT STDMETHODCALLTYPE RenderStream(const GUID *pCategory, const GUID *pType, IUnknown *pSource,
                                                   IBaseFilter *pfCompressor, IBaseFilter *pfRenderer) = 0;
    virtual HRESULT STDMETHODCALLTYPE ControlStream(const GUID *pCategory, const GUID *pType, IBaseFilter *pFilter,
                                                    REFERENCE_TIME *pstart, REFERENCE_TIME *pstop,
                                                    WORD wStartCookie, WORD wStopCookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE AllocCapFile(LPCOLESTR lpstr, DWORDLONG dwlSize) = 0;
    virtual HRESULT STDMETHODCALLTYPE CopyCaptureFile(LPOLESTR lpwstrOld, LPOLESTR lpwstrNew, int fAllowEscAbort,
                                                      IAMCopyCaptureFileProgress *pCallback) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindPin(IUnknown *pSource, PIN_DIRECTION pindir, const GUID *pCategory,
                                              const GUID *pType, BOOL fUnconnected, int num, IPin **ppPin) = 0;
};

interface IAMStreamConfig : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetFormat(AM_MEDIA_TYPE *pmt) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFormat(AM_MEDIA_TYPE **ppmt) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNumberOfCapabilities(int *piCount, int *piSize) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStreamCaps(int iIndex, AM_MEDIA_TYPE **ppmt, BYTE *pSCC) = 0;
};

interface ISampleGrabberCB : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SampleCB(double SampleTime, IMediaSample *pSample) = 0;
    virtual HRESULT STDMETHODCALLTYPE BufferCB(double SampleTime, BYTE *pBuffer, long BufferLen) = 0;
};

interface ISampleGrabber : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetOneShot(BOOL OneShot) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetMediaType(const AM_MEDIA_TYPE *pType) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetConnectedMediaType(AM_MEDIA_TYPE *pType) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBufferSamples(BOOL BufferThem) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentBuffer(long *pBufferSize, long *pBuffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentSample(IMediaSample **ppSample) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetCallback(ISampleGrabberCB *pCallback, long WhichMethodToCallback) = 0;
};

interface IMediaControl : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE Run() = 0;
    virtual HRESULT STDMETHODCALLTYPE Pause() = 0;
    virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetState(LONG msTimeout, OAFilterState *pfs) = 0;
    virtual HRESULT STDMETHODCALLTYPE RenderFile(BSTR strFilename) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddSourceFilter(BSTR strFilename, IDispatch **ppUnk) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_FilterCollection(IDispatch **ppUnk) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RegFilterCollection(IDispatch **ppUnk) = 0;
    virtual HRESULT STDMETHODCALLTYPE StopWhenReady() = 0;
};

interface IMediaEvent : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE GetEventHandle(OAEVENT *hEvent) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetEvent(long *lEventCode, LONG_PTR *lParam1, LONG_PTR *lParam2,
                                               long msTimeout) = 0;
    virtual HRESULT STDMETHODCALLTYPE WaitForCompletion(long msTimeout, long *pEvCode) = 0;
    virtual HRESULT STDMETHODCALLTYPE CancelDefaultHandling(long lEvCode) = 0;
    virtual HRESULT STDMETHODCALLTYPE RestoreDefaultHandling(long lEvCode) = 0;
    virtual HRESULT STDMETHODCALLTYPE FreeEventParams(long lEvCode, LONG_PTR lParam1, LONG_PTR lParam2) = 0;
};

interface IAMVideoProcAmp : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetRange(long Property, long *pMin, long *pMax, long *pSteppingDelta,
                                               long *pDefault, long *pCapsFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE Set(long Property, long lValue, long Flags) = 0;
    virtual HRESULT STDMETHODCALLTYPE Get(long Property, long *lValue, long *Flags) = 0;
};

interface IAMCameraControl : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetRange(long Property, long *pMin, long *pMax, long *pSteppingDelta,
                                               long *pDefault, long *pCapsFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE Set(long Property, long lValue, long Flags) = 0;
    virtual HRESULT STDMETHODCALLTYPE Get(long Property, long *lValue, long *Flags) = 0;
};

enum VideoProcAmpFlags { VideoProcAmp_Flags_Auto = 1, VideoProcAmp_Flags_Manual = 2 };
enum CameraControlFlags { CameraControl_Flags_Auto = 1, CameraControl_Flags_Manual = 2 };

#define VFW_E_NOT_CONNECTED (static_cast<HRESULT>(0x80040209u))
#define VFW_E_CANNOT_CONNECT (static_cast<HRESULT>(0x80040217u))
#define VFW_E_INVALIDMEDIATYPE (static_cast<HRESULT>(0x80040200u))
#define VFW_E_NOT_FOUND (static_cast<HRESULT>(0x80040216u))
#define EC_COMPLETE 0x01

#define NUV_COMPAT_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

NUV_COMPAT_GUID(CLSID_FilterGraph, 0xE436EBB3, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
NUV_COMPAT_GUID(IID_IGraphBuilder, 0x56A868A9, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
NUV_COMPAT_GUID(IID_IFilterGraph, 0x56A8689F, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
NUV_COMPAT_GUID(CLSID_SystemDeviceEnum, 0x62BE5D10, 0x60EB, 0x11D0, 0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86);
NUV_COMPAT_GUID(IID_ICreateDevEnum, 0x29840822, 0x5B84, 0x11D0, 0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86);
NUV_COMPAT_GUID(CLSID_VideoInputDeviceCategory, 0x860BB310, 0x5D01, 0x11D0, 0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11,
                0xCE, 0x86);
NUV_COMPAT_GUID(IID_IBaseFilter, 0x56A86895, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
NUV_COMPAT_GUID(IID_IMediaFilter, 0x56A86899, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
NUV_COMPAT_GUID(IID_IPin, 0x56A86891, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
NUV_COMPAT_GUID(IID_IEnumPins, 0x56A86892, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
NUV_COMPAT_GUID(CLSID_CaptureGraphBuilder2, 0xBF87B6E1, 0x8C27, 0x11D0, 0xB3, 0xF0, 0x00, 0xAA, 0x00, 0x37, 0x61,
                0xC5);
NUV_COMPAT_GUID(IID_ICaptureGraphBuilder2, 0x93E5A4E0, 0x2D50, 0x11D2, 0xAB, 0xFA, 0x00, 0xA0, 0xC9, 0xC6, 0xE3,
                0x8D);
NUV_COMPAT_GUID(PIN_CATEGORY_CAPTURE, 0xFB6C4281, 0x0353, 0x11D1, 0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA);
NUV_COMPAT_GUID(MEDIATYPE_Video, 0x73646976, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
NUV_COMPAT_GUID(IID_IAMStreamConfig, 0xC6E13340, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56);
NUV_COMPAT_GUID(FORMAT_VideoInfo, 0x05589F80, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A);
NUV_COMPAT_GUID(CLSID_SampleGrabber, 0xC1F400A0, 0x3F08, 0x11D3, 0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37);
NUV_COMPAT_GUID(IID_ISampleGrabber, 0x6B652FFF, 0x11FE, 0x4FCE, 0x92, 0xAD, 0x02, 0x66, 0xB5, 0xD7, 0xC7, 0x8F);
NUV_COMPAT_GUID(IID_ISampleGrabberCB, 0x0579154A, 0x2B53, 0x4994, 0xB0, 0xD0, 0xE7, 0x73, 0x14, 0x8E, 0xFF, 0x85);
NUV_COMPAT_GUID(IID_IMediaControl, 0x56A868B1, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
NUV_COMPAT_GUID(IID_IMediaEvent, 0x56A868B6, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
NUV_COMPAT_GUID(IID_IAMVideoProcAmp, 0xC6E13360, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56);
NUV_COMPAT_GUID(IID_IAMCameraControl, 0xC6E13370, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56);
NUV_COMPAT_GUID(MEDIASUBTYPE_YUY2, 0x32595559, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
NUV_COMPAT_GUID(MEDIASUBTYPE_MJPG, 0x47504A4D, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
NUV_COMPAT_GUID(MEDIASUBTYPE_H264, 0x34363248, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
NUV_COMPAT_GUID(MEDIASUBTYPE_IYUV, 0x56555949, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
NUV_COMPAT_GUID(MEDIASUBTYPE_RGB24, 0xE436EB7D, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
NUV_COMPAT_GUID(MEDIASUBTYPE_RGB32, 0xE436EB7E, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
NUV_COMPAT_GUID(MEDIASUBTYPE_I420, 0x30323449, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
NUV_COMPAT_GUID(MEDIASUBTYPE_RGB555, 0xE436EB7C, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
