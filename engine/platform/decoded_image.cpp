#include "engine/platform/decoded_image.h"

#include <windows.h>
#include <objbase.h>
#include <wincodec.h>

namespace halyx::engine {
namespace {

// Initialises COM on this thread for as long as it lives. A thread already
// in the other apartment model answers RPC_E_CHANGED_MODE: COM is usable
// there as it is, and that initialisation is not ours to undo.
class ComScope {
 public:
  ComScope() : initialised_(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
  ~ComScope() {
    if (initialised_) ::CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  bool initialised_;
};

// Owns one reference to a COM interface.
template <typename T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() {
    if (ptr_ != nullptr) ptr_->Release();
  }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  T* get() const { return ptr_; }
  T* operator->() const { return ptr_; }
  T** out() { return &ptr_; }

 private:
  T* ptr_ = nullptr;
};

// The built-in decoder for the format the bytes start with, or null. A
// decoder found by asking WIC for one would be any codec installed on the
// machine (and loaded into this elevated process) that claims the bytes.
const CLSID* DecoderFor(const std::string& bytes) {
  auto starts = [&bytes](const char* magic, std::size_t size) { return bytes.compare(0, size, magic, size) == 0; };
  if (starts("\x89PNG\r\n\x1a\n", 8)) return &CLSID_WICPngDecoder;
  if (starts("\xff\xd8\xff", 3)) return &CLSID_WICJpegDecoder;
  if (starts("GIF87a", 6) || starts("GIF89a", 6)) return &CLSID_WICGifDecoder;
  if (starts("BM", 2)) return &CLSID_WICBmpDecoder;
  return nullptr;
}

std::string Failed(const char* step, HRESULT hr) {
  char code[16];
  wsprintfA(code, "0x%08lX", static_cast<unsigned long>(hr));
  return std::string(step) + " failed (" + code + ")";
}

}  // namespace

bool DecodedImage::Decode(const std::string& bytes, std::string& error) {
  width_ = height_ = 0;
  pixels_.clear();
  if (bytes.empty()) {
    error = "the file is empty";
    return false;
  }
  if (bytes.size() > kMaxEncodedBytes) {
    error = "the file is larger than " + std::to_string(kMaxEncodedBytes) + " bytes";
    return false;
  }
  const CLSID* format = DecoderFor(bytes);
  if (format == nullptr) {
    error = "not a PNG, JPEG, GIF or BMP file";
    return false;
  }
  ComScope com;
  // The references are released before COM is torn down: they are declared
  // after the scope.
  ComRef<IWICImagingFactory> factory;
  HRESULT hr = ::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                  reinterpret_cast<void**>(factory.out()));
  if (FAILED(hr)) {
    error = Failed("creating the imaging factory", hr);
    return false;
  }
  ComRef<IWICStream> stream;
  hr = factory->CreateStream(stream.out());
  if (SUCCEEDED(hr)) {
    hr = stream->InitializeFromMemory(reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data())),
                                      static_cast<DWORD>(bytes.size()));
  }
  ComRef<IWICBitmapDecoder> decoder;
  if (SUCCEEDED(hr)) {
    hr = ::CoCreateInstance(*format, nullptr, CLSCTX_INPROC_SERVER, IID_IWICBitmapDecoder,
                            reinterpret_cast<void**>(decoder.out()));
  }
  if (SUCCEEDED(hr)) hr = decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand);
  ComRef<IWICBitmapFrameDecode> frame;
  if (SUCCEEDED(hr)) hr = decoder->GetFrame(0, frame.out());
  if (FAILED(hr)) {
    error = Failed("reading the image", hr);
    return false;
  }
  UINT width = 0, height = 0;
  hr = frame->GetSize(&width, &height);
  if (FAILED(hr) || width == 0 || height == 0) {
    error = "the image has no size";
    return false;
  }
  if (width > static_cast<UINT>(kMaxSide) || height > static_cast<UINT>(kMaxSide)) {
    error = "the image is larger than " + std::to_string(kMaxSide) + " x " + std::to_string(kMaxSide) + " pixels";
    return false;
  }
  ComRef<IWICFormatConverter> converter;
  hr = factory->CreateFormatConverter(converter.out());
  if (SUCCEEDED(hr)) {
    hr = converter->Initialize(frame.get(), GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone, nullptr, 0.0,
                               WICBitmapPaletteTypeCustom);
  }
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * height);
  // Truncated data usually surfaces only here, when the rows are decoded.
  if (SUCCEEDED(hr)) {
    hr = converter->CopyPixels(nullptr, width * 4, static_cast<UINT>(pixels.size() * 4),
                               reinterpret_cast<BYTE*>(pixels.data()));
  }
  if (FAILED(hr)) {
    error = Failed("decoding the image", hr);
    return false;
  }
  width_ = static_cast<int>(width);
  height_ = static_cast<int>(height);
  pixels_ = std::move(pixels);
  return true;
}

}  // namespace halyx::engine
