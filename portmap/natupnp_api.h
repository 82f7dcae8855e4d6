// The NAT traversal interfaces of hnetcfg.dll that the port mapping uses, with
// their published identifiers: mingw-w64 ships no natupnp.h. Only the methods
// we call are named; the vtable order is the documented one.
#pragma once

#include <windows.h>
#include <oaidl.h>

constexpr CLSID kClsidUPnPNAT = {
    0xAE1E00AA, 0x3FD5, 0x403C, {0x8A, 0x27, 0x2B, 0xBD, 0xC3, 0x0C, 0xD0, 0xE1}};
constexpr IID kIidIUPnPNAT = {
    0xB171C812, 0xCC76, 0x485A, {0x94, 0xD8, 0xB6, 0xB3, 0xA2, 0x79, 0x4E, 0x99}};
constexpr IID kIidIStaticPortMappingCollection = {
    0xCD1F3E77, 0x66D6, 0x4664, {0x82, 0xC7, 0x36, 0xDB, 0xB6, 0x41, 0xD0, 0xF1}};
constexpr IID kIidIStaticPortMapping = {
    0x6F10711F, 0x729B, 0x41E5, {0x93, 0xB8, 0xF2, 0x1D, 0x0F, 0x81, 0x8D, 0xF1}};

struct IStaticPortMapping : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_ExternalIPAddress(BSTR* address) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ExternalPort(LONG* port) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_InternalPort(LONG* port) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Protocol(BSTR* protocol) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_InternalClient(BSTR* client) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* enabled) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Description(BSTR* description) = 0;
  virtual HRESULT STDMETHODCALLTYPE EditInternalClient(BSTR client) = 0;
  virtual HRESULT STDMETHODCALLTYPE Enable(VARIANT_BOOL enabled) = 0;
  virtual HRESULT STDMETHODCALLTYPE EditDescription(BSTR description) = 0;
  virtual HRESULT STDMETHODCALLTYPE EditInternalPort(LONG port) = 0;
};

struct IStaticPortMappingCollection : public IDispatch {
  // An IEnumVARIANT over the mappings, each an IDispatch.
  virtual HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** enumerator) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Item(LONG external_port, BSTR protocol,
                                             IStaticPortMapping** mapping) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Count(LONG* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE Remove(LONG external_port, BSTR protocol) = 0;
  virtual HRESULT STDMETHODCALLTYPE Add(LONG external_port, BSTR protocol, LONG internal_port,
                                        BSTR internal_client, VARIANT_BOOL enabled,
                                        BSTR description, IStaticPortMapping** mapping) = 0;
};

struct IUPnPNAT : public IDispatch {
  // S_OK with a null collection when no gateway answered the search.
  virtual HRESULT STDMETHODCALLTYPE get_StaticPortMappingCollection(
      IStaticPortMappingCollection** collection) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_DynamicPortMappingCollection(IUnknown** collection) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NATEventManager(IUnknown** manager) = 0;
};
