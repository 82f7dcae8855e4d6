// An in-memory firewall behind the firewall COM interfaces: every step of the chain
// can be told to fail, or to succeed while handing back nothing, and every object
// counts its references so that a test sees what the code under test kept.
#pragma once

#include <string>

#include "daemon/firewall.h"

namespace fake {

enum Step {
  kCreateManager, kLocalPolicy, kCurrentProfile, kAuthorizedApplications, kCreateApplication,
  kPutImage, kPutName, kAdd, kItem, kEnabled, kExceptionsNotAllowed, kRemove, kStepCount
};

inline const char* StepName(int step) {
  static const char* const names[kStepCount] = {
      "CreateManager", "LocalPolicy", "CurrentProfile", "AuthorizedApplications",
      "CreateApplication", "PutImage", "PutName", "Add", "Item", "Enabled",
      "ExceptionsNotAllowed", "Remove"};
  return names[step];
}

// Steps that hand out an object, and so can succeed while handing out none.
inline bool HandsOutObject(int step) {
  return step <= kCreateApplication || step == kItem;
}

// What the firewall answers, and what it was told.
struct Script {
  HRESULT result[kStepCount] = {};
  bool hand_out_null[kStepCount] = {};
  bool enabled = true;
  bool exceptions_not_allowed = false;

  int adds = 0;
  std::wstring added_image, added_name, looked_up, removed;
};

// Read through the length prefix: a plain wide string passed as a BSTR would not
// survive this.
inline std::wstring FromBstr(BSTR text) {
  return text ? std::wstring(text, SysStringLen(text)) : std::wstring(L"<null>");
}

inline VARIANT_BOOL ToVariantBool(bool value) { return value ? VARIANT_TRUE : VARIANT_FALSE; }

// Answers a getter: the scripted failure, a null success, or a new reference.
template <typename T>
HRESULT HandOut(Script* script, Step step, T* object, T** out) {
  *out = nullptr;
  if (FAILED(script->result[step])) return script->result[step];
  if (!script->hand_out_null[step]) {
    object->AddRef();
    *out = object;
  }
  return S_OK;
}

#define FAKE_UNUSED(name, ...) \
  HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { return E_NOTIMPL; }

// IUnknown and IDispatch for one interface. The test holds the first reference
// and the object is never freed, so a count other than 1 after an operation is a
// leak or an extra Release.
template <typename I>
class Object : public I {
 public:
  explicit Object(Script* script) : m_script(script) {}
  virtual ~Object() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    bool known = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
                 IsEqualIID(iid, __uuidof(I));
    *out = known ? static_cast<I*>(this) : nullptr;
    if (known) AddRef();
    return known ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--m_refs); }
  FAKE_UNUSED(GetTypeInfoCount, UINT*)
  FAKE_UNUSED(GetTypeInfo, UINT, LCID, ITypeInfo**)
  FAKE_UNUSED(GetIDsOfNames, REFIID, LPOLESTR*, UINT, LCID, DISPID*)
  FAKE_UNUSED(Invoke, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*)

  long refs() const { return m_refs; }

 protected:
  Script* m_script;

 private:
  long m_refs = 1;
};

class Application : public Object<INetFwAuthorizedApplication> {
 public:
  using Object::Object;
  HRESULT STDMETHODCALLTYPE put_Name(BSTR name) override {
    m_name = FromBstr(name);
    return m_script->result[kPutName];
  }
  HRESULT STDMETHODCALLTYPE put_ProcessImageFileName(BSTR image) override {
    m_image = FromBstr(image);
    return m_script->result[kPutImage];
  }
  HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* enabled) override {
    *enabled = ToVariantBool(m_script->enabled);  // written even on failure: not to be read
    return m_script->result[kEnabled];
  }
  FAKE_UNUSED(get_Name, BSTR*)
  FAKE_UNUSED(get_ProcessImageFileName, BSTR*)
  FAKE_UNUSED(get_IpVersion, NET_FW_IP_VERSION*)
  FAKE_UNUSED(put_IpVersion, NET_FW_IP_VERSION)
  FAKE_UNUSED(get_Scope, NET_FW_SCOPE*)
  FAKE_UNUSED(put_Scope, NET_FW_SCOPE)
  FAKE_UNUSED(get_RemoteAddresses, BSTR*)
  FAKE_UNUSED(put_RemoteAddresses, BSTR)
  FAKE_UNUSED(put_Enabled, VARIANT_BOOL)

  std::wstring m_image, m_name;
};

