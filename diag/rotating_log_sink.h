// The process log's file sink: one size-rotated file, written and rotated
// through handles. The logging library's own rotating sink deletes and
// renames by path, which in a folder someone else can change would let them
// choose what the administrator deletes or overwrites; this one opens each
// file without following a reparse point, refuses a file of more than one
// name, and renames each file through its own handle.
//
//   auto sink = std::make_shared<RotatingLogSink>(folder, L"quorvpn.log", 20 << 20, 3);
//   if (!sink->Open("util")) return false;   // logged
//   auto logger = std::make_shared<spdlog::logger>("QUOR", sink);
//
// Rotation as the library's: when a record would push the active file past
// `maxSize`, "quorvpn.2.log" becomes "quorvpn.3.log" (replacing it), and so on
// down to the active file becoming "quorvpn.1.log"; the record then goes into
// a new "quorvpn.log". Files are shared for reading, writing and deletion, so
// the log collector reads them and a second instance appends meanwhile. A
// failed write or rotation is thrown as spdlog_ex, which the logger hands to
// its error handler; logging goes on.
//
// The folder is the caller's to protect (UserDataFolder).
//
// Thread: any; the base sink's mutex serialises records and rotation.
#pragma once

#include <windows.h>

#include <cstddef>
#include <mutex>
#include <string>

#include <spdlog/sinks/base_sink.h>

#include "base/unique_handle.h"

namespace halyx {

class RotatingLogSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  // `fileName` is the active file's name in `folder`, "quorvpn.log".
  RotatingLogSink(std::wstring folder, std::wstring fileName, std::size_t maxSize, std::size_t maxFiles);

  // Opens the active file for appending; false after one error line
  // starting with `logPrefix`.
  bool Open(const char* logPrefix);

  // "quorvpn.log" with index 2 is "quorvpn.2.log"; index 0 is the name itself.
  static std::wstring RotatedName(const std::wstring& fileName, std::size_t index);

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override;
  // Each WriteFile has handed the bytes to the system already.
  void flush_() override {}

 private:
  std::wstring PathOf(std::size_t index) const;
  bool OpenActive(const char* logPrefix);
  // Shifts the chain and opens a new active file; what failed, or empty.
  std::string Rotate();

  const std::wstring folder_;
  const std::wstring fileName_;
  const std::size_t maxSize_;
  const std::size_t maxFiles_;
  FileHandle file_;
  std::size_t size_ = 0;
};

}  // namespace halyx
