#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "daemon/firewall.h"
#include "tests/win/daemon/fake_firewall.h"

namespace {

constexpr char kNotEnabled[] =
    "Application is not enabled in the firewall. You will not be able host games or join a "
    "peer-to-peer game. Depending on the game, you may be able to join.\n";
constexpr char kNoExceptions[] =
    "Firewall is on with no exceptions. You will not be able host games or join a "
    "peer-to-peer game. Depending on the game, you may be able to join.\n";
constexpr wchar_t kRule[] = L"TESK_ZRVD_DAEMON";
constexpr wchar_t kPath[] = L"C:\\Games\\Kova\\zrvd_daemon.bin";

// Everything written to the C runtime's stdout while it lives goes to a file,
// handed back by Take.
class StdoutCapture {
 public:
  StdoutCapture() {
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    GetTempFileNameA(dir, "fw", 0, m_path);
    fflush(stdout);
    m_saved = _dup(1);
    int fd = _open(m_path, _O_WRONLY | _O_TRUNC | _O_BINARY);
    _dup2(fd, 1);
    _close(fd);
  }
  ~StdoutCapture() { Take(); }

  std::string Take() {
    if (m_saved < 0) return m_text;
    fflush(stdout);
    _dup2(m_saved, 1);
    _close(m_saved);
    m_saved = -1;
    if (FILE* file = fopen(m_path, "rb")) {
      char buffer[512];
      size_t got;
      while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0) m_text.append(buffer, got);
      fclose(file);
    }
    DeleteFileA(m_path);
    return m_text;
  }

 private:
  char m_path[MAX_PATH] = {};
  int m_saved = -1;
  std::string m_text;
};

std::wstring SelfPath() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
}

// Runs `body` on a thread of its own, whose COM state starts untouched.
template <typename Body>
void OnFreshThread(Body body) {
  std::thread thread(body);
  thread.join();
}

// --- Wine's firewall objects ---------------------------------------------------

// Added, read back (Wine reports the entry as not enabled: the first warning,
// still a success) and removed again.
TEST(SystemFirewall, AddsReportsAndRemoves) {
  const std::wstring self = SelfPath();
  StdoutCapture out;
  EXPECT_TRUE(AuthorizeInFirewall(self.c_str(), kRule));
  EXPECT_EQ(out.Take(), kNotEnabled);

  StdoutCapture removal;
  EXPECT_TRUE(RemoveFromFirewall(self.c_str()));
  EXPECT_EQ(removal.Take(), "");
}

// An empty or missing path or rule name is refused before anything is added.
TEST(SystemFirewall, EmptyTextsAddNothing) {
  const std::wstring self = SelfPath();
  StdoutCapture out;
  EXPECT_FALSE(AuthorizeInFirewall(L"", kRule));
  EXPECT_FALSE(AuthorizeInFirewall(self.c_str(), L""));
  EXPECT_FALSE(AuthorizeInFirewall(nullptr, kRule));
  EXPECT_FALSE(AuthorizeInFirewall(self.c_str(), nullptr));
  EXPECT_FALSE(RemoveFromFirewall(L""));
  EXPECT_FALSE(RemoveFromFirewall(nullptr));
  EXPECT_EQ(out.Take(), "");
}

// Removing a path that has no entry prints nothing. (Wine's Remove answers S_OK
// for any path, so the false result is shown with the fake firewall below.)
TEST(SystemFirewall, RemovingAnUnknownPathPrintsNothing) {
  StdoutCapture out;
  RemoveFromFirewall(L"C:\\nowhere\\never-authorized.exe");
  EXPECT_EQ(out.Take(), "");
}

// COM set-up undoes only what it did: a thread already in the multithreaded
// apartment stays there, a single-threaded one keeps its own count, and a thread
// without COM is left without it.
TEST(SystemFirewall, LeavesTheThreadsComStateAsItWas) {
  const std::wstring self = SelfPath();
  StdoutCapture out;

  OnFreshThread([&] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_TRUE(AuthorizeInFirewall(self.c_str(), kRule));
    EXPECT_TRUE(RemoveFromFirewall(self.c_str()));
    // S_FALSE: still initialized, by the test alone.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    CoUninitialize();
    CoUninitialize();
  });

  OnFreshThread([&] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_TRUE(AuthorizeInFirewall(self.c_str(), kRule));
    EXPECT_TRUE(RemoveFromFirewall(self.c_str()));
    CoUninitialize();
    // Only a fully torn-down thread may change its apartment.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoUninitialize();
  });

  OnFreshThread([&] {
    EXPECT_TRUE(AuthorizeInFirewall(self.c_str(), kRule));
    EXPECT_TRUE(RemoveFromFirewall(self.c_str()));
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoUninitialize();
  });

  EXPECT_EQ(out.Take(), std::string(kNotEnabled) + kNotEnabled + kNotEnabled);
}

// --- the fake firewall ------------------------------------------------------------

// A new application object carries the path and the name into Add; the read-back
// and the removal ask for the same path.
TEST(FakeFirewall, EntryCarriesPathAndName) {
  fake::Firewall firewall;
  StdoutCapture out;
  EXPECT_TRUE(AuthorizeInFirewall(kPath, kRule, firewall));
  EXPECT_TRUE(RemoveFromFirewall(kPath, firewall));
  EXPECT_EQ(out.Take(), "");
  EXPECT_EQ(firewall.script.adds, 1);
  EXPECT_EQ(firewall.script.added_image, kPath);
  EXPECT_EQ(firewall.script.added_name, kRule);
  EXPECT_EQ(firewall.script.looked_up, kPath);
  EXPECT_EQ(firewall.script.removed, kPath);
  EXPECT_EQ(firewall.Unreleased(), "");
}

