// An engine DLL that exports every name of the API except "wkeInitializeEx"
// and "jsEvalW" (exported under other names instead). Its functions do
// nothing; a binding that accepted it would be calling into nothing.
#include "engine/wke.h"

#define wkeInitializeEx wkeInitializeEx_absent
#define jsEvalW jsEvalW_absent
#define WKE_EXPORT_STUB(ret, name, params) \
  extern "C" __declspec(dllexport) void name(void) {}
WKE_API_FUNCTIONS(WKE_EXPORT_STUB)
