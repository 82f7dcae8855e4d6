// A stand-in for the system's network list manager, for the metered-link tests:
// a COM server of CLSID_NetworkListManager whose INetworkCostManager answers
// the number in the file that ZRVD_TEST_COST_FILE names (0 when there is none),
// read at each call so that a test changes the answer while the daemon runs.
// The text "fail" cuts off every manager that asks while it stands, as a restart
// of the real service does: those answer RPC_E_DISCONNECTED for good, and only
// a manager made afterwards answers again. "slow" holds every question until
// the text changes (30 s at most), and first makes the file "<cost file>.held"
// so that a test knows a question hangs. It sends no cost events: the daemon
// must find a change by asking.
#include <windows.h>
#include <ocidl.h>
#include <netlistmgr.h>

#include <atomic>
#include <cstdlib>
#include <string>

namespace {

const IID kIidUnknown = {0, 0, 0, {0xc0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID kIidClassFactory = {1, 0, 0, {0xc0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID kIidCostManager = {
    0xdcb00008, 0x570f, 0x4a9b, {0x8d, 0x69, 0x19, 0x9f, 0xdb, 0xa5, 0x72, 0x3b}};
const CLSID kClsidNetworkListManager = {
    0xdcb00c01, 0x570f, 0x4a9b, {0x8d, 0x69, 0x19, 0x9f, 0xdb, 0xa5, 0x72, 0x3b}};

std::string CostFilePath() {
  char path[MAX_PATH] = {};
  if (!GetEnvironmentVariableA("ZRVD_TEST_COST_FILE", path, sizeof(path))) return "";
  return path;
}

// The file's text, "" when there is none.
std::string CostFileText() {
  const std::string path = CostFilePath();
  if (path.empty()) return "";
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  char text[32] = {};
  DWORD got = 0;
  ReadFile(file, text, sizeof(text) - 1, &got, nullptr);
  CloseHandle(file);
  return text;
}

class CostManager final : public INetworkCostManager {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (!IsEqualIID(iid, kIidUnknown) && !IsEqualIID(iid, kIidCostManager)) return E_NOINTERFACE;
    *out = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --m_refs;
    if (left == 0) delete this;  // final: no derived destructor to miss
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetCost(DWORD* cost, NLM_SOCKADDR*) override {
    if (!cost) return E_POINTER;
    std::string text = CostFileText();
    if (text.compare(0, 4, "slow") == 0) {
      const std::string held = CostFilePath() + ".held";
      CloseHandle(CreateFileA(held.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
      for (int i = 0; i < 300 && text.compare(0, 4, "slow") == 0; ++i) {
        Sleep(100);
        text = CostFileText();
      }
    }
    if (text.compare(0, 4, "fail") == 0) m_cutOff = true;
    if (m_cutOff) return RPC_E_DISCONNECTED;
    *cost = static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 0));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDataPlanStatus(NLM_DATAPLAN_STATUS*, NLM_SOCKADDR*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetDestinationAddresses(UINT32, NLM_SOCKADDR*, VARIANT_BOOL) override {
    return E_NOTIMPL;
  }

 private:
  std::atomic<ULONG> m_refs{1};
  std::atomic<bool> m_cutOff{false};
};

class Factory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (!IsEqualIID(iid, kIidUnknown) && !IsEqualIID(iid, kIidClassFactory)) return E_NOINTERFACE;
    *out = this;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    CostManager* manager = new CostManager;
    const HRESULT result = manager->QueryInterface(iid, out);
    manager->Release();
    return result;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

Factory g_factory;

}  // namespace

extern "C" __declspec(dllexport) HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid,
                                                                   void** out) {
  *out = nullptr;
  if (!IsEqualCLSID(clsid, kClsidNetworkListManager)) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(iid, out);
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllCanUnloadNow() { return S_FALSE; }
