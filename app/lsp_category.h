// Keeps the executable's Winsock LSP category at exactly LSP_SYSTEM, so that
// layered service providers (third-party filters) keep out of this process's
// sockets: a missing entry is set, a category someone changed is cleared to 0
// and then set, never OR-ed.
//
//   LspCategory::Ensure(LspCategory::System(), exePath);
//
// The two WSC calls come through an Api table: System() binds them from
// ws2_32.dll at run time, since Wine's ws2_32 lacks
// WSCGetApplicationCategory (an import of it would keep the program from
// loading there). A missing function counts as a failed call: one error
// line, and the category is left alone. Tests hand in their own table.
//
// Thread: GUI thread (start-up).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

namespace halyx {

class LspCategory {
 public:
  static constexpr DWORD kLspSystem = 0x80000000;
  static constexpr int kNoEntry = 10108;  // WSASERVICE_NOT_FOUND: no entry for this path

  struct Api {
    int(WSAAPI* get)(LPCWSTR path, DWORD pathLength, LPCWSTR extra, DWORD extraLength, DWORD* category,
                     LPINT error) = nullptr;
    int(WSAAPI* set)(LPCWSTR path, DWORD pathLength, LPCWSTR extra, DWORD extraLength, DWORD category, LPCWSTR reserved,
                     LPINT error) = nullptr;
  };

  // The functions of the system's ws2_32.dll; a missing one stays null.
  static const Api& System();

  // Reads the category of `path` and sets it to LSP_SYSTEM when it is not,
  // logging each step ("App: LSP category ...").
  static void Ensure(const Api& api, const std::wstring& path);
};

}  // namespace halyx
