// Reads a log file as text: CR LF line ends come out as LF, every other byte
// as it is on disk. Logs are read while their writers (the client's own
// logger, the tunnel service) still hold them open for writing, so the file
// is opened sharing read, write and delete, and the read takes whatever has
// been written so far. It is opened without following a reparse point and
// refused when it is one or has a second name: the elevated reader must not
// be pointed at another file by a link planted in a log folder.
//
// The C runtime's text mode would do the CR LF part too, but it also ends the
// file at the first Ctrl-Z byte, and a log line that quotes one (text from
// the page, a server's reply) would silently cut the rest of the log.
//
// Thread: any; one instance per reading thread.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/unique_handle.h"

namespace halyx {

class TextFileReader {
 public:
  // Raw bytes read from the file per call to ReadFile.
  static constexpr DWORD kChunkSize = 8192;

  // False, with the reason in the thread's last error, when the file cannot
  // be opened (missing, a folder, locked by a writer that shares nothing) or
  // is a link (ERROR_CANT_ACCESS_FILE). `path` is in the ANSI code page.
  bool Open(const std::string& path);

  // The file's size on disk when it was opened.
  uint64_t size() const { return size_; }

  // Replaces `text` with the next translated piece (at most kChunkSize + 1
  // bytes). False at the end of the file, and on a read error, which leaves
  // failed() true and the reason in the thread's last error.
  bool Read(std::vector<char>& text);
  bool failed() const { return failed_; }

 private:
  FileHandle file_;
  uint64_t size_ = 0;
  bool pendingCr_ = false;  // a chunk ended in CR; the next one decides
  bool failed_ = false;
  bool ended_ = false;
};

}  // namespace halyx
