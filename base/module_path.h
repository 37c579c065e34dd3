// Where this program's files are: the executable's (or a module's) own path
// and folder, and paths beside it.
//
// Thread: any.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace halyx {

// The full path of `module` (null: the executable), however long; empty
// when it cannot be read, with the last error left by GetModuleFileNameW.
std::wstring ModulePath(HMODULE module = nullptr);

// The folder of ModulePath(module), without a trailing separator; empty when
// the path cannot be read.
std::wstring ModuleFolder(HMODULE module = nullptr);

// "<folder of the executable>\<relative>"; empty when the folder cannot be
// read.
std::wstring BesideExecutable(std::wstring_view relative);

}  // namespace halyx
