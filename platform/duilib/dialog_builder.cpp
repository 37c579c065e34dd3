#include "platform/duilib/dialog_builder.h"

#include <memory>
#include <vector>

#include <spdlog/spdlog.h>
#include <tinyxml2.h>

#include "platform/duilib/button_ui.h"
#include "platform/duilib/paint_manager_ui.h"
#include "platform/duilib/skin_values.h"

namespace DuiLib {

namespace {

std::wstring Wide(const char* utf8) { return CDuiString::FromUtf8(utf8 == nullptr ? "" : utf8).str(); }

CControlUI* CreateBuiltIn(const std::wstring& className) {
  if (className == L"Control") return new CControlUI;
  if (className == L"Button") return new CButtonUI;
  return nullptr;
}

struct WindowAttributes {
  bool hasSize = false;
  SIZE size{0, 0};
  bool hasInset = false;
  RECT inset{0, 0, 0, 0};
  bool hasBkColor = false;
  DWORD bkColor = 0;
  bool hasFont = false;
  std::wstring fontFace;
  int fontSize = 0;
  bool fontBold = false;
};

void WarnBadValue(const std::string& source, const char* name, const char* value) {
  spdlog::warn("DuiLib: bad value \"{}\" of Window attribute {} in {} ignored", value, name, source);
}

// "face,size" or "face,size,bold".
bool ParseFont(const std::wstring& text, WindowAttributes* window) {
  const size_t comma = text.find(L',');
  if (comma == std::wstring::npos || comma == 0) return false;
  std::wstring rest = text.substr(comma + 1);
  bool bold = false;
  const size_t second = rest.find(L',');
  if (second != std::wstring::npos) {
    if (rest.substr(second + 1) != L"bold") return false;
    bold = true;
    rest.resize(second);
  }
  int size = 0;
  if (!ParseSkinInt(rest, &size) || size <= 0) return false;
  window->hasFont = true;
  window->fontFace = text.substr(0, comma);
  window->fontSize = size;
  window->fontBold = bold;
  return true;
}

WindowAttributes ReadWindow(const tinyxml2::XMLElement* root, const std::string& source) {
  WindowAttributes window;
  for (const tinyxml2::XMLAttribute* a = root->FirstAttribute(); a != nullptr; a = a->Next()) {
    const std::string name = a->Name();
    const std::wstring value = Wide(a->Value());
    bool ok = true;
    if (name == "size") {
      ok = window.hasSize = ParseSkinSize(value, &window.size);
    } else if (name == "inset") {
      ok = window.hasInset = ParseSkinRect(value, &window.inset);
    } else if (name == "bkcolor") {
      ok = window.hasBkColor = ParseSkinColor(value, &window.bkColor);
    } else if (name == "font") {
      ok = ParseFont(value, &window);
    } else {
      spdlog::warn("DuiLib: unknown Window attribute {} in {} ignored", name, source);
    }
    if (!ok) WarnBadValue(source, a->Name(), a->Value());
  }
  return window;
}

}  // namespace

bool CDialogBuilder::Build(const std::string& xml, const std::wstring& source, IDialogBuilderCallback* callback,
                           CPaintManagerUI* manager) {
  const std::string name = CDuiString(source).ToUtf8();
  tinyxml2::XMLDocument document;
  if (document.Parse(xml.data(), xml.size()) != tinyxml2::XML_SUCCESS) {
    spdlog::error("DuiLib: skin {} is not well-formed XML: {}", name,
                  document.ErrorStr() != nullptr ? document.ErrorStr() : "");
    return false;
  }
  const tinyxml2::XMLElement* root = document.RootElement();
  if (root == nullptr || std::string(root->Name()) != "Window") {
    spdlog::error("DuiLib: skin {} has no Window element at its root", name);
    return false;
  }
  const WindowAttributes window = ReadWindow(root, name);

  // Everything is built before the manager sees any of it, so that a
  // failure leaves the window as it was.
  std::vector<std::unique_ptr<CControlUI>> controls;
  for (const tinyxml2::XMLElement* element = root->FirstChildElement(); element != nullptr;
       element = element->NextSiblingElement()) {
    const std::wstring className = Wide(element->Name());
    std::unique_ptr<CControlUI> control(CreateBuiltIn(className));
    if (!control && callback != nullptr) control.reset(callback->CreateControl(className.c_str()));
    if (!control) {
      spdlog::error("DuiLib: control class {} in skin {} is unknown; left out", element->Name(), name);
      continue;
    }
    if (element->FirstChildElement() != nullptr) {
      spdlog::warn("DuiLib: elements inside {} in skin {} ignored", element->Name(), name);
    }
    for (const tinyxml2::XMLAttribute* a = element->FirstAttribute(); a != nullptr; a = a->Next()) {
      control->SetAttribute(Wide(a->Name()).c_str(), Wide(a->Value()).c_str());
    }
    controls.push_back(std::move(control));
  }

  if (window.hasInset) manager->SetInset(window.inset);
  if (window.hasBkColor) manager->SetBkColor(window.bkColor);
  if (window.hasFont) manager->SetDefaultFont(window.fontFace.c_str(), window.fontSize, window.fontBold);
  if (window.hasSize) manager->SetInitSize(window.size.cx, window.size.cy);
  for (auto& control : controls) manager->AddControl(control.release());
  return true;
}

}  // namespace DuiLib
