#include "statuspage/status_page_source.h"

#include <windows.h>

#include "common/unique_any.h"
#include "runtime/globals.h"
#include "runtime/random_bytes.h"
#include "statuspage/ui/ui_files.h"
#include "uploadpolicy/upload_control.h"

namespace {

std::string g_token;  // written once before any connection thread exists

struct UiFile {
  const char* name;
  int id;
  const char* type;
};
const UiFile kUiFiles[] = {
    {"page.html", ZRVD_UI_PAGE_HTML, "text/html; charset=utf-8"},
    {"page.css", ZRVD_UI_PAGE_CSS, "text/css; charset=utf-8"},
    {"page.js", ZRVD_UI_PAGE_JS, "text/javascript; charset=utf-8"},
    {"uPlot.iife.min.js", ZRVD_UI_UPLOT_JS, "text/javascript; charset=utf-8"},
    {"uPlot.min.css", ZRVD_UI_UPLOT_CSS, "text/css; charset=utf-8"},
    {"icon.svg", ZRVD_UI_ICON_SVG, "image/svg+xml"},
    {"lang-en.json", ZRVD_UI_LANG_EN, "application/json; charset=utf-8"},
    {"lang-zh-CN.json", ZRVD_UI_LANG_ZH_CN, "application/json; charset=utf-8"},
};

}  // namespace

void MakeStatusPageToken() {
  unsigned char random[16];
  if (!RandomBytes(random, sizeof(random))) return;
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char byte : random) {
    token += kHex[byte >> 4];
    token += kHex[byte & 15];
  }
  g_token = token;
}

const std::string& StatusPageToken() { return g_token; }

bool SetSharingPaused(bool paused) {
  zrvd::unique_hkey key;
  const DWORD value = paused ? 1 : 0;
  const bool stored =
      RegCreateKeyExA(g_regRoot, g_regPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE, nullptr, key.put(), nullptr) == ERROR_SUCCESS &&
      RegSetValueExA(key.get(), "SharingPaused", 0, REG_DWORD,
                     reinterpret_cast<const BYTE*>(&value), sizeof(value)) == ERROR_SUCCESS;
  // The key's watch would follow too, a moment later; the page reads at once.
  ReloadUploadSettings();
  return stored;
}

bool ReadUiFile(const std::string& name, std::string* body, std::string* type) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&ReadUiFile), &module)) {
    return false;
  }
  for (const UiFile& file : kUiFiles) {
    if (name != file.name) continue;
    // Resources live as long as the module: nothing to free.
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(file.id), MAKEINTRESOURCEA(10));
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes) return false;
    body->assign(static_cast<const char*>(bytes), SizeofResource(module, found));
    *type = file.type;
    return true;
  }
  return false;
}
