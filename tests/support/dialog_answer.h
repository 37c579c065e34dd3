// Answers the common file dialogs (open and save) of this process from
// another thread, as a person would: the test's own thread runs the
// dialog's modal loop, a helper thread types the path and presses the
// button.
//
//   std::thread answer([&] { AnswerFileDialog(path); });
//   ... click what opens the dialog, pump messages ...
//   answer.join();
//
// Thread: a helper thread of the test.
#pragma once

#include <windows.h>

#include <string>

namespace halyx::testing {

// A visible dialog of this process other than `except`, waited for up to
// 20 s; null when none came.
HWND WaitForDialog(HWND except = nullptr);
// Answers the next file dialog: types `path` and presses the default button,
// or cancels when `path` is empty; `overwrite` also says yes to the question
// whether to replace the file. False when no dialog came.
bool AnswerFileDialog(const std::wstring& path, bool overwrite = false);

}  // namespace halyx::testing
