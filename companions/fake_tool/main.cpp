// A stand-in for any outside tool, driven by its environment:
//   QUOR_FAKE_STDERR        text written to standard error as UTF-16LE
//   QUOR_FAKE_STDERR_BYTES  that many bytes of UTF-16LE letters to standard error instead
//   QUOR_FAKE_STDERR_DRIBBLE  when set, QUOR_FAKE_STDERR goes out one byte per write,
//                             after a write of no bytes, with pauses between
//   QUOR_FAKE_STDERR_FLOOD_MS letters to standard error without pause for that many ms
//   QUOR_FAKE_STDOUT        text written to standard output as UTF-16LE
//   QUOR_FAKE_EXIT          the exit code (default 0)
//   QUOR_FAKE_HANG          when set, never exits
#include <windows.h>

#include <string>

namespace {

std::wstring Env(const wchar_t* name) {
  wchar_t buffer[32768] = {};
  const DWORD size = ::GetEnvironmentVariableW(name, buffer, 32768);
  return size > 0 && size < 32768 ? std::wstring(buffer, size) : std::wstring();
}

void Dribble(const std::wstring& text) {
  DWORD written = 0;
  const HANDLE out = ::GetStdHandle(STD_ERROR_HANDLE);
  ::WriteFile(out, "", 0, &written, nullptr);
  const char* bytes = reinterpret_cast<const char*>(text.data());
  for (std::size_t i = 0; i < text.size() * sizeof(wchar_t); ++i) {
    ::Sleep(20);
    if (!::WriteFile(out, bytes + i, 1, &written, nullptr)) return;
  }
}

void Flood(DWORD ms) {
  std::wstring block(2048, L'x');
  const ULONGLONG end = ::GetTickCount64() + ms;
  DWORD written = 0;
  while (::GetTickCount64() < end) {
    if (!::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), block.data(), static_cast<DWORD>(block.size() * sizeof(wchar_t)),
                     &written, nullptr)) {
      return;
    }
  }
}

void Put(DWORD stdHandle, const std::wstring& text) {
  std::size_t offset = 0;
  const std::size_t total = text.size() * sizeof(wchar_t);
  const char* bytes = reinterpret_cast<const char*>(text.data());
  while (offset < total) {
    DWORD written = 0;
    if (!::WriteFile(::GetStdHandle(stdHandle), bytes + offset, static_cast<DWORD>(total - offset), &written,
                     nullptr)) {
      return;
    }
    offset += written;
  }
}

}  // namespace

int main() {
  std::wstring err = Env(L"QUOR_FAKE_STDERR");
  const std::wstring count = Env(L"QUOR_FAKE_STDERR_BYTES");
  if (!count.empty()) {
    err.clear();
    for (unsigned long i = 0, n = std::stoul(count) / 2; i < n; ++i) err += static_cast<wchar_t>(L'a' + i % 26);
  }
  Put(STD_OUTPUT_HANDLE, Env(L"QUOR_FAKE_STDOUT"));
  if (Env(L"QUOR_FAKE_STDERR_DRIBBLE").empty()) {
    Put(STD_ERROR_HANDLE, err);
  } else {
    Dribble(err);
  }
  const std::wstring flood = Env(L"QUOR_FAKE_STDERR_FLOOD_MS");
  if (!flood.empty()) Flood(std::stoul(flood));
  if (!Env(L"QUOR_FAKE_HANG").empty()) ::Sleep(INFINITE);
  const std::wstring code = Env(L"QUOR_FAKE_EXIT");
  return code.empty() ? 0 : std::stoi(code);
}
