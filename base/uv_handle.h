// Owner of one libuv handle (async, timer, UDP socket, ...) kept on the heap.
//
// Once uv_*_init has succeeded the loop holds the handle until its close
// callback runs, so the memory cannot simply be deleted: Close() hands it to
// uv_close, whose callback frees it on the loop thread. Before that the
// owner frees it directly.
//
//   UvHandle<uv_timer_t> timer;
//   if (uv_timer_init(loop, timer.get()) != 0) return false;   // freed by ~UvHandle
//   timer.SetInitialised();
//   ...                                                        // ~UvHandle: uv_close
//
// Thread: the loop's thread, for everything after construction.
#pragma once

#include <uv.h>

namespace halyx {

template <typename T>
class UvHandle {
 public:
  UvHandle() : handle_(new T{}) {}
  ~UvHandle() { Close(); }
  UvHandle(const UvHandle&) = delete;
  UvHandle& operator=(const UvHandle&) = delete;

  T* get() const { return handle_; }
  uv_handle_t* base() const { return reinterpret_cast<uv_handle_t*>(handle_); }

  // Call right after the handle's uv_*_init succeeded.
  void SetInitialised() { initialised_ = true; }
  bool initialised() const { return initialised_; }

  // Closes and frees the handle; a second call does nothing.
  void Close() {
    if (handle_ == nullptr) return;
    if (initialised_) {
      uv_close(base(), &Free);
    } else {
      delete handle_;
    }
    handle_ = nullptr;
    initialised_ = false;
  }

 private:
  static void Free(uv_handle_t* handle) { delete reinterpret_cast<T*>(handle); }

  T* handle_;
  bool initialised_ = false;
};

}  // namespace halyx
