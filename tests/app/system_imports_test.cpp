// What ships imports only known DLLs statically: Windows takes those from
// the system folder whatever lies beside the executable, while any other
// DLL would first be looked for in the application's folder, before the
// client restricts the search.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/module_path.h"
#include "base/utf8.h"

namespace halyx {
namespace {

// The DLL names of a module's import table, lower case, read from the file
// mapped as an image.
std::vector<std::string> StaticImports(const std::wstring& path) {
  std::vector<std::string> names;
  const HMODULE mapped = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (mapped == nullptr) return {"<" + WideToUtf8(path) + " not mapped>"};
  // The handle of a resource mapping has its low bits set.
  const auto* base = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(mapped) & ~ULONG_PTR{3});
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (directory.VirtualAddress != 0) {
    for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         entry->Name != 0; ++entry) {
      std::string name = reinterpret_cast<const char*>(base + entry->Name);
      std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
      names.push_back(name);
    }
  }
  ::FreeLibrary(mapped);
  return names;
}

TEST(SystemImports, TheClientAndItsDllsImportOnlyKnownDlls) {
  // The known DLLs of every Windows the client supports (the system's
  // KnownDLLs list, less the ones newer systems added) and msvcrt.
  const std::set<std::string> known = {"advapi32.dll", "comdlg32.dll", "gdi32.dll",    "imm32.dll",   "kernel32.dll",
                                       "msvcrt.dll",   "ole32.dll",    "oleaut32.dll", "shell32.dll", "shlwapi.dll",
                                       "user32.dll",   "ws2_32.dll",   "psapi.dll",    "rpcrt4.dll",  "setupapi.dll"};
  for (const wchar_t* module : {L"QuorVPN.exe", L"WinSparkle.dll", L"wke.dll", L"sentry.dll"}) {
    const std::vector<std::string> imports = StaticImports(BesideExecutable(module));
    EXPECT_FALSE(imports.empty()) << WideToUtf8(module);
    for (const std::string& name : imports) {
      EXPECT_TRUE(known.count(name) != 0) << WideToUtf8(module) << " imports " << name;
    }
  }
}

}  // namespace
}  // namespace halyx
