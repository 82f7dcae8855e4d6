#include "daemon/firewall.h"

#include <cstdio>

namespace {

using zrvd::com_ptr;
using zrvd::unique_bstr;

// Published identifiers of the firewall classes and interfaces; mingw's libuuid
// does not carry them.
constexpr CLSID kClsidNetFwMgr = {
    0x304CE942, 0x6E39, 0x40D8, {0x94, 0x3A, 0xB9, 0x13, 0xC4, 0x0C, 0x9C, 0xD4}};
constexpr IID kIidINetFwMgr = {
    0xF7898AF5, 0xCAC4, 0x4632, {0xA2, 0xEC, 0xDA, 0x06, 0xE5, 0x11, 0x1A, 0xF2}};
constexpr CLSID kClsidNetFwAuthorizedApplication = {
    0xEC9846B3, 0x2762, 0x4A6B, {0xA2, 0x14, 0x6A, 0xCB, 0x60, 0x34, 0x62, 0xD2}};
constexpr IID kIidINetFwAuthorizedApplication = {
    0xB5E64FFA, 0xC2C5, 0x444E, {0xA3, 0x01, 0xFB, 0x5E, 0x00, 0x01, 0x80, 0x50}};

constexpr char kMsgNotEnabled[] =
    "Application is not enabled in the firewall. You will not be able host games or join a "
    "peer-to-peer game. Depending on the game, you may be able to join.\n";
constexpr char kMsgNoExceptions[] =
    "Firewall is on with no exceptions. You will not be able host games or join a "
    "peer-to-peer game. Depending on the game, you may be able to join.\n";

class SystemObjects final : public FirewallObjectSource {
 public:
  HRESULT CreateManager(INetFwMgr** manager) const override {
    return CoCreateInstance(kClsidNetFwMgr, nullptr, CLSCTX_INPROC_SERVER, kIidINetFwMgr,
                            reinterpret_cast<void**>(manager));
  }
  HRESULT CreateAuthorizedApplication(INetFwAuthorizedApplication** application) const override {
    return CoCreateInstance(kClsidNetFwAuthorizedApplication, nullptr, CLSCTX_INPROC_SERVER,
                            kIidINetFwAuthorizedApplication,
                            reinterpret_cast<void**>(application));
  }
};

// COM for the length of one operation. A thread that is already in another
// apartment can still use the in-process firewall objects there; only our own
// successful set-up is ours to undo.
class ComScope {
 public:
  ComScope()
      : m_result(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}
  ~ComScope() {
    if (SUCCEEDED(m_result)) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

  bool usable() const { return SUCCEEDED(m_result) || m_result == RPC_E_CHANGED_MODE; }

 private:
  HRESULT m_result;
};

// Runs a getter into `out`. One that claims success but hands back nothing must
// not be dereferenced; `out` is read only after the call has filled it.
template <typename I, typename Call>
HRESULT Fetch(com_ptr<I>* out, Call call) {
  HRESULT hr = call(out->put());
  if (FAILED(hr)) return hr;
  return *out ? hr : E_POINTER;
}

// An empty text is refused like a failed allocation: the firewall has no use for it.
HRESULT MakeBstr(const wchar_t* text, unique_bstr* out) {
  out->reset(text ? SysAllocString(text) : nullptr);
  if (SysStringLen(out->get()) == 0) {
    out->reset();
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT AddApplication(INetFwProfile* profile, const FirewallObjectSource& objects,
                       const wchar_t* path, const wchar_t* rule_name) {
  com_ptr<INetFwAuthorizedApplications> applications;
  HRESULT hr =
      Fetch(&applications, [&](auto out) { return profile->get_AuthorizedApplications(out); });
  if (FAILED(hr)) return hr;
  com_ptr<INetFwAuthorizedApplication> application;
  hr = Fetch(&application, [&](auto out) { return objects.CreateAuthorizedApplication(out); });
  if (FAILED(hr)) return hr;
  unique_bstr image;
  if (FAILED(hr = MakeBstr(path, &image))) return hr;
  if (FAILED(hr = application->put_ProcessImageFileName(image.get()))) return hr;
  unique_bstr name;
  if (FAILED(hr = MakeBstr(rule_name, &name))) return hr;
  if (FAILED(hr = application->put_Name(name.get()))) return hr;
  return applications->Add(application.get());
}

bool IsEnabled(INetFwProfile* profile, const wchar_t* path) {
  com_ptr<INetFwAuthorizedApplications> applications;
  if (FAILED(Fetch(&applications,
                   [&](auto out) { return profile->get_AuthorizedApplications(out); })))
    return false;
  unique_bstr image;
  if (FAILED(MakeBstr(path, &image))) return false;
  com_ptr<INetFwAuthorizedApplication> application;
  if (FAILED(Fetch(&application, [&](auto out) { return applications->Item(image.get(), out); })))
    return false;
  VARIANT_BOOL enabled = VARIANT_FALSE;
  return SUCCEEDED(application->get_Enabled(&enabled)) && enabled != VARIANT_FALSE;
}

// Flushed at once: the daemon runs for hours and whoever reads its output
// should see the warning while it still matters.
void Warn(const char* text) {
  printf("%s", text);
  fflush(stdout);
}

}  // namespace

const FirewallObjectSource& SystemFirewallObjects() {
  static const SystemObjects objects;
  return objects;
}

std::optional<FirewallProfile> FirewallProfile::Open(const FirewallObjectSource& objects) {
  com_ptr<INetFwMgr> manager;
  if (FAILED(Fetch(&manager, [&](auto out) { return objects.CreateManager(out); })))
    return std::nullopt;
  com_ptr<INetFwPolicy> policy;
  if (FAILED(Fetch(&policy, [&](auto out) { return manager->get_LocalPolicy(out); })))
    return std::nullopt;
  com_ptr<INetFwProfile> profile;
  if (FAILED(Fetch(&profile, [&](auto out) { return policy->get_CurrentProfile(out); })))
    return std::nullopt;
  return FirewallProfile(std::move(profile));
}

int ReportFirewallStatus(const wchar_t* path, const FirewallObjectSource& objects) {
  std::optional<FirewallProfile> profile = FirewallProfile::Open(objects);
  if (!profile) return 1;
  if (!IsEnabled(profile->get(), path)) {
    Warn(kMsgNotEnabled);
    return 0;
  }
  VARIANT_BOOL no_exceptions = VARIANT_FALSE;
  if (SUCCEEDED(profile->get()->get_ExceptionsNotAllowed(&no_exceptions)) &&
      no_exceptions != VARIANT_FALSE) {
    Warn(kMsgNoExceptions);
    return 0;
  }
  return 1;
}

bool AuthorizeInFirewall(const wchar_t* path, const wchar_t* rule_name,
                         const FirewallObjectSource& objects) {
  ComScope com;  // first in, last out: every firewall object goes before COM does
  if (!com.usable()) return false;
  {
    std::optional<FirewallProfile> profile = FirewallProfile::Open(objects);
    if (!profile) return false;
    if (FAILED(AddApplication(profile->get(), objects, path, rule_name))) return false;
  }
  ReportFirewallStatus(path, objects);
  return true;
}

bool AuthorizeInFirewall(const wchar_t* path, const wchar_t* rule_name) {
  return AuthorizeInFirewall(path, rule_name, SystemFirewallObjects());
}

bool RemoveFromFirewall(const wchar_t* path, const FirewallObjectSource& objects) {
  ComScope com;
  if (!com.usable()) return false;
  std::optional<FirewallProfile> profile = FirewallProfile::Open(objects);
  if (!profile) return false;
  com_ptr<INetFwAuthorizedApplications> applications;
  INetFwProfile* current = profile->get();
  if (FAILED(Fetch(&applications,
                   [&](auto out) { return current->get_AuthorizedApplications(out); })))
    return false;
  unique_bstr image;
  if (FAILED(MakeBstr(path, &image))) return false;
  return SUCCEEDED(applications->Remove(image.get()));
}

bool RemoveFromFirewall(const wchar_t* path) {
  return RemoveFromFirewall(path, SystemFirewallObjects());
}
