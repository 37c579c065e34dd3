// Read access to a zip archive of skin files ("skin\main.dat").
//
//   CSkinArchive archive;
//   std::string xml;
//   if (!archive.Open(path) || !archive.Read(L"main.xml", &xml)) return false;
//
// Names inside the archive are matched without regard to case, with either
// kind of slash. Each failure writes one error line.
//
// Thread: any; an instance is used by one thread at a time.
#pragma once

#include <memory>
#include <string>

namespace DuiLib {

class CSkinArchive {
 public:
  CSkinArchive();
  ~CSkinArchive();
  CSkinArchive(const CSkinArchive&) = delete;
  CSkinArchive& operator=(const CSkinArchive&) = delete;

  // False when the file is missing or not a zip archive.
  bool Open(const std::wstring& path);
  bool IsOpen() const;
  // The uncompressed bytes of `name`; false when it is absent or damaged.
  bool Read(const std::wstring& name, std::string* contents) const;

 private:
  struct Zip;
  std::unique_ptr<Zip> zip_;
  std::wstring path_;
};

}  // namespace DuiLib
