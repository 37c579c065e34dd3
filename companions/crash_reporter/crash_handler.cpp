#include "crash_handler.h"

#include <windows.h>
#include <dbghelp.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "base/protected_folder.h"
#include "base/system_library.h"
#include "base/unique_handle.h"

namespace halyx::crash {
namespace {

using WriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                  PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

// How long a crashing thread waits for its dump. On Windows a dump of this
// process takes well under a second; under Wine it takes tens of seconds
// (docs/wine.md).
constexpr DWORD kDumpWaitMs = 120000;
// Room for "\crash-YYYYMMDD-HHMMSS-<pid>.dmp.part".
constexpr std::size_t kNameRoom = 64;

struct Installation {
  ModuleHandle dbghelp;
  WriteDumpFn writeDump = nullptr;
  std::wstring folder;
  std::string comment;
  // The dump's names, built at crash time in room reserved at Install: the
  // crashed thread may hold the heap's lock.
  std::wstring path;
  std::wstring partPath;
  std::vector<ULONGLONG> renameScratch;
  EventHandle crashed;  // a crash has been handed over
  EventHandle written;  // manual reset: the writer is done, every crashing thread may go on
  EventHandle stop;
  ThreadHandle writer;
  LPTOP_LEVEL_EXCEPTION_FILTER previous = nullptr;
  // The crash being handled, set by the first thread that crashes.
  std::atomic<bool> crashing{false};
  EXCEPTION_POINTERS* exception = nullptr;
  DWORD threadId = 0;
  bool dumped = false;
};

std::mutex installMutex;
std::atomic<Installation*> current{nullptr};

// Appends `value` in decimal, at least `width` digits, without allocating.
void AppendNumber(std::wstring& out, unsigned long value, int width) {
  wchar_t digits[16];
  int count = 0;
  do {
    digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0 && count < 16);
  for (int i = count; i < width; ++i) out.push_back(L'0');
  while (count > 0) out.push_back(digits[--count]);
}

bool WriteDump(Installation& in) noexcept {
  SYSTEMTIME now;
  ::GetSystemTime(&now);
  in.path.assign(in.folder).append(L"\\crash-");
  AppendNumber(in.path, now.wYear, 4);
  AppendNumber(in.path, now.wMonth, 2);
  AppendNumber(in.path, now.wDay, 2);
  in.path.push_back(L'-');
  AppendNumber(in.path, now.wHour, 2);
  AppendNumber(in.path, now.wMinute, 2);
  AppendNumber(in.path, now.wSecond, 2);
  in.path.push_back(L'-');
  AppendNumber(in.path, ::GetCurrentProcessId(), 1);
  in.path.append(L".dmp");
  in.partPath.assign(in.path).append(L".part");

  // Opened without following a link and refused with a second name, then
  // truncated and, once whole, renamed through its handle: nothing planted
  // under either name is written through or replaced. None of it allocates.
  FileHandle file = OpenProtectedFile(in.partPath, GENERIC_WRITE | DELETE, 0, OPEN_ALWAYS, nullptr);
  if (!file || !::SetEndOfFile(file.get())) return false;
  MINIDUMP_EXCEPTION_INFORMATION exception{in.threadId, in.exception, FALSE};
  MINIDUMP_USER_STREAM comment{CommentStreamA, static_cast<ULONG>(in.comment.size() + 1), in.comment.data()};
  MINIDUMP_USER_STREAM_INFORMATION streams{1, &comment};
  const BOOL written = in.writeDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file.get(), MiniDumpNormal,
                                    &exception, &streams, nullptr);
  if (!written) {
    FILE_DISPOSITION_INFO remove{TRUE};
    ::SetFileInformationByHandle(file.get(), FileDispositionInfo, &remove, sizeof(remove));
    return false;
  }
  return RenameOpenFile(file.get(), in.path, in.renameScratch);
}

DWORD WINAPI WriterThread(void* param) {
  auto* in = static_cast<Installation*>(param);
  const HANDLE waits[] = {in->stop.get(), in->crashed.get()};
  if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
    in->dumped = WriteDump(*in);
    ::SetEvent(in->written.get());
  }
  return 0;
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception) {
  Installation* in = current.load();
  if (in == nullptr) return EXCEPTION_CONTINUE_SEARCH;
  // A second thread crashing meanwhile waits for the first one's dump,
  // which shows every thread.
  if (!in->crashing.exchange(true)) {
    in->exception = exception;
    in->threadId = ::GetCurrentThreadId();
    ::SetEvent(in->crashed.get());
  }
  const bool done = ::WaitForSingleObject(in->written.get(), kDumpWaitMs) == WAIT_OBJECT_0;
  // Dumped: the process ends here with the exception's code; the system's
  // own crash reporting (a dialog, or Wine's debugger) would add nothing.
  if (done && in->dumped) return EXCEPTION_EXECUTE_HANDLER;
  return in->previous != nullptr ? in->previous(exception) : EXCEPTION_CONTINUE_SEARCH;
}

std::wstring FullPath(const std::wstring& path) {
  const DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return {};
  std::wstring full(size, L'\0');
  const DWORD length = ::GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return {};
  full.resize(length);
  while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
  return full;
}

void UninstallLocked() {
  Installation* in = current.exchange(nullptr);
  if (in == nullptr) return;
  // Someone who replaced our filter since keeps theirs.
  const LPTOP_LEVEL_EXCEPTION_FILTER replaced = ::SetUnhandledExceptionFilter(in->previous);
  if (replaced != &OnUnhandledException) ::SetUnhandledExceptionFilter(replaced);
  ::SetEvent(in->stop.get());
  // A writer still busy with a dump keeps its installation.
  if (::WaitForSingleObject(in->writer.get(), kDumpWaitMs) == WAIT_OBJECT_0) delete in;
}

}  // namespace

bool CrashHandler::Install(const std::wstring& folder, const std::string& release) {
  std::lock_guard<std::mutex> lock(installMutex);
  UninstallLocked();
  auto in = std::make_unique<Installation>();
  in->folder = FullPath(folder);
  // The client names a folder in its own protected one; the missing levels
  // are made, and the last one checked, the same way.
  if (in->folder.empty() || !EnsureProtectedFolderTree(in->folder, nullptr)) return false;
  // From the system folder: the application folder of an elevated program is
  // no place to look for it.
  in->dbghelp = LoadSystemLibrary(L"dbghelp.dll");
  if (!in->dbghelp) return false;
  in->writeDump =
      reinterpret_cast<WriteDumpFn>(reinterpret_cast<void*>(::GetProcAddress(in->dbghelp.get(), "MiniDumpWriteDump")));
  if (in->writeDump == nullptr) return false;
  in->comment = "release=" + release;
  in->path.reserve(in->folder.size() + kNameRoom);
  in->partPath.reserve(in->folder.size() + kNameRoom);
  in->renameScratch.reserve(RenameScratchSize(in->folder.size() + kNameRoom));
  in->crashed.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  in->written.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  in->stop.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!in->crashed || !in->written || !in->stop) return false;
  // The filter's code must outlive any FreeLibrary of this DLL.
  HMODULE self = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCWSTR>(&OnUnhandledException), &self)) {
    return false;
  }
  in->writer.reset(::CreateThread(nullptr, 0, &WriterThread, in.get(), 0, nullptr));
  if (!in->writer) return false;
  in->previous = ::SetUnhandledExceptionFilter(&OnUnhandledException);
  current = in.release();
  return true;
}

void CrashHandler::Uninstall() {
  std::lock_guard<std::mutex> lock(installMutex);
  UninstallLocked();
}

}  // namespace halyx::crash
