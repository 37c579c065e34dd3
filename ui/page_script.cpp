#include "ui/page_script.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "ui/js_object.h"
#include "ui/replace_all.h"

namespace halyx {
namespace {

constexpr char kLogArchiveGlobal[] = "__halyx_log";

// Backslashes first, so the escapes added after them are not doubled. U+2028
// and U+2029 end a line inside an ES5 string literal just as CR and LF do.
template <typename String>
String EscapeWith(String text, const String (&replacements)[6][2]) {
  for (const auto& replacement : replacements) text = ReplaceAll(std::move(text), replacement[0], replacement[1]);
  return text;
}

const std::string kNarrowEscapes[6][2] = {{"\\", "\\\\"},
                                          {"'", "\\'"},
                                          {"\r", "\\r"},
                                          {"\n", "\\n"},
                                          {"\xE2\x80\xA8", "\\u2028"},
                                          {"\xE2\x80\xA9", "\\u2029"}};
const std::wstring kWideEscapes[6][2] = {{L"\\", L"\\\\"}, {L"'", L"\\'"},          {L"\r", L"\\r"},
                                         {L"\n", L"\\n"},  {L"\u2028", L"\\u2028"}, {L"\u2029", L"\\u2029"}};

}  // namespace

std::string PageScript::ResultNotice(const std::string& type, unsigned code) {
  return fmt::format("{{\"type\":\"{}\",\"result\":{}}}", type, code);
}

std::string PageScript::EscapeForLiteral(const std::string& text) { return EscapeWith(text, kNarrowEscapes); }

std::wstring PageScript::EscapeForLiteral(const std::wstring& text) { return EscapeWith(text, kWideEscapes); }

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
