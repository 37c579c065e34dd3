#include "engine/local_storage.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace halyx::engine {

void LocalStorage::Open(const std::wstring& folder) {
  std::wstring dir = folder;
  while (!dir.empty() && (dir.back() == L'\\' || dir.back() == L'/')) dir.pop_back();
  if (dir.empty()) return;
  // Create every missing level; existing ones answer ERROR_ALREADY_EXISTS.
  for (std::size_t at = dir.find_first_of(L"\\/", 3); at != std::wstring::npos;
       at = dir.find_first_of(L"\\/", at + 1)) {
    ::CreateDirectoryW(dir.substr(0, at).c_str(), nullptr);
  }
  ::CreateDirectoryW(dir.c_str(), nullptr);
  file_ = dir + L"\\localstorage.dat";
  items_.clear();
  std::ifstream in(file_.c_str(), std::ios::binary);
  const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t at = 0;
  while (at < data.size()) {
    char* end = nullptr;
    const unsigned long key_size = std::strtoul(data.c_str() + at, &end, 10);
    const unsigned long value_size = std::strtoul(end, &end, 10);
    if (end == nullptr || *end != '\n') break;
    const std::size_t start = static_cast<std::size_t>(end - data.c_str()) + 1;
    if (start + key_size + value_size + 1 > data.size()) break;  // a torn write: keep what was whole
    items_[data.substr(start, key_size)] = data.substr(start + key_size, value_size);
    at = start + key_size + value_size + 1;
  }
}

bool LocalStorage::Get(const std::string& key, std::string& value) const {
  const auto found = items_.find(key);
  if (found == items_.end()) return false;
  value = found->second;
  return true;
}

void LocalStorage::Set(const std::string& key, const std::string& value) {
  items_[key] = value;
  Save();
}

void LocalStorage::Remove(const std::string& key) {
  if (items_.erase(key) != 0) Save();
}

void LocalStorage::Clear() {
  items_.clear();
  Save();
}

void LocalStorage::Save() const {
  if (file_.empty()) return;
  std::ostringstream out;
  for (const auto& item : items_) {
    out << item.first.size() << ' ' << item.second.size() << '\n' << item.first << item.second << '\n';
  }
  // Written beside and moved over the old file, so a crash mid-write leaves
  // the previous content.
  const std::wstring temp = file_ + L".tmp";
  {
    std::ofstream file(temp.c_str(), std::ios::binary | std::ios::trunc);
    file << out.str();
    if (!file) return;
  }
  ::MoveFileExW(temp.c_str(), file_.c_str(), MOVEFILE_REPLACE_EXISTING);
}

}  // namespace halyx::engine
