#include "app/log_on_task.h"

#include <windows.h>
#include <oleauto.h>
#include <sddl.h>
#include <taskschd.h>
#include <wrl/client.h>

#include <vector>

#include <spdlog/spdlog.h>

#include "app/process_values.h"
#include "base/com_for_call.h"
#include "base/error_code.h"
#include "base/scoped_bstr.h"
#include "base/unique_handle.h"
#include "base/utf8.h"

namespace halyx {
namespace {

using Microsoft::WRL::ComPtr;

std::wstring EscapeXml(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (const wchar_t c : text) {
    switch (c) {
      case L'&':
        out += L"&amp;";
        break;
      case L'<':
        out += L"&lt;";
        break;
      case L'>':
        out += L"&gt;";
        break;
      case L'"':
        out += L"&quot;";
        break;
      case L'\'':
        out += L"&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// The scheduler's root folder, connected on this machine as this user.
bool RootFolder(const char* step, ComPtr<ITaskFolder>& folder) {
  ComPtr<ITaskService> service;
  HRESULT hr = ::CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                                  reinterpret_cast<void**>(service.GetAddressOf()));
  if (SUCCEEDED(hr)) {
    VARIANT none;
    ::VariantInit(&none);
    hr = service->Connect(none, none, none, none);
  }
  if (SUCCEEDED(hr)) {
    const ScopedBstr root(L"\\");
    hr = service->GetFolder(root, folder.GetAddressOf());
  }
  if (FAILED(hr)) {
    spdlog::error("AutoStartup: {} log-on task: Task Scheduler unavailable ({:#x})", step, HResult(hr));
    return false;
  }
  return true;
}

}  // namespace

std::wstring LogOnTask::CurrentUserSid() {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) {
    spdlog::error("AutoStartup: OpenProcessToken failed ({:#x})", LastError());
    return {};
  }
  const ProcessHandle token(raw);
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  wchar_t* text = nullptr;
  if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size) ||
      !::ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
    spdlog::error("AutoStartup: reading the user's SID failed ({:#x})", LastError());
    return {};
  }
  std::wstring sid(text);
  ::LocalFree(text);
  return sid;
}

std::wstring LogOnTask::NameFor(const std::wstring& userSid) {
  return std::wstring(AutoStartValueName) + L" " + userSid;
}

std::wstring LogOnTask::Definition(const std::wstring& userSid, const std::wstring& executable) {
  const std::wstring user = EscapeXml(userSid);
  const std::wstring::size_type slash = executable.find_last_of(L"\\/");
  const std::wstring folder = slash == std::wstring::npos ? std::wstring() : executable.substr(0, slash);
  // Version 1.2 is the schema of Windows 7, the oldest system that still
  // gets this client. Without an execution time limit of PT0S the scheduler
  // would end the client after three days; the battery settings would keep
  // it from starting on a laptop that is not plugged in. Nobody starts it on
  // demand: it runs elevated, and only the log-on should. The command is
  // quoted, or "C:\Program Files\..." would first try "C:\Program.exe".
  std::wstring xml =
      L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
      L"<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\n"
      L"  <RegistrationInfo><Description>Starts QuorVPN when you log on.</Description></RegistrationInfo>\n"
      L"  <Triggers><LogonTrigger><Enabled>true</Enabled><UserId>" +
      user +
      L"</UserId></LogonTrigger></Triggers>\n"
      L"  <Principals><Principal id=\"Author\"><UserId>" +
      user +
      L"</UserId><LogonType>InteractiveToken</LogonType><RunLevel>HighestAvailable</RunLevel></Principal>"
      L"</Principals>\n"
      L"  <Settings><MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>"
      L"<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>"
      L"<StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>"
      L"<AllowStartOnDemand>false</AllowStartOnDemand>"
      L"<ExecutionTimeLimit>PT0S</ExecutionTimeLimit></Settings>\n"
      L"  <Actions Context=\"Author\"><Exec><Command>" +
      EscapeXml(L"\"" + executable + L"\"") + L"</Command>";
  if (!folder.empty()) xml += L"<WorkingDirectory>" + EscapeXml(folder) + L"</WorkingDirectory>";
  xml += L"</Exec></Actions>\n</Task>\n";
  return xml;
}

bool LogOnTask::Register(const std::wstring& name, const std::wstring& userSid, const std::wstring& executable) {
  const ComForCall com;
  if (!com.usable()) {
    spdlog::error("AutoStartup: register log-on task: CoInitializeEx failed ({:#x})", HResult(com.result()));
    return false;
  }
  ComPtr<ITaskFolder> folder;
  if (!RootFolder("register", folder)) return false;
  const ScopedBstr path(name.c_str());
  const ScopedBstr xml(Definition(userSid, executable).c_str());
  VARIANT none;
  ::VariantInit(&none);
  // The task starts a program with administrator rights: by default its
  // owner, the user, could change what it runs without elevation.
  VARIANT security;
  ::VariantInit(&security);
  const ScopedBstr securityText(kSecurity);
  V_VT(&security) = VT_BSTR;
  V_BSTR(&security) = securityText;
  ComPtr<IRegisteredTask> task;
  const HRESULT hr = folder->RegisterTask(path, xml, TASK_CREATE_OR_UPDATE, none, none, TASK_LOGON_INTERACTIVE_TOKEN,
                                          security, task.GetAddressOf());
  if (FAILED(hr)) {
    spdlog::error("AutoStartup: register log-on task {} failed ({:#x})", WideToUtf8(name), HResult(hr));
    return false;
  }
  return true;
}

bool LogOnTask::Exists(const std::wstring& name, bool& exists) {
  exists = false;
  const ComForCall com;
  if (!com.usable()) {
    spdlog::error("AutoStartup: find log-on task: CoInitializeEx failed ({:#x})", HResult(com.result()));
    return false;
  }
  ComPtr<ITaskFolder> folder;
  if (!RootFolder("find", folder)) return false;
  const ScopedBstr path(name.c_str());
  ComPtr<IRegisteredTask> task;
  const HRESULT hr = folder->GetTask(path, task.GetAddressOf());
  if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)) return true;
  if (FAILED(hr)) {
    spdlog::error("AutoStartup: find log-on task {} failed ({:#x})", WideToUtf8(name), HResult(hr));
    return false;
  }
  exists = true;
  return true;
}

bool LogOnTask::Remove(const std::wstring& name) {
  const ComForCall com;
  if (!com.usable()) {
    spdlog::error("AutoStartup: remove log-on task: CoInitializeEx failed ({:#x})", HResult(com.result()));
    return false;
  }
  ComPtr<ITaskFolder> folder;
  if (!RootFolder("remove", folder)) return false;
  const ScopedBstr path(name.c_str());
  const HRESULT hr = folder->DeleteTask(path, 0);
  // Not there is what removing wants.
  if (FAILED(hr) && hr != HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
    spdlog::error("AutoStartup: remove log-on task {} failed ({:#x})", WideToUtf8(name), HResult(hr));
    return false;
  }
  return true;
}

}  // namespace halyx
