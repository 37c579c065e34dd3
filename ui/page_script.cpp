#include "ui/page_script.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "ui/js_object.h"
#include "ui/replace_all.h"

namespace halyx {
namespace {

constexpr char kLogArchiveGlobal[] = "__halyx_log";

template <typename String>
String Escape(String text, const typename String::value_type* backslash, const typename String::value_type* escaped_backslash,
              const typename String::value_type* apostrophe, const typename String::value_type* escaped_apostrophe) {
  // Backslashes first, so the escapes added below are not doubled.
  text = ReplaceAll(std::move(text), String(backslash), String(escaped_backslash));
  return ReplaceAll(std::move(text), String(apostrophe), String(escaped_apostrophe));
}

}  // namespace

std::string PageScript::ResultNotice(const std::string& type, unsigned code) {
  return fmt::format("{{\"type\":\"{}\",\"result\":{}}}", type, code);
}

std::string PageScript::EscapeForLiteral(const std::string& text) {
  std::string out = Escape(text, "\\", "\\\\", "'", "\\'");
  out = ReplaceAll(std::move(out), "\r", "\\r");
  out = ReplaceAll(std::move(out), "\n", "\\n");
  // U+2028 and U+2029 end a line inside an ES5 string literal, as UTF-8.
  out = ReplaceAll(std::move(out), "\xE2\x80\xA8", "\\u2028");
  return ReplaceAll(std::move(out), "\xE2\x80\xA9", "\\u2029");
}

std::wstring PageScript::EscapeForLiteral(const std::wstring& text) {
  std::wstring out = Escape(text, L"\\", L"\\\\", L"'", L"\\'");
  out = ReplaceAll(std::move(out), L"\r", L"\\r");
  out = ReplaceAll(std::move(out), L"\n", L"\\n");
  out = ReplaceAll(std::move(out), L"\u2028", L"\\u2028");
  return ReplaceAll(std::move(out), L"\u2029", L"\\u2029");
}

std::string PageScript::PostResultScript(const std::string& json) {
  return "HalyxBridge.PostResult(JSON.parse('" + EscapeForLiteral(json) + "'))";
}

std::wstring PageScript::PostResultScript(const std::wstring& json) {
  return L"HalyxBridge.PostResult(JSON.parse('" + EscapeForLiteral(json) + L"'))";
}

void PageScript::PostJson(wkeWebView view, const std::string& json) {
  if (view == nullptr) return;
  ::jsEval(::wkeGlobalExec(view), PostResultScript(json).c_str());
}

void PageScript::PostLogArchive(wkeWebView view, const void* bytes, std::size_t size) {
  if (view == nullptr) return;
  jsExecState es = ::wkeGlobalExec(view);
  // The engine owns the wrappers from here; only their values are used.
  auto* result = new JsObject(es);
  result->SetMember(es, "type", ::jsString(es, "GetLogFiles"));
  if (bytes == nullptr || size == 0) {
    spdlog::warn("QuorDispatch: LogZipper got empty buffer");
    result->SetMember(es, "result", ::jsInt(3));
  } else {
    const jsValue archive = ::jsArrayBuffer(es, static_cast<const char*>(bytes), size);
    auto* files = new JsObject(es);
    files->SetMember(es, "log.zip", archive);
    result->SetMember(es, "files", files->value());
    result->SetMember(es, "result", ::jsInt(0));
  }
  ::jsSetGlobal(es, kLogArchiveGlobal, result->value());
  ::jsEval(es, fmt::format("HalyxBridge.PostResult({})", kLogArchiveGlobal).c_str());
  ::jsSetGlobal(es, kLogArchiveGlobal, ::jsUndefined());
}

void PageScript::ReportError(jsExecState es, const std::string& text) {
  if (es == nullptr) return;
  ::jsEval(es, fmt::format("console.error('{}')", EscapeForLiteral(text)).c_str());
}

}  // namespace halyx
