#include "catalogue/tracker_announcer.h"

#include <winsock2.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "catalogue/address_probe.h"
#include "catalogue/announce_datagram.h"
#include "catalogue/number_text.h"
#include "catalogue/registry_value.h"
#include "common/unique_any.h"
#include "runtime/globals.h"
#include "runtime/last_outcome.h"
#include "runtime/log.h"
#include "runtime/settings.h"

namespace {

// 无法解析域名
constexpr char kMsgCannotResolve[] = "\xCE\xDE\xB7\xA8\xBD\xE2\xCE\xF6\xD3\xF2\xC3\xFB%s!";
// 每个UDP包中最多发送 %d 个MD5
constexpr char kMsgLinesPerDatagram[] =
    "\xC3\xBF\xB8\xF6UDP\xB0\xFC\xD6\xD0\xD7\xEE\xB6\xE0\xB7\xA2\xCB\xCD %d \xB8\xF6MD5";

constexpr DWORD kNameBufferChars = 255;

std::atomic<AnnounceWaitFn> g_wait{nullptr};

void Wait(DWORD ms) {
  AnnounceWaitFn wait = g_wait.load();
  if (wait) {
    wait(ms);
  } else {
    Sleep(ms);
  }
}

// Entries whose FileType is a REG_DWORD, in registry order. No other value is
// read and the file is not checked: the lookup prunes stale entries.
std::vector<AnnounceRecord> ReadRecords(HKEY engine_key) {
  std::vector<AnnounceRecord> records;
  for (DWORD index = 0;; ++index) {
    char name[kNameBufferChars];
    DWORD name_chars = kNameBufferChars;
    if (RegEnumKeyExA(engine_key, index, name, &name_chars, nullptr, nullptr, nullptr,
                      nullptr) != ERROR_SUCCESS) {
      break;
    }
    zrvd::unique_hkey entry;
    if (RegOpenKeyExA(engine_key, name, 0, KEY_ALL_ACCESS, entry.put()) != ERROR_SUCCESS) {
      continue;
    }
    DWORD type = 0;
    if (ReadDwordValue(entry.get(), "FileType", &type)) {
      records.push_back({IntToString(static_cast<int32_t>(type)), name});
    }
  }
  return records;
}

}  // namespace

bool AnnounceCatalogue(bool additions) {
  zrvd::unique_hkey engine_key;
  if (RegOpenKeyExA(g_regRoot, g_regPath.c_str(), 0, KEY_ALL_ACCESS, engine_key.put()) !=
      ERROR_SUCCESS) {
    RecordAnnouncement("failed: no engine key");
    return false;
  }
  const std::vector<AnnounceRecord> records = ReadRecords(engine_key.get());

  const HostSetting tracker = ReadTrackerHost();
  hostent* host = gethostbyname(tracker.host.c_str());
  if (host == nullptr || host->h_addrtype != AF_INET || host->h_addr_list[0] == nullptr) {
    LogMessage(kLogNormal, kMsgCannotResolve, tracker.host.c_str());
    RecordAnnouncement("failed: cannot resolve " + tracker.host);
    return false;
  }

  zrvd::unique_socket sock(socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in any = {};
  any.sin_family = AF_INET;
  bind(sock.get(), reinterpret_cast<sockaddr*>(&any), sizeof(any));
  sockaddr_in destination = {};
  destination.sin_family = AF_INET;
  destination.sin_port = htons(tracker.port);
  std::memcpy(&destination.sin_addr, host->h_addr_list[0], sizeof(destination.sin_addr));

  const std::string local_address = GetLocalAddressText();
  if (local_address.empty()) {
    RecordAnnouncement("failed: no local address");
    return false;
  }

  const std::string header = BuildAnnounceHeader(additions, g_userId, local_address);
  LogMessage(kLogNormal, kMsgLinesPerDatagram,
             static_cast<int>(Md5LinesPerDatagram(header.size())));
  for (const std::string& datagram : BuildAnnounceDatagrams(header, records)) {
    LogMessage(kLogNormal, "Send Shared Files:\r\n%s", datagram.c_str());
    // A lost datagram is made good by the next pass.
    sendto(sock.get(), datagram.data(), static_cast<int>(datagram.size()), 0,
           reinterpret_cast<sockaddr*>(&destination), sizeof(destination));
  }
  RecordAnnouncement("sent " + std::to_string(records.size()) + " files");
  return true;
}

void RunAnnouncer() {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 0), &wsa);
  for (;;) {
    Wait(AnnounceCatalogue(true) ? kAnnounceAfterSuccessMs : kAnnounceAfterFailureMs);
  }
}

void SetAnnounceWaitForTest(AnnounceWaitFn wait) { g_wait.store(wait); }
