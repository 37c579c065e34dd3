#include "app/process_values.h"

namespace halyx {

const DWORD MainThreadId = ::GetCurrentThreadId();
const UINT TaskbarCreatedMessage = ::RegisterWindowMessageW(L"TaskbarCreated");
const UINT ShowRequestMessage = ::RegisterWindowMessageW(L"com.quorvpn.win32.show");
const UINT QuitRequestMessage = ::RegisterWindowMessageW(L"com.quorvpn.win32.quit");
const wchar_t* const AutoStartValueName = L"com.quorvpn.win32";

}  // namespace halyx
