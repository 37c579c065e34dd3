// Every text that native code evaluates in a page to answer it: the result
// notice, the PostResult script and its escaping, the log-archive result
// object and console error reports.
//
// The page defines `HalyxBridge.PostResult(object)`. A JSON text reaches it as
//   HalyxBridge.PostResult(JSON.parse('<text>'))
// where <text> is escaped for a single-quoted script literal: backslashes
// doubled, apostrophes, CR, LF, U+2028 and U+2029 written as escapes, so
// that JSON.parse sees exactly the native text whatever it holds.
//
// Thread: GUI thread (the engine's).
#pragma once

#include <cstddef>
#include <string>

#include "ui/wke_binding.h"

namespace halyx {

class PageScript {
 public:
  // {"type":"<type>","result":<code>}, no spaces.
  static std::string ResultNotice(const std::string& type, unsigned code);

  // `text` made safe inside '...' of a script, narrow (UTF-8) and wide.
  static std::string EscapeForLiteral(const std::string& text);
  static std::wstring EscapeForLiteral(const std::wstring& text);

  static std::string PostResultScript(const std::string& json);
  static std::wstring PostResultScript(const std::wstring& json);

  // Evaluates the PostResult script of `json` in the page of `view`; the
  // result of the evaluation is ignored. Nothing happens without a view.
  static void PostJson(wkeWebView view, const std::string& json);

  // Hands the zip archive of logs to the page of `view` as the object
  // {type: "GetLogFiles", result: 0, files: {"log.zip": ArrayBuffer}}, or
  // {type: "GetLogFiles", result: 3} when there are no bytes, through the
  // script global "__halyx_log", which is undefined again afterwards.
  static void PostLogArchive(wkeWebView view, const void* bytes, std::size_t size);

  // console.error('<text>') in the context of the call being answered.
  static void ReportError(jsExecState es, const std::string& text);
};

}  // namespace halyx
