// The engine start against a scratch engine key: what its HTTP server consults
// is in place before the server accepts, and the key's watch keeps the
// settings and the published port alive. Its own process: the start runs once.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "catalogue/shared_file_list.h"
#include "engine/engine_start.h"
#include "httpserver/http_server.h"
#include "runtime/globals.h"
#include "runtime/pxp_thread.h"
#include "tests/win/catalogue/test_support.h"
#include "uploadpolicy/upload_control.h"

namespace {

using zrvd_test::WaitFor;

struct AtAccept {
  bool seen = false;
  uint32_t cap_kbps = 0;
  bool handlers = false;
};
AtAccept g_atAccept;

// The accept thread is about to exist: a request could come now. One that
// looks a file up builds the catalogue and its watch, so the test does too.
HANDLE WINAPI ConsultAtAccept(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                              LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD flags,
                              LPDWORD id) {
  if (!g_atAccept.seen && static_cast<CPxpThread*>(parameter)->name() == "HttpServer") {
    g_atAccept.seen = true;
    g_atAccept.cap_kbps = ReadUploadState().cap.kbps;
    auto* server = static_cast<HttpServer*>(g_httpServer);
    g_atAccept.handlers = server != nullptr && server->HandlerAt(1) != nullptr;
    SharedFileList::Instance();
  }
  return CreateThread(security, stack, routine, parameter, flags, id);
}

void SetDword(const std::string& key, const char* name, DWORD value) {
  ASSERT_EQ(SHSetValueA(HKEY_CURRENT_USER, key.c_str(), name, REG_DWORD, &value, sizeof(value)),
            ERROR_SUCCESS);
}

bool ReadDword(const std::string& key, const char* name, DWORD* value) {
  DWORD type = 0;
  DWORD size = sizeof(*value);
  return SHGetValueA(HKEY_CURRENT_USER, key.c_str(), name, &type, value, &size) ==
             ERROR_SUCCESS &&
         type == REG_DWORD;
}

// Settings, handlers and key-change hooks exist before the server accepts: a
// request at once finds the stored cap in force, and the watch it starts still
// reloads the settings. Deleted and made again at once by another program, the
// key gets HttpPort back, and later changes are still seen.
TEST(EngineStartOrder, ServerAcceptsOnlyOnceAllItConsultsIsThere) {
  zrvd_test::Sandbox box("start-order");
  SetDword(box.RegPath(), "UploadLimitKBps", 1024);
  SetThreadCreateFunction(&ConsultAtAccept);
  StartEngine(0);
  SetThreadCreateFunction(nullptr);
  ASSERT_TRUE(g_atAccept.seen);
  EXPECT_EQ(g_atAccept.cap_kbps, 1024u);
  EXPECT_TRUE(g_atAccept.handlers);

  SetDword(box.RegPath(), "UploadLimitKBps", 2048);
  EXPECT_TRUE(WaitFor([] { return ReadUploadState().cap.kbps == 2048; }));

  DWORD http_port = 0;
  ASSERT_TRUE(ReadDword(box.RegPath(), "HttpPort", &http_port));
  ASSERT_NE(http_port, 0u);
  SHDeleteKeyA(HKEY_CURRENT_USER, box.RegPath().c_str());
  SetDword(box.RegPath(), "UploadLimitKBps", 4096);
  DWORD port_again = 0;
  EXPECT_TRUE(WaitFor([&] { return ReadDword(box.RegPath(), "HttpPort", &port_again); }));
  EXPECT_EQ(port_again, http_port);
  EXPECT_TRUE(WaitFor([] { return ReadUploadState().cap.kbps == 4096; }));
  SetDword(box.RegPath(), "UploadLimitKBps", 8192);
  EXPECT_TRUE(WaitFor([] { return ReadUploadState().cap.kbps == 8192; }));
}

}  // namespace
