// The pixels of one image a page shows: PNG, JPEG, GIF (first frame) or BMP
// decoded through the Windows Imaging Component into 32-bit premultiplied
// BGRA, top-down, `width * 4` bytes a row.
//
// The decoder is Windows' own for the format the file's first bytes name;
// any other file is refused, so no codec installed on the machine ever
// reads a page's bytes in this elevated process.
//
// The bytes come from the page, so decoding refuses what would cost more
// than a page deserves: an encoded file over kMaxEncodedBytes, or a picture
// wider or taller than kMaxSide pixels. A damaged or truncated file fails
// with the reason; it never throws.
//
//   DecodedImage image;
//   std::string error;
//   if (!image.Decode(bytes, error)) Log(error);
//
// Thread: any; COM is set up and torn down around each Decode, leaving the
// caller's apartment as it was.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace halyx::engine {

class DecodedImage {
 public:
  static constexpr std::size_t kMaxEncodedBytes = 8 * 1024 * 1024;
  static constexpr int kMaxSide = 4096;

  bool Decode(const std::string& bytes, std::string& error);

  int width() const { return width_; }
  int height() const { return height_; }
  // Premultiplied BGRA, one 32-bit value per pixel.
  std::uint32_t Pixel(int x, int y) const {
    return pixels_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x)];
  }

 private:
  int width_ = 0, height_ = 0;
  std::vector<std::uint32_t> pixels_;
};

// A page's decoded pictures by their src as written.
using DecodedImages = std::map<std::string, DecodedImage>;

}  // namespace halyx::engine
