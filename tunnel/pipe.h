// An anonymous pipe: the two ends, each closed on its own or with the object.
//
// Subclasses decide how the pipe is created and how it is read.
//
// Thread: any; an instance is used by one thread.
#pragma once

#include <windows.h>

#include "base/unique_handle.h"

namespace halyx {

class Pipe {
 public:
  Pipe() = default;
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  virtual ~Pipe();

  // Creates both ends; an end whose flag is false is not inherited by child
  // processes.
  virtual bool Create(bool inheritRead, bool inheritWrite) = 0;
  // Closes the write end, so that the reader sees the end of the data once
  // every other holder of it has gone.
  virtual void CloseWrite();
  virtual void CloseRead();

  HANDLE ReadHandle() const { return readHandle_.get(); }
  HANDLE WriteHandle() const { return writeHandle_.get(); }

 protected:
  // Anonymous pipe ends: null when closed.
  using End = UniqueHandle<KernelHandleTraits<0>>;
  End readHandle_;
  End writeHandle_;
};

}  // namespace halyx
