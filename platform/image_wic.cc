// Decoding covers and writing PNGs with the Windows Imaging Component.
//
// WIC converts whatever the file holds to premultiplied 32-bit BGRA; with
// the alpha premultiplied, the colour channels are already the picture
// flattened onto black. The EXIF orientation is read from the JPEG's bytes
// by the same code as on other systems.
#include "platform/image.h"

#include <windows.h>
#include <objbase.h>
#include <wincodec.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace cadenza {
namespace {

// Holds one COM interface and releases it.
template <class T>
class Com {
 public:
  Com() = default;
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  ~Com() {
    if (p_) p_->Release();
  }
  T* operator->() const { return p_; }
  T* get() const { return p_; }
  T** put() { return &p_; }
  void** put_void() { return reinterpret_cast<void**>(&p_); }

 private:
  T* p_ = nullptr;
};

// COM for the calling thread, for as long as a decode runs. A thread that
// already uses another apartment model keeps it (WIC works in both).
class ComScope {
 public:
  ComScope() : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  ~ComScope() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }

 private:
  HRESULT hr_;
};

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

Status Failed(const char* what, HRESULT hr) {
  if (hr == WINCODEC_ERR_COMPONENTNOTFOUND || hr == WINCODEC_ERR_UNKNOWNIMAGEFORMAT)
    return Status::Unsupported("The cover's image format cannot be decoded here.");
  return Status::Corrupt(std::string("The cover cannot be decoded (") + what + ", " + Hex(hr) +
                         ").");
}

// Decodes the first frame of `bytes` into `out` (premultiplied BGRA).
Status DecodeFrame(std::string_view bytes, Image* out) {
  Com<IWICImagingFactory> factory;
  HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, factory.put_void());
  if (FAILED(hr)) return Status::IOError("The Windows Imaging Component is not available.");
  Com<IWICStream> stream;
  hr = factory->CreateStream(stream.put());
  if (SUCCEEDED(hr)) {
    // WIC only reads from the buffer.
    hr = stream->InitializeFromMemory(
        const_cast<BYTE*>(reinterpret_cast<const BYTE*>(bytes.data())),
        static_cast<DWORD>(bytes.size()));
  }
  if (FAILED(hr)) return Failed("stream", hr);
  Com<IWICBitmapDecoder> decoder;
  hr = factory->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnDemand,
                                        decoder.put());
  if (FAILED(hr)) return Failed("header", hr);
  Com<IWICBitmapFrameDecode> frame;
  hr = decoder->GetFrame(0, frame.put());
  UINT width = 0, height = 0;
  if (SUCCEEDED(hr)) hr = frame->GetSize(&width, &height);
  if (FAILED(hr)) return Failed("frame", hr);
  if (Status st = CheckImageSize(width, height); !st.ok()) return st;
  Com<IWICFormatConverter> converter;
  hr = factory->CreateFormatConverter(converter.put());
  if (SUCCEEDED(hr)) {
    hr = converter->Initialize(frame.get(), GUID_WICPixelFormat32bppPBGRA,
                               WICBitmapDitherTypeNone, nullptr, 0.0,
                               WICBitmapPaletteTypeCustom);
  }
  if (FAILED(hr)) return Failed("conversion", hr);
  std::vector<uint8_t> bgra(size_t{width} * height * 4);
  hr = converter->CopyPixels(nullptr, width * 4, static_cast<UINT>(bgra.size()), bgra.data());
  if (FAILED(hr)) return Failed("pixels", hr);
  out->width = static_cast<int>(width);
  out->height = static_cast<int>(height);
  out->rgb.resize(bgra.size() / 4 * 3);
  for (size_t i = 0, o = 0; i < bgra.size(); i += 4, o += 3) {
    out->rgb[o] = bgra[i + 2];
    out->rgb[o + 1] = bgra[i + 1];
    out->rgb[o + 2] = bgra[i];
  }
  return Status::OK();
}

Status WriteFailed(const char* what, HRESULT hr) {
  return Status::IOError(std::string("The PNG cannot be written (") + what + ", " + Hex(hr) + ").");
}

// The bytes an encoder left in a stream made by CreateStreamOnHGlobal.
Status StreamBytes(IStream* stream, std::string* out) {
  STATSTG stat{};
  HRESULT hr = stream->Stat(&stat, STATFLAG_NONAME);
  HGLOBAL memory = nullptr;
  if (SUCCEEDED(hr)) hr = GetHGlobalFromStream(stream, &memory);
  if (FAILED(hr)) return WriteFailed("stream", hr);
  const void* data = GlobalLock(memory);
  if (!data || stat.cbSize.QuadPart > GlobalSize(memory)) {
    if (data) GlobalUnlock(memory);
    return WriteFailed("stream size", E_UNEXPECTED);
  }
  out->assign(static_cast<const char*>(data), static_cast<size_t>(stat.cbSize.QuadPart));
  GlobalUnlock(memory);
  return Status::OK();
}

