// The page's localStorage: string pairs kept in memory and, once a folder is
// given (wkeSetLocalStorageFullPath), written through to "localstorage.dat"
// in that folder on every change, so a later view with the same folder reads
// them back.
//
// File format: for each pair, "<key bytes> <value bytes>\n", then the key and
// the value as raw UTF-8, then "\n".
//
// Thread: GUI thread; owned by its view.
#pragma once

#include <map>
#include <string>

namespace halyx::engine {

class LocalStorage {
 public:
  // Reads the pairs stored in `folder` (created when missing).
  void Open(const std::wstring& folder);

  bool Get(const std::string& key, std::string& value) const;
  void Set(const std::string& key, const std::string& value);
  void Remove(const std::string& key);
  void Clear();

 private:
  void Save() const;

  std::wstring file_;
  std::map<std::string, std::string> items_;
};

}  // namespace halyx::engine
