// Stand-in for the system proxy tool: "sysproxy off" switches the current
// user's WinINet proxy off (direct connections only) and tells the running
// programs. Diagnostics go to standard error as UTF-16LE text; the exit code
// is 0 on success, the Win32 error otherwise (87 for a bad command line).
#include <windows.h>

#include <shellapi.h>
#include <wininet.h>

#include <string>

namespace {

void Say(const std::wstring& text) {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)),
              &written, nullptr);
}

DWORD TurnOff() {
  INTERNET_PER_CONN_OPTIONW option{};
  option.dwOption = INTERNET_PER_CONN_FLAGS;
  option.Value.dwValue = PROXY_TYPE_DIRECT;
  INTERNET_PER_CONN_OPTION_LISTW list{};
  list.dwSize = sizeof(list);
  list.pszConnection = nullptr;  // the LAN settings
  list.dwOptionCount = 1;
  list.pOptions = &option;
  if (!::InternetSetOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, sizeof(list))) {
    const DWORD error = ::GetLastError();
    Say(L"sysproxy: setting the proxy options failed (" + std::to_wstring(error) + L")\r\n");
    return error ? error : 1;
  }
  // Running programs re-read the settings only when told.
  ::InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
  ::InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0);
  return 0;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  const bool off = argv && argc == 2 && std::wstring(argv[1]) == L"off";
  if (argv) ::LocalFree(argv);
  if (!off) {
    Say(L"usage: sysproxy off\r\n");
    return ERROR_INVALID_PARAMETER;
  }
  return static_cast<int>(TurnOff());
}
