// An anonymous pipe read with blocking calls, used to capture a child
// process's standard error as UTF-16LE text.
//
//   SyncPipe pipe;
//   if (pipe.Create(false, true)) { /* hand WriteHandle() to the child */ }
//   pipe.CloseWrite();
//   std::wstring chunk;
//   while (pipe.Read(chunk) && !chunk.empty()) text += chunk;
//
// Thread: the thread that owns it.
#pragma once

#include <string>

#include "tunnel/pipe.h"

namespace halyx {

class SyncPipe : public Pipe {
 public:
  static constexpr DWORD kBufferSize = 4096;  // the pipe's own buffer
  // Bytes asked for per read: even, so that a read of a long text never
  // splits a UTF-16 code unit and shifts the rest of the text by one byte.
  static constexpr DWORD kReadSize = 8190;

  // CreatePipe with inheritable ends, then takes inheritance off the ends
  // whose flag is false. On a failure both ends are closed.
  bool Create(bool inheritRead, bool inheritWrite) override;

  // One blocking read of at most kReadSize bytes, taken as UTF-16LE text up
  // to the first NUL (an odd last byte is dropped). When every writer has
  // closed its end, `out` is empty and the result true.
  bool Read(std::wstring& out);

  // One blocking read of at most kReadSize raw bytes, appended to `out`
  // (a read may bring none, or an odd count). False at the end of the data
  // (every writer has closed its end; not logged) or on a failure (logged).
  bool ReadBytes(std::string& out);

  // Bytes that a Read would return without blocking. False once every writer
  // has gone and nothing is left (or on a failure, logged).
  bool Available(DWORD& bytes) const;
};

}  // namespace halyx
