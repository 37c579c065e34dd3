// The file that navigator.msSaveBlob writes: the page's bytes go where the
// person chose in the save dialog, but the client runs elevated, so the
// place is checked on the opened file before a byte is written.
//
// Refused: a name with an executable extension (a page offering "wke.dll"
// or "setup.exe" until someone clicks Save), a name with a stream part, a
// file that is a link or has more than one name (the write would land on
// the file it points at), and any file that lies, after every link on its
// way, inside the Windows, Program Files or application folder. A file
// the open created and then refused is removed again; an existing one is
// left as it was.
//
//   SaveTarget target;
//   std::string why;
//   if (!target.Open(path, why) || !target.Write(bytes, size, why)) Report(why);
//
// Thread: any; an instance owns one open file.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "base/unique_handle.h"

namespace halyx::engine {

class SaveTarget {
 public:
  // The extension (without the dot) and the dialog's filter description for
  // a blob's MIME type; false for a type the engine does not save.
  static bool FileTypeOf(const std::string& type, std::wstring& extension, std::wstring& description);
  // True for an extension Windows runs or loads as code (".exe", ".dll",
  // ".lnk", ".ps1", ...), in any case.
  static bool IsExecutableName(const std::wstring& name);

  // Opens `path` for writing, not following a link at its end; false with
  // the reason in `why`.
  bool Open(const std::wstring& path, std::string& why);
  // Replaces the file's contents by the bytes; on failure the file is
  // removed if the open created it.
  bool Write(const void* bytes, std::size_t size, std::string& why);

 private:
  // Removes the file through its handle, when the open created it.
  void Discard();

  FileHandle file_;
  bool created_ = false;
};

}  // namespace halyx::engine
