#include "image_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common.h"

#if NUVCTL_HAVE_PNG
#include <png.h>
#endif
#if NUVCTL_HAVE_WIC
#include <windows.h>
#include <wincodec.h>
#include <zlib.h>
#endif

namespace nuvctl {

namespace {

struct FileCloser {
    void operator()(std::FILE *f) const {
        if (f != nullptr) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File OpenForWriting(const std::string &path) {
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) throw Failure("cannot write " + path + ": " + std::strerror(errno));
    return file;
}

void Close(File &file, const std::string &path) {
    if (std::fclose(file.release()) != 0) throw Failure("cannot write " + path + ": " + std::strerror(errno));
}

// A 10-bit value widened to 16 bits: its bits repeated below themselves, so
// 0 stays 0 and 1023 becomes 65535.
unsigned Widen10(std::uint16_t value) {
    const unsigned v = value > 1023 ? 1023u : value;
    return (v << 6) | (v >> 4);
}

#if NUVCTL_HAVE_PNG
// libpng reports errors through longjmp; the writer keeps every step that
// can fail inside one function with its own setjmp.
struct PngWriter {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngWriter() { png_destroy_write_struct(&png, &info); }
};

bool WriteRows(png_structp png, png_infop info, int width, int height, int depth, const std::vector<png_bytep> &rows,
               bool sbit10) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), depth,
                 PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (sbit10) {
        png_color_8 sig{};
        sig.gray = 10;
        png_set_sBIT(png, info, &sig);
    }
    png_set_compression_level(png, 3);  // frames are large; speed matters more than the last few percent
    png_write_info(png, info);
    png_write_image(png, const_cast<png_bytepp>(rows.data()));
    png_write_end(png, nullptr);
    return true;
}

void WriteData(png_structp png, png_bytep data, png_size_t length) {
    static_cast<std::string *>(png_get_io_ptr(png))->append(reinterpret_cast<const char *>(data), length);
}
void FlushData(png_structp) {}

// Samples in PNG order: big-endian for 16 bits.
std::string Encode(int width, int height, int depth, std::vector<png_byte> &pixels, bool sbit10,
                   const std::string &what) {
    PngWriter w;
    w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (w.png == nullptr) throw Failure("png_create_write_struct failed for " + what);
    w.info = png_create_info_struct(w.png);
    if (w.info == nullptr) throw Failure("png_create_info_struct failed for " + what);
    std::string out;
    png_set_write_fn(w.png, &out, WriteData, FlushData);
    const std::size_t stride = static_cast<std::size_t>(width) * (depth / 8);
    std::vector<png_bytep> rows(static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) rows[static_cast<std::size_t>(y)] = pixels.data() + stride * static_cast<std::size_t>(y);
    if (!WriteRows(w.png, w.info, width, height, depth, rows, sbit10)) {
        throw Failure("libpng could not encode " + what + " (out of memory?)");
    }
    return out;
}
#endif

#if NUVCTL_HAVE_WIC
// The OS's imaging component encodes 16-bit grey PNG but writes no sBIT
// chunk: it is added after the header, where PNG wants it (before any
// palette and the image data), with zlib's CRC.

// Releases a COM reference when it goes out of scope.
template <class T>
struct ComPtr {
    T *p = nullptr;
    ComPtr() = default;
    ComPtr(const ComPtr &) = delete;
    ComPtr &operator=(const ComPtr &) = delete;
    ~ComPtr() {
        if (p != nullptr) p->Release();
    }
    T **operator&() { return &p; }
    T *operator->() const { return p; }
};

// COM on this thread for the encoder's lifetime: balanced when this thread
// initialised it; a thread that holds the other model uses it as it is.
struct ComScope {
    HRESULT hr;
    ComScope() : hr(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComScope() {
        if (SUCCEEDED(hr)) CoUninitialize();
    }
    ComScope(const ComScope &) = delete;
    ComScope &operator=(const ComScope &) = delete;
};

void Check(HRESULT hr, const char *call, const std::string &what) {
    if (FAILED(hr)) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
        throw Failure("the imaging component could not encode " + what + ": " + call + " returned " + code);
    }
}

void PutBigEndian32(std::string &out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

std::string WithSbit10(const std::string &png, const std::string &what) {
    // Signature (8), then IHDR: length (4), type (4), 13 bytes, CRC (4).
    constexpr std::size_t kAfterHeader = 8 + 4 + 4 + 13 + 4;
    if (png.size() < kAfterHeader || png.compare(12, 4, "IHDR") != 0)
        throw Failure("the imaging component wrote no PNG header for " + what);
    std::string chunk = "sBIT";
    chunk.push_back(10);
    std::string out = png.substr(0, kAfterHeader);
    PutBigEndian32(out, 1);
    out += chunk;
    PutBigEndian32(out, static_cast<std::uint32_t>(
                            crc32(0L, reinterpret_cast<const Bytef *>(chunk.data()), static_cast<uInt>(chunk.size()))));
    out.append(png, kAfterHeader, std::string::npos);
    return out;
}

// Samples in the component's layout (see SamplesGoInAsStored).
std::string EncodeWic(int width, int height, REFGUID pixelFormat, int bytesPerPixel, std::vector<BYTE> &pixels,
                      const std::string &what) {
    ComScope com;
    if (FAILED(com.hr) && com.hr != RPC_E_CHANGED_MODE) Check(com.hr, "CoInitializeEx", what);
    ComPtr<IWICImagingFactory> factory;
    Check(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                           reinterpret_cast<void **>(&factory)),
          "CoCreateInstance(CLSID_WICImagingFactory)", what);
    ComPtr<IStream> stream;
    Check(CreateStreamOnHGlobal(nullptr, TRUE, &stream), "CreateStreamOnHGlobal", what);
    ComPtr<IWICBitmapEncoder> encoder;
    Check(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder), "CreateEncoder(PNG)", what);
    Check(encoder->Initialize(stream.p, WICBitmapEncoderNoCache), "IWICBitmapEncoder::Initialize", what);
    ComPtr<IWICBitmapFrameEncode> frame;
    ComPtr<IPropertyBag2> options;
    Check(encoder->CreateNewFrame(&frame, &options), "CreateNewFrame", what);
    Check(frame->Initialize(options.p), "IWICBitmapFrameEncode::Initialize", what);
    Check(frame->SetSize(static_cast<UINT>(width), static_cast<UINT>(height)), "SetSize", what);
    WICPixelFormatGUID format = pixelFormat;
    Check(frame->SetPixelFormat(&format), "SetPixelFormat", what);
    if (!IsEqualGUID(format, pixelFormat))
        throw Failure("the imaging component cannot write " + what + " in " + std::to_string(bytesPerPixel * 8) +
                      "-bit grey");
    const UINT stride = static_cast<UINT>(width * bytesPerPixel);
    Check(frame->WritePixels(static_cast<UINT>(height), stride, static_cast<UINT>(pixels.size()), pixels.data()),
          "WritePixels", what);
    Check(frame->Commit(), "IWICBitmapFrameEncode::Commit", what);
    Check(encoder->Commit(), "IWICBitmapEncoder::Commit", what);
    STATSTG stat{};
    Check(stream->Stat(&stat, STATFLAG_NONAME), "IStream::Stat", what);
    HGLOBAL memory = nullptr;
    Check(GetHGlobalFromStream(stream.p, &memory), "GetHGlobalFromStream", what);
    const void *bytes = GlobalLock(memory);
    if (bytes == nullptr) throw Failure("the imaging component's PNG of " + what + " cannot be read back");
    std::string out(static_cast<const char *>(bytes), static_cast<std::size_t>(stat.cbSize.QuadPart));
    GlobalUnlock(memory);
    return out;
}

