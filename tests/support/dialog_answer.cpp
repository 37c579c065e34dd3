#include "support/dialog_answer.h"

namespace halyx::testing {
namespace {

struct DialogSearch {
  HWND except;
  HWND found;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM param) {
  auto* s = reinterpret_cast<DialogSearch*>(param);
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  wchar_t name[16] = {};
  ::GetClassNameW(window, name, 16);
  if (window == s->except || process != ::GetCurrentProcessId() || std::wstring(name) != L"#32770" ||
      !::IsWindowVisible(window)) {
    return TRUE;
  }
  s->found = window;
  return FALSE;
}

}  // namespace

HWND WaitForDialog(HWND except) {
  for (int i = 0; i < 400; ++i) {
    DialogSearch search{except, nullptr};
    ::EnumWindows(&FindDialog, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) return search.found;
    ::Sleep(50);
  }
  return nullptr;
}

bool AnswerFileDialog(const std::wstring& path, bool overwrite) {
  HWND dialog = WaitForDialog();
  if (dialog == nullptr) return false;
  if (path.empty()) {
    ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    return true;
  }
  // The file name box: a combo box in the explorer-style dialog, an edit
  // control in older templates.
  ::SetDlgItemTextW(dialog, 0x47c, path.c_str());
  ::SetDlgItemTextW(dialog, 0x480, path.c_str());
  ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(dialog, IDOK)));
  if (!overwrite) return true;
  HWND question = WaitForDialog(dialog);
  if (question == nullptr) return false;
  ::PostMessageW(question, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED), 0);
  return true;
}

}  // namespace halyx::testing
