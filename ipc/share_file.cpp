#include "ipc/share_file.h"

#include <windows.h>

#include "catalogue/entry_name.h"
#include "catalogue/file_check.h"
#include "catalogue/file_verifier.h"
#include "catalogue/registry_value.h"
#include "catalogue/shared_file_list.h"
#include "common/unique_any.h"
#include "ipc/tracker_report.h"
#include "ipc/web_client.h"
#include "runtime/globals.h"
#include "runtime/last_outcome.h"
#include "runtime/log.h"
#include "runtime/settings.h"

namespace {

// 插入文件: %s
constexpr char kMsgInserting[] = "\xB2\xE5\xC8\xEB\xCE\xC4\xBC\xFE: %s";
constexpr char kMsgMd5[] = "MD5: %s";
constexpr char kMsgUrl[] = "URL: %s";
constexpr char kMsgMode[] = "Mode: %s";
// 无法打开文件: %s
constexpr char kMsgCannotOpen[] = "\xCE\xDE\xB7\xA8\xB4\xF2\xBF\xAA\xCE\xC4\xBC\xFE: %s";
// 文件太大，不予共享!
constexpr char kMsgTooLarge[] = "\xCE\xC4\xBC\xFE\xCC\xAB\xB4\xF3\xA3\xAC\xB2\xBB\xD3\xE8\xB9\xB2\xCF\xED!";
// 共享文件: %s
constexpr char kMsgSharing[] = "\xB9\xB2\xCF\xED\xCE\xC4\xBC\xFE: %s";
// 创建键 %s 失败!
constexpr char kMsgCreateKeyFailed[] = "\xB4\xB4\xBD\xA8\xBC\xFC %s \xCA\xA7\xB0\xDC!";
// 发送请求: %s
constexpr char kMsgSending[] = "\xB7\xA2\xCB\xCD\xC7\xEB\xC7\xF3: %s";
// 收到回复: %s
constexpr char kMsgReceived[] = "\xCA\xD5\xB5\xBD\xBB\xD8\xB8\xB4: %s";

constexpr char kMsgWriteFailed[] =
    "Catalogue entry %s: writing %s failed (error %ld); the file is not shared";

constexpr DWORD kFileTypeNormal = 0;

}  // namespace

void ShareFile(const std::string& local_path, const std::string& md5, const std::string& url,
               const std::string& mode) {
  LogInfo(kMsgInserting, local_path.c_str());
  LogInfo(kMsgMd5, md5.c_str());
  LogInfo(kMsgUrl, url.c_str());
  LogInfo(kMsgMode, mode.c_str());
  // The entry's key is the engine path, a backslash and the MD5 text: an empty
  // text would write into the engine key itself, a backslash into another key.
  if (!IsUsableEntryName(md5)) {
    LogInfo("MD5 text \"%s\" refused: empty or holding a backslash", md5.c_str());
    return;
  }
  // Held open, with read sharing, until the report is done, so the file
  // cannot be replaced between the checks and the entry.
  zrvd::unique_hfile file(OpenForAttributes(local_path));
  LARGE_INTEGER size;
  if (!file || !GetFileSizeEx(file.get(), &size)) {
    LogInfo(kMsgCannotOpen, local_path.c_str());
    return;
  }
  switch (ClassifyShareSize(static_cast<uint64_t>(size.QuadPart))) {
    case ShareSize::kTooLarge:
      LogInfo(kMsgTooLarge);
      return;
    case ShareSize::kTooSmall:
      return;
    case ShareSize::kShared:
      break;
  }
  const DWORD length = static_cast<DWORD>(size.QuadPart);
  LogInfo(kMsgSharing, local_path.c_str());
  const std::string modify_time = FormatModifyTime(file.get());

  const std::string key_path = g_regPath + "\\" + md5;
  {
    CatalogueLock lock;
    zrvd::unique_hkey key;
    if (RegCreateKeyExA(g_regRoot, key_path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
      LogInfo(kMsgCreateKeyFailed, key_path.c_str());
      return;
    }
    CatalogueLock::Step();
    const struct {
      const char* name;
      LONG status;
    } writes[] = {
        {"LocalPath", WriteStringValue(key.get(), "LocalPath", local_path)},
        {"Url", WriteStringValue(key.get(), "Url", url)},
        {"ModifyTime", WriteStringValue(key.get(), "ModifyTime", modify_time)},
        {"Length", WriteDwordValue(key.get(), "Length", length)},
        {"FileType", WriteDwordValue(key.get(), "FileType", kFileTypeNormal)},
    };
    // A check of an earlier file under this name says nothing about this one.
    const LONG unverified = RegDeleteValueA(key.get(), kVerifiedValue);
    // Another program may delete the key under us: the entry is then not
    // there to be served, and the tracker is not told that it is.
    for (const auto& write : writes) {
      if (write.status != ERROR_SUCCESS) {
        LogInfo(kMsgWriteFailed, md5.c_str(), write.name, write.status);
        return;
      }
    }
    if (unverified != ERROR_SUCCESS && unverified != ERROR_FILE_NOT_FOUND) {
      LogInfo(kMsgWriteFailed, md5.c_str(), kVerifiedValue, unverified);
      return;
    }
  }
  RequestFileCheck(false);

  if (IsReportedMode(mode)) ReportSharedFile(url, md5, length, mode);
}

bool ReportSharedFile(const std::string& url, const std::string& md5, uint32_t size,
                      const std::string& mode) {
  std::string value;
  return SendTrackerRequest(BuildReportQuery(url, md5, size, mode), &value);
}

bool SendTrackerRequest(const std::string& query, std::string* output) {
  CPxpWebClient client;
  const std::string request =
      BuildTrackerRequestUrl(BaseUrlOf(ReadTrackerHost()), query, g_userId);
  LogInfo(kMsgSending, request.c_str());
  std::string body;
  if (!client.Get(request, &body)) {
    *output = body;
    RecordWebReport("failed: no answer from the tracker");
    return false;
  }
  LogInfo(kMsgReceived, body.c_str());
  const bool accepted = ParseTrackerAnswer(body, output);
  RecordWebReport(accepted ? "ok" : "failed: the tracker's answer was not OK");
  return accepted;
}