// The image data of a PNG, inflated (filter bytes included); empty when it
// cannot be read.
std::string Inflated(const std::string &png, std::size_t expected) {
    std::string compressed;
    for (std::size_t at = 8; at + 12 <= png.size();) {
        const auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(png[i])); };
        const std::uint32_t length = byte(at) << 24 | byte(at + 1) << 16 | byte(at + 2) << 8 | byte(at + 3);
        if (at + 12 + length > png.size()) break;
        if (png.compare(at + 4, 4, "IDAT") == 0) compressed.append(png, at + 8, length);
        at += 12 + length;
    }
    std::string out(expected, '\0');
    uLongf size = static_cast<uLongf>(out.size());
    if (uncompress(reinterpret_cast<Bytef *>(out.data()), &size, reinterpret_cast<const Bytef *>(compressed.data()),
                   static_cast<uLong>(compressed.size())) != Z_OK || size != expected)
        return "";
    return out;
}

// The component takes 16-bit samples in memory order (little-endian), as
// documented, and swaps them into the file; Wine's up to 8.0 writes them as
// given. Which one answers is asked once, with a one-pixel image.
bool SamplesGoInAsStored() {
    static const bool asStored = [] {
        std::vector<BYTE> probe = {0x02, 0x01};  // 0x0102 in memory order
        const std::string data = Inflated(EncodeWic(1, 1, GUID_WICPixelFormat16bppGray, 2, probe, "a probe"), 3);
        return data.size() == 3 && static_cast<unsigned char>(data[1]) == 0x02;
    }();
    return asStored;
}
#endif

}  // namespace