class Applications : public Object<INetFwAuthorizedApplications> {
 public:
  Applications(Script* script, Application* listed) : Object(script), m_listed(listed) {}
  HRESULT STDMETHODCALLTYPE Add(INetFwAuthorizedApplication* app) override {
    if (FAILED(m_script->result[kAdd])) return m_script->result[kAdd];
    ++m_script->adds;
    m_script->added_image = static_cast<Application*>(app)->m_image;
    m_script->added_name = static_cast<Application*>(app)->m_name;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Remove(BSTR image) override {
    m_script->removed = FromBstr(image);
    return m_script->result[kRemove];
  }
  HRESULT STDMETHODCALLTYPE Item(BSTR image, INetFwAuthorizedApplication** app) override {
    m_script->looked_up = FromBstr(image);
    return HandOut<INetFwAuthorizedApplication>(m_script, kItem, m_listed, app);
  }
  FAKE_UNUSED(get_Count, LONG*)
  FAKE_UNUSED(get__NewEnum, IUnknown**)

 private:
  Application* m_listed;
};

class Profile : public Object<INetFwProfile> {
 public:
  Profile(Script* script, Applications* applications)
      : Object(script), m_applications(applications) {}
  HRESULT STDMETHODCALLTYPE get_ExceptionsNotAllowed(VARIANT_BOOL* not_allowed) override {
    *not_allowed = ToVariantBool(m_script->exceptions_not_allowed);  // as above
    return m_script->result[kExceptionsNotAllowed];
  }
  HRESULT STDMETHODCALLTYPE get_AuthorizedApplications(
      INetFwAuthorizedApplications** out) override {
    return HandOut<INetFwAuthorizedApplications>(m_script, kAuthorizedApplications,
                                                 m_applications, out);
  }
  FAKE_UNUSED(get_Type, NET_FW_PROFILE_TYPE*)
  FAKE_UNUSED(get_FirewallEnabled, VARIANT_BOOL*)
  FAKE_UNUSED(put_FirewallEnabled, VARIANT_BOOL)
  FAKE_UNUSED(put_ExceptionsNotAllowed, VARIANT_BOOL)
  FAKE_UNUSED(get_NotificationsDisabled, VARIANT_BOOL*)
  FAKE_UNUSED(put_NotificationsDisabled, VARIANT_BOOL)
  FAKE_UNUSED(get_UnicastResponsesToMulticastBroadcastDisabled, VARIANT_BOOL*)
  FAKE_UNUSED(put_UnicastResponsesToMulticastBroadcastDisabled, VARIANT_BOOL)
  FAKE_UNUSED(get_RemoteAdminSettings, INetFwRemoteAdminSettings**)
  FAKE_UNUSED(get_IcmpSettings, INetFwIcmpSettings**)
  FAKE_UNUSED(get_GloballyOpenPorts, INetFwOpenPorts**)
  FAKE_UNUSED(get_Services, INetFwServices**)

 private:
  Applications* m_applications;
};

class Policy : public Object<INetFwPolicy> {
 public:
  Policy(Script* script, Profile* profile) : Object(script), m_profile(profile) {}
  HRESULT STDMETHODCALLTYPE get_CurrentProfile(INetFwProfile** out) override {
    return HandOut<INetFwProfile>(m_script, kCurrentProfile, m_profile, out);
  }
  FAKE_UNUSED(GetProfileByType, NET_FW_PROFILE_TYPE, INetFwProfile**)

 private:
  Profile* m_profile;
};

class Manager : public Object<INetFwMgr> {
 public:
  Manager(Script* script, Policy* policy) : Object(script), m_policy(policy) {}
  HRESULT STDMETHODCALLTYPE get_LocalPolicy(INetFwPolicy** out) override {
    return HandOut<INetFwPolicy>(m_script, kLocalPolicy, m_policy, out);
  }
  FAKE_UNUSED(get_CurrentProfileType, NET_FW_PROFILE_TYPE*)
  FAKE_UNUSED(RestoreDefaults)
  FAKE_UNUSED(IsPortAllowed, BSTR, NET_FW_IP_VERSION, LONG, BSTR, NET_FW_IP_PROTOCOL, VARIANT*,
              VARIANT*)
  FAKE_UNUSED(IsIcmpTypeAllowed, NET_FW_IP_VERSION, BSTR, BYTE, VARIANT*, VARIANT*)

 private:
  Policy* m_policy;
};

#undef FAKE_UNUSED

// The whole firewall, handed to the code under test as its object source.
class Firewall final : public FirewallObjectSource {
 public:
  HRESULT CreateManager(INetFwMgr** out) const override {
    return HandOut<INetFwMgr>(&script, kCreateManager, &manager, out);
  }
  HRESULT CreateAuthorizedApplication(INetFwAuthorizedApplication** out) const override {
    return HandOut<INetFwAuthorizedApplication>(&script, kCreateApplication, &created, out);
  }

  // Names each object whose count is not back to the test's one reference.
  std::string Unreleased() const {
    std::string names;
    auto check = [&](const char* name, long refs) {
      if (refs != 1) names += std::string(name) + "=" + std::to_string(refs) + " ";
    };
    check("manager", manager.refs());
    check("policy", policy.refs());
    check("profile", profile.refs());
    check("applications", applications.refs());
    check("created", created.refs());
    check("listed", listed.refs());
    return names;
  }

  // Mutable: the source's operations are const, the objects they hand out are not.
  mutable Script script;
  mutable Application created{&script};
  mutable Application listed{&script};
  mutable Applications applications{&script, &listed};
  mutable Profile profile{&script, &applications};
  mutable Policy policy{&script, &profile};
  mutable Manager manager{&script, &policy};
};

}  // namespace fake
