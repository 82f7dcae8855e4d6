// Windows Firewall authorization of the daemon's own executable during start-up.
//
// The daemon calls AuthorizeInFirewall before the engine opens its sockets and
// RemoveFromFirewall once the IPC port is published; the entry exists only in
// between. Both run on the calling thread, set up COM for themselves and release
// every firewall object before they return. Failures are absorbed: the result says
// what happened, and only the two warnings of ReportFirewallStatus reach stdout.
#pragma once

#include "common/unique_any.h"

#include <netfw.h>

#include <optional>
#include <utility>

// Where the firewall's COM objects come from. The daemon uses the system's;
// tests supply their own to reach failures that a real firewall does not give on
// demand. Each Create call hands its caller one reference (or nothing on failure).
// A source must outlive every operation it is passed to.
class FirewallObjectSource {
 public:
  virtual HRESULT CreateManager(INetFwMgr** manager) const = 0;
  virtual HRESULT CreateAuthorizedApplication(INetFwAuthorizedApplication** application) const = 0;

 protected:
  ~FirewallObjectSource() = default;
};

// CoCreateInstance of the in-process firewall classes. Lives for the whole process.
const FirewallObjectSource& SystemFirewallObjects();

// The current profile of the local firewall policy, held for one operation.
// Only exists when the profile could be obtained; the manager and policy used to
// reach it are released before Open returns. The caller must have set up COM on
// this thread and must let the profile go before tearing COM down.
class FirewallProfile {
 public:
  static std::optional<FirewallProfile> Open(const FirewallObjectSource& objects);

  INetFwProfile* get() const { return m_profile.get(); }

 private:
  explicit FirewallProfile(zrvd::com_ptr<INetFwProfile> profile) : m_profile(std::move(profile)) {}

  zrvd::com_ptr<INetFwProfile> m_profile;
};

// Adds `path` under `rule_name` to the current profile's authorized applications.
// True when the entry was added, even if the firewall would still block the
// program (a warning says so on stdout). An empty or null path or rule name adds
// nothing and gives false.
bool AuthorizeInFirewall(const wchar_t* path, const wchar_t* rule_name);
bool AuthorizeInFirewall(const wchar_t* path, const wchar_t* rule_name,
                         const FirewallObjectSource& objects);

// Removes the authorized-application entry of `path`. True when it was removed.
bool RemoveFromFirewall(const wchar_t* path);
bool RemoveFromFirewall(const wchar_t* path, const FirewallObjectSource& objects);

// Prints a warning when `path` is not enabled in the current profile, or when the
// profile allows no exceptions: 0 after a warning, 1 otherwise (also when there is
// no profile). COM must already be set up on the calling thread.
int ReportFirewallStatus(const wchar_t* path, const FirewallObjectSource& objects);
