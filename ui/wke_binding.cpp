#include "ui/wke_binding.h"

#include <windows.h>

#include <vector>

#include "base/error_code.h"
#include "base/unique_handle.h"
#include "base/module_path.h"

#define WKE_DEFINE_POINTER(ret, name, params) ret(WKE_CALL_TYPE* name) params = nullptr;
WKE_API_FUNCTIONS(WKE_DEFINE_POINTER)
#undef WKE_DEFINE_POINTER

namespace halyx {
namespace {

// The engine stays loaded for the life of the process: script objects and
// callbacks point into it until exit.
ModuleHandle g_engine;
wkeGetCursorFunction g_getCursor = nullptr;
wkeSetHostWindowFunction g_setHostWindow = nullptr;

struct Binding {
  const char* name;
  void** slot;
};

std::vector<Binding> Bindings() {
  std::vector<Binding> bindings;
#define WKE_LIST_BINDING(ret, name, params) bindings.push_back({#name, reinterpret_cast<void**>(&::name)});
  WKE_API_FUNCTIONS(WKE_LIST_BINDING)
#undef WKE_LIST_BINDING
  return bindings;
}

}  // namespace

bool BindWkeEngine(const std::wstring& dll_path) {
  if (g_engine) return true;
  // A full path, and the engine's own dependencies looked up beside it
  // rather than in the current folder.
  ModuleHandle engine(::LoadLibraryExW(dll_path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!engine) return false;

  const std::vector<Binding> bindings = Bindings();
  std::vector<void*> resolved(bindings.size(), nullptr);
  bool complete = true;
  for (std::size_t i = 0; i < bindings.size(); ++i) {
    resolved[i] = reinterpret_cast<void*>(::GetProcAddress(engine.get(), bindings[i].name));
    if (resolved[i] == nullptr) {
      complete = false;
      ::MessageBoxA(nullptr, "wke api not found", bindings[i].name, MB_OK);
    }
  }
  if (!complete) {
    engine.reset();
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return false;
  }
  for (std::size_t i = 0; i < bindings.size(); ++i) *bindings[i].slot = resolved[i];
  g_getCursor = reinterpret_cast<wkeGetCursorFunction>(
      reinterpret_cast<void*>(::GetProcAddress(engine.get(), WKE_GET_CURSOR_NAME)));
  g_setHostWindow = reinterpret_cast<wkeSetHostWindowFunction>(
      reinterpret_cast<void*>(::GetProcAddress(engine.get(), WKE_SET_HOST_WINDOW_NAME)));
  g_engine = std::move(engine);
  ::wkeInitializeEx(nullptr);
  return true;
}

wkeGetCursorFunction WkeGetCursor() { return g_getCursor; }

wkeSetHostWindowFunction WkeSetHostWindow() { return g_setHostWindow; }

}  // namespace halyx

bool wkeInitialize() {
  const std::wstring folder = halyx::ModuleFolder();
  if (folder.empty()) return false;
  return halyx::BindWkeEngine(folder + L"\\wke.dll");
}
