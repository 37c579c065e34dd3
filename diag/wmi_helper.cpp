#include "diag/wmi_helper.h"

#include <windows.h>
#include <oleauto.h>

#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "base/scoped_bstr.h"
#include "base/scoped_variant.h"
#include "base/utf8.h"

namespace halyx {
namespace {

using Microsoft::WRL::ComPtr;

}  // namespace

void WmiHelper::Init() {
  if (initialized_ || attempted_) return;
  attempted_ = true;
  HRESULT hr = ::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                  reinterpret_cast<void**>(locator_.ReleaseAndGetAddressOf()));
  if (FAILED(hr)) {
    spdlog::warn("WmiHelper: CoCreateInstance CLSID_WbemLocator failed ({:#x})", HResult(hr));
    return;
  }
  const ScopedBstr ns(L"ROOT\\CIMV2");
  hr = locator_->ConnectServer(ns, nullptr, nullptr, nullptr, 0, nullptr, nullptr, services_.ReleaseAndGetAddressOf());
  if (FAILED(hr)) {
    spdlog::warn("WmiHelper: ConnectServer ROOT\\CIMV2 failed ({:#x})", HResult(hr));
    return;
  }
  hr = ::CoSetProxyBlanket(services_.Get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  if (FAILED(hr)) {
    spdlog::warn("WmiHelper: CoSetProxyBlanket failed ({:#x})", HResult(hr));
    return;
  }
  initialized_ = true;
}

std::wstring WmiHelper::GetPhysicalMediaSerialNumber() {
  std::wstring serial;
  if (!initialized_) return serial;

  ComPtr<IEnumWbemClassObject> enumerator;
  const ScopedBstr language(L"WQL");
  const ScopedBstr query(L"SELECT SerialNumber FROM Win32_PhysicalMedia");
  HRESULT hr = services_->ExecQuery(language, query, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                    enumerator.GetAddressOf());
  if (FAILED(hr)) {
    spdlog::warn("WmiHelper: WQL query failed ({:#x})", HResult(hr));
    return serial;
  }

  for (;;) {
    ComPtr<IWbemClassObject> object;
    ULONG returned = 0;
    hr = enumerator->Next(WBEM_INFINITE, 1, object.GetAddressOf(), &returned);
    if (FAILED(hr)) {
      spdlog::warn("WmiHelper: enumerate WQL query result failed ({:#x})", HResult(hr));
      break;
    }
    if (returned == 0) {
      spdlog::warn("WmiHelper: query results exhausted");
      break;
    }
    ScopedVariant value;
    hr = object->Get(L"SerialNumber", 0, value.get(), nullptr, nullptr);
    object.Reset();
    if (FAILED(hr)) {
      spdlog::warn("WmiHelper: get physical media serial number failed ({:#x})", HResult(hr));
      continue;
    }
    if ((*value).vt == VT_BSTR) {
      const BSTR text = (*value).bstrVal;
      serial.assign(text ? text : L"", text ? ::SysStringLen(text) : 0);
      spdlog::info("WmiHelper: physical media serial number is {}", WideToUtf8(serial));
      break;
    }
    spdlog::warn("WmiHelper: get physical media serial number got wrong type {}", (*value).vt);
  }
  return TrimSerialNumber(serial);
}

std::wstring TrimSerialNumber(const std::wstring& text) {
  static constexpr wchar_t kBlanks[] = L" \n\r\t";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::wstring::npos) return std::wstring();
  const std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

}  // namespace halyx