bool PngSupported() { return NUVCTL_HAVE_PNG != 0 || NUVCTL_HAVE_WIC != 0; }

std::string EncodePng16(int width, int height, const std::vector<std::uint16_t> &values) {
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
#if NUVCTL_HAVE_PNG
    std::vector<png_byte> pixels(count * 2, 0);
    for (std::size_t i = 0; i < values.size() && i < count; ++i) {
        const unsigned wide = Widen10(values[i]);
        pixels[2 * i] = static_cast<png_byte>(wide >> 8);  // PNG samples are big-endian
        pixels[2 * i + 1] = static_cast<png_byte>(wide & 0xFF);
    }
    return Encode(width, height, 16, pixels, true, "a frame");
#elif NUVCTL_HAVE_WIC
    std::vector<BYTE> pixels(count * 2, 0);
    const bool bigEndian = SamplesGoInAsStored();
    for (std::size_t i = 0; i < values.size() && i < count; ++i) {
        const unsigned wide = Widen10(values[i]);
        pixels[2 * i + (bigEndian ? 1 : 0)] = static_cast<BYTE>(wide & 0xFF);
        pixels[2 * i + (bigEndian ? 0 : 1)] = static_cast<BYTE>(wide >> 8);
    }
    return WithSbit10(EncodeWic(width, height, GUID_WICPixelFormat16bppGray, 2, pixels, "a frame"), "a frame");
#else
    (void)count;
    (void)values;
    throw Failure("this build of nuvctl writes no PNG (use --raw)");
#endif
}

void WritePng16(const std::string &path, int width, int height, const std::vector<std::uint16_t> &values) {
    const std::string png = EncodePng16(width, height, values);
    WriteBytes(path, std::vector<std::uint8_t>(png.begin(), png.end()));
}

std::string EncodePng8(int width, int height, const std::vector<std::uint8_t> &values) {
#if NUVCTL_HAVE_PNG
    std::vector<png_byte> pixels(values.begin(), values.end());
    pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    return Encode(width, height, 8, pixels, false, "a display frame");
#elif NUVCTL_HAVE_WIC
    std::vector<BYTE> pixels(values.begin(), values.end());
    pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    return EncodeWic(width, height, GUID_WICPixelFormat8bppGray, 1, pixels, "a display frame");
#else
    (void)width;
    (void)height;
    (void)values;
    throw Failure("this build of nuvctl writes no PNG");
#endif
}

void WriteBytes(const std::string &path, const std::vector<std::uint8_t> &bytes) {
    File file = OpenForWriting(path);
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
        throw Failure("cannot write " + path + ": " + std::strerror(errno));
    }
    Close(file, path);
}

}  // namespace nuvctl
