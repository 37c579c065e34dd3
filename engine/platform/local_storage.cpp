#include "engine/platform/local_storage.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "base/protected_folder.h"
#include "base/unique_handle.h"

namespace halyx::engine {
namespace {

constexpr const char* kLogPrefix = "LocalStorage";

std::wstring FileName(const std::string& origin) {
  std::wstring name = L"localstorage-";
  for (unsigned char c : origin) {
    if (std::isalnum(c) != 0 || c == '.') {
      name += static_cast<wchar_t>(c);
    } else {
      wchar_t hex[4] = {};
      std::swprintf(hex, 4, L"_%02X", c);
      name += hex;
    }
  }
  return name + L".dat";
}

// Live stores by file (or by origin alone for memory-only ones).
std::map<std::wstring, std::weak_ptr<LocalStorage>>& Registry() {
  static std::map<std::wstring, std::weak_ptr<LocalStorage>> registry;
  return registry;
}

}  // namespace

std::string LocalStorage::OriginOf(const std::string& url) {
  std::string lower = url;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::size_t scheme_end = lower.find("://");
  if (scheme_end == std::string::npos) return "file://";
  const std::string scheme = lower.substr(0, scheme_end);
  if (scheme != "http" && scheme != "https") return scheme + "://";
  const std::size_t host_start = scheme_end + 3;
  std::string host = lower.substr(host_start, lower.find_first_of("/?#", host_start) - host_start);
  host = host.substr(host.find('@') == std::string::npos ? 0 : host.find('@') + 1);  // no user info
  if (host.find(':') == std::string::npos) host += scheme == "https" ? ":443" : ":80";
  return scheme + "://" + host;
}

std::shared_ptr<LocalStorage> LocalStorage::Open(const std::wstring& folder, const std::string& origin) {
  std::wstring dir = folder;
  while (!dir.empty() && (dir.back() == L'\\' || dir.back() == L'/')) dir.pop_back();
  const std::wstring key = dir.empty() ? L"memory:" + FileName(origin) : dir + L"\\" + FileName(origin);
  std::weak_ptr<LocalStorage>& slot = Registry()[key];
  if (std::shared_ptr<LocalStorage> live = slot.lock()) return live;
  auto store = std::make_shared<LocalStorage>();
  // A folder that is not fit to write into (a junction, one someone else
  // owns) leaves the store in memory: the elevated engine writes nothing
  // where another program chooses the target.
  std::replace(dir.begin(), dir.end(), L'/', L'\\');
  if (!dir.empty() && EnsureProtectedFolderTree(dir, kLogPrefix)) {
    store->file_ = key;
    store->Load();
  }
  slot = store;
  return store;
}

void LocalStorage::Load() {
  std::string data;
  const FileHandle file = OpenProtectedFile(file_, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, kLogPrefix);
  char chunk[8192];
  DWORD read = 0;
  while (file && ::ReadFile(file.get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) data.append(chunk, read);
  std::size_t at = 0;
  while (at < data.size()) {
    char* end = nullptr;
    const unsigned long key_size = std::strtoul(data.c_str() + at, &end, 10);
    const unsigned long value_size = std::strtoul(end, &end, 10);
    if (end == nullptr || *end != '\n') break;
    const std::size_t start = static_cast<std::size_t>(end - data.c_str()) + 1;
    if (start + key_size + value_size + 1 > data.size()) break;  // damaged: keep what was whole
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

std::vector<std::string> LocalStorage::Keys() const {
  std::vector<std::string> keys;
  for (const auto& item : items_) keys.push_back(item.first);
  return keys;
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
  // Written beside, flushed to the disk, then renamed over the old file
  // through its handle: a crash at any point leaves either the old content
  // or the new, whole.
  ReplaceProtectedFile(file_, out.str(), kLogPrefix);
}

}  // namespace halyx::engine
