// Move-only owner of one Win32 handle, parameterised by a traits class that
// says how the handle is invalid and how it is closed.
//
//   EventHandle ready(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
//   if (!ready) return false;             // GetLastError() still holds the cause
//   ::WaitForSingleObject(ready.get(), 0);
//
// Validity rejects both null and INVALID_HANDLE_VALUE whatever the "empty"
// value of the alias is, because Win32 uses both for "no handle". reset()
// leaves the thread's last error untouched, so a failure path may release
// handles before the caller reads GetLastError().
//
// Thread: any; an instance is not shared between threads.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <bcrypt.h>
#include <winsvc.h>

#include <utility>

namespace halyx {

template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() noexcept = default;
  explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  Handle get() const noexcept { return handle_; }
  bool valid() const noexcept { return Traits::IsValid(handle_); }
  explicit operator bool() const noexcept { return valid(); }

  // Closes the current handle, if any, and takes `handle`.
  void reset(Handle handle = Traits::Empty()) noexcept {
    if (Traits::IsValid(handle_)) {
      const DWORD error = ::GetLastError();
      Traits::Close(handle_);
      ::SetLastError(error);
    }
    handle_ = handle;
  }

  [[nodiscard]] Handle release() noexcept { return std::exchange(handle_, Traits::Empty()); }

 private:
  Handle handle_ = Traits::Empty();
};

// Kernel handles closed with CloseHandle. `EmptyValue` is what a default
// constructed owner holds: null for events and threads, INVALID_HANDLE_VALUE
// for files and pipes (what CreateFile returns on failure).
template <INT_PTR EmptyValue>
struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Empty() noexcept { return reinterpret_cast<HANDLE>(EmptyValue); }
  static bool IsValid(Handle h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Handle h) noexcept { ::CloseHandle(h); }
};

using EventHandle = UniqueHandle<KernelHandleTraits<0>>;
using ThreadHandle = UniqueHandle<KernelHandleTraits<0>>;
using FileHandle = UniqueHandle<KernelHandleTraits<-1>>;
using ProcessHandle = UniqueHandle<KernelHandleTraits<0>>;

// Handles that are null when empty and released by one call taking the
// handle: service and service-manager handles, CNG objects, GDI objects,
// memory DCs, modules.
template <typename H, auto CloseFn>
struct NullHandleTraits {
  using Handle = H;
  static Handle Empty() noexcept { return nullptr; }
  static bool IsValid(Handle h) noexcept { return h != nullptr; }
  static void Close(Handle h) noexcept { CloseFn(h); }
};

using ScHandle = UniqueHandle<NullHandleTraits<SC_HANDLE, ::CloseServiceHandle>>;

inline NTSTATUS WINAPI CloseCngAlgorithm(BCRYPT_ALG_HANDLE h) { return ::BCryptCloseAlgorithmProvider(h, 0); }

// Where a failing release must be logged, the owner takes the handle out with
// release() on the normal path and closes it itself; the owner still covers
// every early return.
using CngAlgorithmHandle = UniqueHandle<NullHandleTraits<BCRYPT_ALG_HANDLE, CloseCngAlgorithm>>;
using CngHashHandle = UniqueHandle<NullHandleTraits<BCRYPT_HASH_HANDLE, ::BCryptDestroyHash>>;
using CngKeyHandle = UniqueHandle<NullHandleTraits<BCRYPT_KEY_HANDLE, ::BCryptDestroyKey>>;

using RegionHandle = UniqueHandle<NullHandleTraits<HRGN, ::DeleteObject>>;
using BitmapHandle = UniqueHandle<NullHandleTraits<HBITMAP, ::DeleteObject>>;
using FontHandle = UniqueHandle<NullHandleTraits<HFONT, ::DeleteObject>>;
using PenHandle = UniqueHandle<NullHandleTraits<HPEN, ::DeleteObject>>;
// Memory device contexts from CreateCompatibleDC.
using MemoryDcHandle = UniqueHandle<NullHandleTraits<HDC, ::DeleteDC>>;
using ModuleHandle = UniqueHandle<NullHandleTraits<HMODULE, ::FreeLibrary>>;
// Icons from LoadIcon, CreateIcon or CopyIcon that the owner must destroy, and
// menus not attached to a window (a window destroys its own menu bar).
using IconHandle = UniqueHandle<NullHandleTraits<HICON, ::DestroyIcon>>;
using MenuHandle = UniqueHandle<NullHandleTraits<HMENU, ::DestroyMenu>>;
// Registry keys from RegOpenKeyEx or RegCreateKeyEx.
using RegistryKeyHandle = UniqueHandle<NullHandleTraits<HKEY, ::RegCloseKey>>;

// Winsock sockets, closed with closesocket.
struct SocketTraits {
  using Handle = SOCKET;
  static Handle Empty() noexcept { return INVALID_SOCKET; }
  static bool IsValid(Handle s) noexcept { return s != INVALID_SOCKET; }
  static void Close(Handle s) noexcept { ::closesocket(s); }
};

using UniqueSocket = UniqueHandle<SocketTraits>;

}  // namespace halyx
