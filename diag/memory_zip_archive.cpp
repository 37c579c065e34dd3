#include "diag/memory_zip_archive.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include <zip.h>

namespace halyx {

// The "file" that minizip writes: a byte vector and a position in it.
// minizip seeks back to patch each local header once its entry is complete,
// so writes overwrite as well as append.
struct MemoryZipArchive::Buffer {
  std::vector<uint8_t> bytes;
  std::size_t position = 0;
  std::size_t maxSize = 0;
  bool failed = false;
};

namespace {

using Buffer = MemoryZipArchive::Buffer;

// minizip is C: nothing may throw through these callbacks, so a failed
// allocation becomes a short write, which minizip reports as an error.

voidpf ZCALLBACK OpenBuffer(voidpf opaque, const void* /*filename*/, int /*mode*/) { return opaque; }

uLong ZCALLBACK ReadBuffer(voidpf /*opaque*/, voidpf stream, void* out, uLong size) {
  auto* buffer = static_cast<Buffer*>(stream);
  if (buffer->position >= buffer->bytes.size()) return 0;
  const std::size_t n = std::min<std::size_t>(size, buffer->bytes.size() - buffer->position);
  std::memcpy(out, buffer->bytes.data() + buffer->position, n);
  buffer->position += n;
  return static_cast<uLong>(n);
}

uLong ZCALLBACK WriteBuffer(voidpf /*opaque*/, voidpf stream, const void* data, uLong size) {
  auto* buffer = static_cast<Buffer*>(stream);
  if (size > buffer->maxSize || buffer->position > buffer->maxSize - size) {
    buffer->failed = true;
    return 0;
  }
  const std::size_t end = buffer->position + size;
  try {
    if (end > buffer->bytes.size()) buffer->bytes.resize(end);
  } catch (const std::bad_alloc&) {
    buffer->failed = true;
    return 0;
  }
  std::memcpy(buffer->bytes.data() + buffer->position, data, size);
  buffer->position = end;
  return size;
}

ZPOS64_T ZCALLBACK TellBuffer(voidpf /*opaque*/, voidpf stream) { return static_cast<Buffer*>(stream)->position; }

long ZCALLBACK SeekBuffer(voidpf /*opaque*/, voidpf stream, ZPOS64_T offset, int origin) {
  auto* buffer = static_cast<Buffer*>(stream);
  ZPOS64_T base = 0;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
      base = 0;
      break;
    case ZLIB_FILEFUNC_SEEK_CUR:
      base = buffer->position;
      break;
    case ZLIB_FILEFUNC_SEEK_END:
      base = buffer->bytes.size();
      break;
    default:
      return -1;
  }
  const ZPOS64_T target = base + offset;
  if (target > buffer->bytes.size()) return -1;
  buffer->position = static_cast<std::size_t>(target);
  return 0;
}

int ZCALLBACK CloseBuffer(voidpf /*opaque*/, voidpf /*stream*/) { return 0; }

int ZCALLBACK BufferError(voidpf /*opaque*/, voidpf stream) { return static_cast<Buffer*>(stream)->failed ? 1 : 0; }

}  // namespace

MemoryZipArchive::MemoryZipArchive(std::size_t maxSize) : buffer_(std::make_unique<Buffer>()) {
  buffer_->maxSize = maxSize;
  zlib_filefunc64_def functions = {};
  functions.zopen64_file = OpenBuffer;
  functions.zread_file = ReadBuffer;
  functions.zwrite_file = WriteBuffer;
  functions.ztell64_file = TellBuffer;
  functions.zseek64_file = SeekBuffer;
  functions.zclose_file = CloseBuffer;
  functions.zerror_file = BufferError;
  functions.opaque = buffer_.get();
  zip_ = zipOpen2_64("", APPEND_STATUS_CREATE, nullptr, &functions);
  if (zip_ == nullptr) throw std::runtime_error("Error creating zip in memory!");
}

MemoryZipArchive::~MemoryZipArchive() {
  if (zip_ != nullptr) zipClose(zip_, nullptr);
}

bool MemoryZipArchive::AddEntry(const std::string& name, TextFileReader& source) {
  if (name.empty()) return false;
  const zip_fileinfo info = {};
  const int zip64 = source.size() >= 0xFFFFFFFFull ? 1 : 0;
  if (zipOpenNewFileInZip64(zip_, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 9, zip64) !=
      ZIP_OK) {
    throw std::runtime_error("Error adding '" + name + "' to zip");
  }
  std::vector<char> chunk;
  bool written = true;
  while (source.Read(chunk)) {
    if (zipWriteInFileInZip(zip_, chunk.data(), static_cast<unsigned>(chunk.size())) != ZIP_OK) {
      written = false;
      break;
    }
  }
  // An entry whose writes failed stays open; the next entry or Close()
  // closes it, and a failed write makes Close() fail anyway.
  if (written && zipCloseFileInZip(zip_) != ZIP_OK) written = false;
  return written && !source.failed();
}

void MemoryZipArchive::Close(std::vector<uint8_t>& out) {
  void* zip = zip_;
  zip_ = nullptr;
  if (zipClose(zip, nullptr) != ZIP_OK || buffer_->failed) throw std::runtime_error("Error closing zip in memory!");
  out = std::move(buffer_->bytes);
  buffer_->bytes.clear();
  buffer_->position = 0;
}

}  // namespace halyx