// Hands the rows to `frame` in blocks, as BGR: the PNG encoder's own format
// for 8-bit RGB (asked for 24bppRGB, Wine 8's encoder offers another one).
Status WriteRows(const Image& image, IWICBitmapFrameEncode* frame) {
  constexpr UINT kBlockRows = 64;
  const UINT stride = static_cast<UINT>(image.width) * 3;
  std::vector<BYTE> bgr;
  for (UINT y = 0; y < static_cast<UINT>(image.height); y += kBlockRows) {
    const UINT rows = std::min<UINT>(kBlockRows, static_cast<UINT>(image.height) - y);
    const uint8_t* from = image.rgb.data() + size_t{y} * stride;
    bgr.assign(from, from + size_t{rows} * stride);
    for (size_t i = 0; i + 2 < bgr.size(); i += 3) std::swap(bgr[i], bgr[i + 2]);
    const HRESULT hr = frame->WritePixels(rows, stride, static_cast<UINT>(bgr.size()), bgr.data());
    if (FAILED(hr)) return WriteFailed("pixels", hr);
  }
  return Status::OK();
}

// Encodes `image` as a PNG of one frame into `out`.
Status EncodeFrame(const Image& image, std::string* out) {
  Com<IWICImagingFactory> factory;
  HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, factory.put_void());
  if (FAILED(hr)) return Status::IOError("The Windows Imaging Component is not available.");
  Com<IStream> stream;
  hr = CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
  Com<IWICBitmapEncoder> encoder;
  if (SUCCEEDED(hr)) hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.put());
  if (SUCCEEDED(hr)) hr = encoder->Initialize(stream.get(), WICBitmapEncoderNoCache);
  if (FAILED(hr)) return WriteFailed("encoder", hr);
  Com<IWICBitmapFrameEncode> frame;
  Com<IPropertyBag2> options;
  hr = encoder->CreateNewFrame(frame.put(), options.put());
  if (SUCCEEDED(hr)) hr = frame->Initialize(options.get());
  if (SUCCEEDED(hr))
    hr = frame->SetSize(static_cast<UINT>(image.width), static_cast<UINT>(image.height));
  WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
  if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
  if (SUCCEEDED(hr) && !IsEqualGUID(format, GUID_WICPixelFormat24bppBGR)) hr = E_NOTIMPL;
  if (FAILED(hr)) return WriteFailed("frame", hr);
  if (Status st = WriteRows(image, frame.get()); !st.ok()) return st;
  hr = frame->Commit();
  if (SUCCEEDED(hr)) hr = encoder->Commit();
  if (FAILED(hr)) return WriteFailed("commit", hr);
  return StreamBytes(stream.get(), out);
}

}  // namespace

Status DecodeImage(std::string_view bytes, Image* out) {
  const bool jpeg = bytes.size() >= 3 && bytes.substr(0, 3) == "\xFF\xD8\xFF";
  const bool png = bytes.size() >= 8 && bytes.substr(0, 8) == "\x89PNG\r\n\x1A\n";
  if (!jpeg && !png) return Status::Unsupported("The cover is neither a JPEG nor a PNG image.");
  if (bytes.size() > 0xFFFFFFFFu) return Status::Invalid("The cover is larger than 4 GB.");
  ComScope com;
  Image image;
  if (Status st = DecodeFrame(bytes, &image); !st.ok()) return st;
  if (jpeg) ApplyExifOrientation(JpegExifOrientation(bytes), &image);
  *out = std::move(image);
  return Status::OK();
}

Status EncodePng(const Image& image, std::string* out) {
  if (image.width <= 0 || image.height <= 0)
    return Status::Invalid("An empty image cannot be written as a PNG.");
  if (Status st = CheckImageSize(image.width, image.height); !st.ok()) return st;
  if (image.rgb.size() != static_cast<size_t>(image.width) * image.height * 3)
    return Status::Invalid("The image's pixels do not match its size.");
  ComScope com;
  std::string file;
  if (Status st = EncodeFrame(image, &file); !st.ok()) return st;
  *out = std::move(file);
  return Status::OK();
}

}  // namespace cadenza
