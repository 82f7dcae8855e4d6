// An in-memory firewall behind the firewall COM interfaces: every step of the chain
// can be told to fail, or to succeed while handing back nothing, and every object
// counts its references so that a test sees what the code under test kept.
#pragma once

#include <string>

#include "daemon/firewall.h"

namespace fake {

enum Step {
  kCreateManager,
  kLocalPolicy,
  kCurrentProfile,
  kAuthorizedApplications,
  kCreateApplication,
  kPutImage,
  kPutName,
  kAdd,
  kItem,
  kEnabled,
  kExceptionsNotAllowed,
  kRemove,
  kStepCount
};

inline const char* StepName(int step) {
  static const char* const names[kStepCount] = {
      "CreateManager", "LocalPolicy", "CurrentProfile", "AuthorizedApplications",
      "CreateApplication", "PutImage", "PutName", "Add", "Item", "Enabled",
      "ExceptionsNotAllowed", "Remove"};
  return names[step];
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

// A BSTR read through its length prefix: a plain wide string passed as a BSTR
// would not survive this.
inline std::wstring FromBstr(BSTR text) {
  return text ? std::wstring(text, SysStringLen(text)) : std::wstring(L"<null>");
}

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

// IUnknown and IDispatch for one interface. The test holds the first reference
// and the object is never freed, so a count other than 1 after an operation is a
// leak or an extra Release.
template <typename I>
class Object : public I {
 public:
  explicit Object(Script* script) : m_script(script) {}
  virtual ~Object() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, __uuidof(I))) {
      *out = static_cast<I*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--m_refs); }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return E_NOTIMPL;
  }

  long refs() const { return m_refs; }

 protected:
  Script* m_script;

 private:
  long m_refs = 1;
};

class Application : public Object<INetFwAuthorizedApplication> {
 public:
  using Object::Object;
  HRESULT STDMETHODCALLTYPE get_Name(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Name(BSTR name) override {
    m_name = FromBstr(name);
    return m_script->result[kPutName];
  }
  HRESULT STDMETHODCALLTYPE get_ProcessImageFileName(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_ProcessImageFileName(BSTR image) override {
    m_image = FromBstr(image);
    return m_script->result[kPutImage];
  }
  HRESULT STDMETHODCALLTYPE get_IpVersion(NET_FW_IP_VERSION*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_IpVersion(NET_FW_IP_VERSION) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Scope(NET_FW_SCOPE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Scope(NET_FW_SCOPE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_RemoteAddresses(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_RemoteAddresses(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* enabled) override {
    if (FAILED(m_script->result[kEnabled])) return m_script->result[kEnabled];
    *enabled = m_script->enabled ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL) override { return E_NOTIMPL; }

  std::wstring m_image, m_name;
};

class Applications : public Object<INetFwAuthorizedApplications> {
 public:
  Applications(Script* script, Application* listed) : Object(script), m_listed(listed) {}
  HRESULT STDMETHODCALLTYPE get_Count(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Add(INetFwAuthorizedApplication* app) override {
    if (FAILED(m_script->result[kAdd])) return m_script->result[kAdd];
    auto* added = static_cast<Application*>(app);
    ++m_script->adds;
    m_script->added_image = added->m_image;
    m_script->added_name = added->m_name;
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
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }

 private:
  Application* m_listed;
};

class Profile : public Object<INetFwProfile> {
 public:
  Profile(Script* script, Applications* applications)
      : Object(script), m_applications(applications) {}
  HRESULT STDMETHODCALLTYPE get_Type(NET_FW_PROFILE_TYPE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_FirewallEnabled(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_FirewallEnabled(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ExceptionsNotAllowed(VARIANT_BOOL* not_allowed) override {
    if (FAILED(m_script->result[kExceptionsNotAllowed]))
      return m_script->result[kExceptionsNotAllowed];
    *not_allowed = m_script->exceptions_not_allowed ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_ExceptionsNotAllowed(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_NotificationsDisabled(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_NotificationsDisabled(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_UnicastResponsesToMulticastBroadcastDisabled(
      VARIANT_BOOL*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE put_UnicastResponsesToMulticastBroadcastDisabled(
      VARIANT_BOOL) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_RemoteAdminSettings(INetFwRemoteAdminSettings**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_IcmpSettings(INetFwIcmpSettings**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_GloballyOpenPorts(INetFwOpenPorts**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Services(INetFwServices**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_AuthorizedApplications(
      INetFwAuthorizedApplications** out) override {
    return HandOut<INetFwAuthorizedApplications>(m_script, kAuthorizedApplications,
                                                 m_applications, out);
  }

 private:
  Applications* m_applications;
};

class Policy : public Object<INetFwPolicy> {
 public:
  Policy(Script* script, Profile* profile) : Object(script), m_profile(profile) {}
  HRESULT STDMETHODCALLTYPE get_CurrentProfile(INetFwProfile** out) override {
    return HandOut<INetFwProfile>(m_script, kCurrentProfile, m_profile, out);
  }
  HRESULT STDMETHODCALLTYPE GetProfileByType(NET_FW_PROFILE_TYPE, INetFwProfile**) override {
    return E_NOTIMPL;
  }

 private:
  Profile* m_profile;
};

class Manager : public Object<INetFwMgr> {
 public:
  Manager(Script* script, Policy* policy) : Object(script), m_policy(policy) {}
  HRESULT STDMETHODCALLTYPE get_LocalPolicy(INetFwPolicy** out) override {
    return HandOut<INetFwPolicy>(m_script, kLocalPolicy, m_policy, out);
  }
  HRESULT STDMETHODCALLTYPE get_CurrentProfileType(NET_FW_PROFILE_TYPE*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE RestoreDefaults() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsPortAllowed(BSTR, NET_FW_IP_VERSION, LONG, BSTR, NET_FW_IP_PROTOCOL,
                                          VARIANT*, VARIANT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE IsIcmpTypeAllowed(NET_FW_IP_VERSION, BSTR, BYTE, VARIANT*,
                                              VARIANT*) override {
    return E_NOTIMPL;
  }

 private:
  Policy* m_policy;
};

// The whole firewall, handed to the code under test as its object source.
class Firewall final : public FirewallObjectSource {
 public:
  Firewall()
      : applications(&script, &listed),
        profile(&script, &applications),
        policy(&script, &profile),
        manager(&script, &policy) {}

  HRESULT CreateManager(INetFwMgr** out) const override {
    return HandOut<INetFwMgr>(&Self()->script, kCreateManager, &Self()->manager, out);
  }
  HRESULT CreateAuthorizedApplication(INetFwAuthorizedApplication** out) const override {
    return HandOut<INetFwAuthorizedApplication>(&Self()->script, kCreateApplication,
                                                &Self()->created, out);
  }

  // Names the first object whose count is not back to the test's one reference.
  std::string Unreleased() const {
    if (manager.refs() != 1) return "manager " + std::to_string(manager.refs());
    if (policy.refs() != 1) return "policy " + std::to_string(policy.refs());
    if (profile.refs() != 1) return "profile " + std::to_string(profile.refs());
    if (applications.refs() != 1) return "applications " + std::to_string(applications.refs());
    if (created.refs() != 1) return "created application " + std::to_string(created.refs());
    if (listed.refs() != 1) return "listed application " + std::to_string(listed.refs());
    return "";
  }

  Script script;
  Application created{&script};
  Application listed{&script};
  Applications applications;
  Profile profile;
  Policy policy;
  Manager manager;

 private:
  // The source's operations are const; the objects they hand out are not.
  Firewall* Self() const { return const_cast<Firewall*>(this); }
};

}  // namespace fake
