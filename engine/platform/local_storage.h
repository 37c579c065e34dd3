// A page origin's localStorage: string pairs kept in memory and, once a
// folder is given (wkeSetLocalStorageFullPath), written through to a file of
// that origin in that folder on every change.
//
// One store per folder and origin lives in the process at a time: every view
// whose page has that origin shares it, so a write in one view is seen at
// once by the others and no view writes back a stale copy over another's
// keys. Origins never share a store: "https://host:port" for remote pages,
// "file://" for local ones.
//
// File: "localstorage-<origin>.dat", the origin with every byte other than
// letters, digits and '.' written as "_XX" (hex). For each pair,
// "<key bytes> <value bytes>\n", then the key and the value as raw UTF-8,
// then "\n". Written beside and renamed over the old file through its
// handle, so a crash mid-write leaves the previous content whole.
//
// The engine runs elevated: the folder is made with an access list of
// SYSTEM and Administrators only, or, when it exists, used only when it is a
// real folder (no junction) owned by them; files are opened without following
// links and refused with a second name (base/protected_folder.h). A folder
// that fails keeps the store in memory.
//
// Thread: GUI thread; shared by the views and pages that use it.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace halyx::engine {

class LocalStorage {
 public:
  // The store of `origin` in `folder` (created when missing; empty or not
  // fit to write into: kept in memory only), shared with every other user of the same pair.
  static std::shared_ptr<LocalStorage> Open(const std::wstring& folder, const std::string& origin);
  // The origin of a page's URL, as the store is keyed.
  static std::string OriginOf(const std::string& url);

  bool Get(const std::string& key, std::string& value) const;
  void Set(const std::string& key, const std::string& value);
  void Remove(const std::string& key);
  void Clear();
  // Every key, in order.
  std::vector<std::string> Keys() const;

  const std::wstring& file() const { return file_; }

 private:
  void Load();
  void Save() const;

  std::wstring file_;
  std::map<std::string, std::string> items_;
};

}  // namespace halyx::engine
