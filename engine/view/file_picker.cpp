#include "engine/view/file_picker.h"

#include "engine/view/web_view.h"

#include <commdlg.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "base/unique_handle.h"
#include "base/utf8.h"
#include "engine/view/engine_host.h"
#include "engine/view/worker_slot.h"

namespace halyx::engine {
namespace {

// Browsers show the picked file's value under this made-up folder; the real
// one stays with the engine.
constexpr char kFakeFolder[] = "C:\\fakepath\\";

bool g_dialogOpen = false;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

void FilePicker::RunDialog(unsigned id, int element, std::uint32_t generation, unsigned serial,
                           const std::wstring& filter) {
  if (g_dialogOpen) return;
  wchar_t path[MAX_PATH * 4] = {};
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof(dialog);
  // The view has no window of its own: the dialog belongs to whichever
  // window of this thread is active, so it stays in front of the page.
  dialog.hwndOwner = ::GetActiveWindow();
  dialog.lpstrFilter = filter.c_str();
  dialog.lpstrFile = path;
  dialog.nMaxFile = static_cast<DWORD>(std::size(path));
  // A link is picked as the link file itself: what is read is what the
  // person pointed at, never where a planted link leads.
  dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY |
                 OFN_NODEREFERENCELINKS | OFN_DONTADDTORECENT;
  g_dialogOpen = true;
  const BOOL picked = ::GetOpenFileNameW(&dialog);
  g_dialogOpen = false;
  EngineHost* host = EngineHost::Instance();
  WebView* view = host != nullptr ? host->FindView(id) : nullptr;
  if (!picked) {
    const DWORD error = ::CommDlgExtendedError();
    if (view != nullptr && error != 0) view->AddConsoleLine(3, "Open dialog failed (" + std::to_string(error) + ")");
    return;
  }
  if (view == nullptr || view->script() == nullptr || view->script()->serial() != serial) return;
  view->picker_.Picked(element, generation, path);
}

std::wstring FilePicker::FilterFor(const std::string& accept) {
  static const struct {
    const char* type;
    const char* extension;
  } kTypes[] = {{"text/plain", "txt"},      {"application/json", "json"}, {"text/csv", "csv"},
                {"application/zip", "zip"}, {"text/xml", "xml"},          {"application/xml", "xml"}};
  std::string patterns;
  std::size_t start = 0;
  while (start <= accept.size()) {
    const std::size_t comma = std::min(accept.find(',', start), accept.size());
    std::string token = Lower(accept.substr(start, comma - start));
    start = comma + 1;
    token.erase(0, token.find_first_not_of(" \t"));
    token.erase(token.find_last_not_of(" \t") + 1);
    std::string extension;
    if (token.size() > 1 && token[0] == '.') {
      extension = token.substr(1);
    } else {
      for (const auto& known : kTypes) {
        if (token == known.type) extension = known.extension;
      }
    }
    // Only plain extensions: a ';' or '*' would widen the pattern.
    const bool plain = !extension.empty() && std::all_of(extension.begin(), extension.end(), [](char c) {
      return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_';
    });
    const std::string pattern = "*." + extension;
    if (plain && (";" + patterns + ";").find(";" + pattern + ";") == std::string::npos) {
      patterns += (patterns.empty() ? "" : ";") + pattern;
    }
  }
  std::wstring filter;
  if (!patterns.empty()) {
    const std::wstring wide = Utf8ToWide(patterns);
    filter += L"Accepted files (" + wide + L")" + std::wstring(1, L'\0') + wide + std::wstring(1, L'\0');
  }
  filter += L"All files (*.*)" + std::wstring(1, L'\0') + L"*.*" + std::wstring(2, L'\0');
  return filter;
}

void FilePicker::Choose(int element) {
  if (!view_.mainView_) {
    view_.AddConsoleLine(3, "File input refused: only the main page may open files");
    return;
  }
  EngineHost* host = EngineHost::Instance();
  if (host == nullptr || !view_.script_ || !view_.document_.IsElement(element)) return;
  // From the message loop, once the click has been handled: the dialog's
  // own loop must not run inside the view's input handling.
  const unsigned id = view_.id_;
  const std::uint32_t generation = view_.document_.generation(element);
  const unsigned serial = view_.script_->serial();
  const std::wstring filter = FilterFor(view_.document_.Attribute(element, "accept"));
  host->PostTask([id, element, generation, serial, filter]() { RunDialog(id, element, generation, serial, filter); });
}

void FilePicker::Picked(int element, std::uint32_t generation, const std::wstring& path) {
  HtmlDocument& doc = view_.document_;
  if (!doc.IsElement(element) || doc.generation(element) != generation) return;
  const std::size_t slash = path.find_last_of(L"\\/");
  Pick pick;
  pick.path = path;
  pick.name = WideToUtf8(slash == std::wstring::npos ? path : path.substr(slash + 1));
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
    pick.size = static_cast<double>((static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  }
  pick.serial = view_.script_ ? view_.script_->serial() : 0;
  const int id = nextPick_++;
  picks_[id] = pick;
  shown_[element] = Shown{generation, id};
  doc.SetAttribute(element, "value", kFakeFolder + pick.name);
  view_.ContentChanged();
  ScriptContext::EventInit init;
  init.cancelable = false;
  view_.events_.Fire(element, "input", init);
  view_.events_.Fire(element, "change", init);
}

bool FilePicker::PickOf(int element, int& pick, std::string& name, double& size) const {
  const auto shown = shown_.find(element);
  if (shown == shown_.end() || !view_.document_.IsElement(element) ||
      view_.document_.generation(element) != shown->second.generation) {
    return false;
  }
  // A new page's elements start over at the same indices: the shown pick
  // is only the page's own.
  const auto found = picks_.find(shown->second.pick);
  if (found == picks_.end() || !view_.script_ || found->second.serial != view_.script_->serial()) return false;
  pick = found->first;
  name = found->second.name;
  size = found->second.size;
  return true;
}

std::string FilePicker::Read(int request, int pick) {
  const auto found = picks_.find(pick);
  if (found == picks_.end() || !view_.script_ || found->second.serial != view_.script_->serial()) {
    return "not a file the person picked";
  }
  EngineHost* host = EngineHost::Instance();
  if (host == nullptr) return "the engine is shutting down";
  if (*reading_ >= kMaxReading) return "more than " + std::to_string(kMaxReading) + " files read at once";
  const std::wstring path = found->second.path;
  const unsigned id = view_.id_;
  const unsigned serial = view_.script_->serial();
  host->RunInBackground([path, id, serial, request, slot = std::make_shared<WorkerSlot>(reading_)]() mutable {
    auto bytes = std::make_shared<std::string>();
    auto why = std::make_shared<std::string>();
    if (!ReadPicked(path, kMaxFileBytes, *bytes, *why)) bytes->clear();
    // The place is free before the page hears of the answer, so the page
    // may ask again at once.
    slot.reset();
    EngineHost* current = EngineHost::Instance();
    if (current == nullptr) return;
    current->PostTask([bytes, why, id, serial, request]() {
      WebView* view = EngineHost::Instance()->FindView(id);
      if (view == nullptr || view->script() == nullptr || view->script()->serial() != serial) return;
      view->script()->FileRead(request, *why, *bytes);
    });
  });
  return {};
}

bool FilePicker::ReadPicked(const std::wstring& path, std::size_t limit, std::string& bytes, std::string& why) {
  bytes.clear();
  FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) {
    why = "cannot open the file (" + std::to_string(::GetLastError()) + ")";
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  LARGE_INTEGER size{};
  if (!::GetFileInformationByHandle(file.get(), &info) || !::GetFileSizeEx(file.get(), &size)) {
    why = "cannot read what the file is (" + std::to_string(::GetLastError()) + ")";
    return false;
  }
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    why = "the file is a folder or a link";
    return false;
  }
  const std::string too_large = "the file is larger than " + std::to_string(limit) + " bytes";
  if (static_cast<unsigned long long>(size.QuadPart) > limit) {
    why = too_large;
    return false;
  }
  // Read to the limit and one byte past it: a file that grew since it was
  // measured is refused as well.
  bytes.assign(limit + 1, '\0');
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD read = 0;
    if (!::ReadFile(file.get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &read, nullptr)) {
      why = "reading the file failed (" + std::to_string(::GetLastError()) + ")";
      bytes.clear();
      return false;
    }
    if (read == 0) break;
    done += read;
  }
  if (done > limit) {
    why = too_large;
    bytes.clear();
    return false;
  }
  bytes.resize(done);
  return true;
}

}  // namespace halyx::engine