// The report warns for an entry that is not enabled, or for a profile without
// exceptions; an unanswered exceptions question is no warning.
TEST(FakeFirewall, ReportWarnsWhenTheFirewallStillBlocks) {
  fake::Firewall firewall;
  struct Case {
    bool enabled;
    bool exceptions_not_allowed;
    HRESULT exceptions_answer;
    const char* printed;
  };
  const Case cases[] = {
      {true, false, S_OK, ""},
      {false, false, S_OK, kNotEnabled},
      {false, true, S_OK, kNotEnabled},
      {true, true, S_OK, kNoExceptions},
      {true, true, E_NOTIMPL, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "enabled " << c.enabled << ", no exceptions "
                                    << c.exceptions_not_allowed << ", answer " << std::hex
                                    << c.exceptions_answer);
    firewall.script.enabled = c.enabled;
    firewall.script.exceptions_not_allowed = c.exceptions_not_allowed;
    firewall.script.result[fake::kExceptionsNotAllowed] = c.exceptions_answer;

    StdoutCapture out;
    EXPECT_EQ(ReportFirewallStatus(kPath, firewall), *c.printed ? 0 : 1);
    EXPECT_EQ(out.Take(), c.printed);

    // Authorizing succeeds whatever the report finds.
    StdoutCapture authorize;
    EXPECT_TRUE(AuthorizeInFirewall(kPath, kRule, firewall));
    EXPECT_EQ(authorize.Take(), c.printed);
    EXPECT_EQ(firewall.Unreleased(), "");
  }
}

enum Operation { kAuthorize, kReport, kRemove };

int RunOperation(Operation operation, const fake::Firewall& firewall) {
  switch (operation) {
    case kAuthorize: return AuthorizeInFirewall(kPath, kRule, firewall) ? 1 : 0;
    case kReport: return ReportFirewallStatus(kPath, firewall);
    case kRemove: return RemoveFromFirewall(kPath, firewall) ? 1 : 0;
  }
  return -1;
}

// Each failing step, and each getter that succeeds handing back nothing, ends its
// operation as below, prints only what is shown, and leaves every reference released.
// Removing a path without an entry is Remove answering "file not found".
TEST(FakeFirewall, EveryFailingStepIsAbsorbed) {
  struct Case {
    Operation operation;
    int step;
    int result;  // true/false as 1/0 for authorize and remove
    const char* printed;
  };
  const Case cases[] = {
      {kAuthorize, fake::kCreateManager, 0, ""},
      {kAuthorize, fake::kLocalPolicy, 0, ""},
      {kAuthorize, fake::kCurrentProfile, 0, ""},
      {kAuthorize, fake::kAuthorizedApplications, 0, ""},
      {kAuthorize, fake::kCreateApplication, 0, ""},
      {kAuthorize, fake::kPutImage, 0, ""},
      {kAuthorize, fake::kPutName, 0, ""},
      {kAuthorize, fake::kAdd, 0, ""},
      {kAuthorize, fake::kItem, 1, kNotEnabled},
      {kAuthorize, fake::kEnabled, 1, kNotEnabled},
      {kReport, fake::kCreateManager, 1, ""},
      {kReport, fake::kLocalPolicy, 1, ""},
      {kReport, fake::kCurrentProfile, 1, ""},
      {kReport, fake::kAuthorizedApplications, 0, kNotEnabled},
      {kReport, fake::kItem, 0, kNotEnabled},
      {kReport, fake::kEnabled, 0, kNotEnabled},
      {kRemove, fake::kCreateManager, 0, ""},
      {kRemove, fake::kLocalPolicy, 0, ""},
      {kRemove, fake::kCurrentProfile, 0, ""},
      {kRemove, fake::kAuthorizedApplications, 0, ""},
      {kRemove, fake::kRemove, 0, ""},
  };
  for (const Case& c : cases) {
    for (bool hand_out_null : {false, true}) {
      if (hand_out_null && !fake::HandsOutObject(c.step)) continue;
      SCOPED_TRACE(testing::Message() << "operation " << c.operation << ", "
                                      << fake::StepName(c.step) << (hand_out_null ? " null" : ""));
      fake::Firewall firewall;
      firewall.script.exceptions_not_allowed = true;  // a warning no failure may mask
      if (hand_out_null) {
        firewall.script.hand_out_null[c.step] = true;
      } else {
        firewall.script.result[c.step] = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
      }
      StdoutCapture out;
      EXPECT_EQ(RunOperation(c.operation, firewall), c.result);
      EXPECT_EQ(out.Take(), c.printed);
      EXPECT_EQ(firewall.Unreleased(), "");
      if (c.operation == kAuthorize && c.result == 0) {
        EXPECT_EQ(firewall.script.adds, 0);
      }
    }
  }
}

// Without a path there is nothing to look up: the report finds it not enabled.
TEST(FakeFirewall, ReportOfAnEmptyPathWarns) {
  fake::Firewall firewall;
  StdoutCapture out;
  EXPECT_EQ(ReportFirewallStatus(L"", firewall), 0);
  EXPECT_EQ(out.Take(), kNotEnabled);
}

}  // namespace
