// Owning wrappers for OS handles: one template, one typedef per handle kind.
// Every handle the project opens is held by one of these, so each way out of a
// function closes what it opened without a hand-written close.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <oleauto.h>
#include <wininet.h>

#include <utility>

namespace zrvd {

// Owns a value of type T; `Close` is called on it when it is replaced or the
// wrapper dies, unless it equals Invalid::value() (the kind's "no handle").
template <typename T, auto Close, typename Invalid>
class unique_any {
 public:
  unique_any() = default;
  explicit unique_any(T value) : m_value(value) {}
  unique_any(const unique_any&) = delete;
  unique_any& operator=(const unique_any&) = delete;
  unique_any(unique_any&& other) noexcept : m_value(other.release()) {}
  unique_any& operator=(unique_any&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~unique_any() { reset(); }

  T get() const { return m_value; }
  bool valid() const { return m_value != Invalid::value(); }
  explicit operator bool() const { return valid(); }

  // For out-parameters: closes what is held and hands out the slot.
  T* put() {
    reset();
    return &m_value;
  }

  T release() { return std::exchange(m_value, Invalid::value()); }

  void reset(T value = Invalid::value()) {
    T old = std::exchange(m_value, value);
    if (old != Invalid::value()) Close(old);
  }

 private:
  T m_value = Invalid::value();
};

template <typename T>
struct NullInvalid {
  static T value() { return T{}; }
};
struct InvalidHandleValue {
  static HANDLE value() { return INVALID_HANDLE_VALUE; }
};
struct InvalidSocketValue {
  static SOCKET value() { return INVALID_SOCKET; }
};

namespace detail {
inline void CloseHandleOf(HANDLE h) { ::CloseHandle(h); }
inline void CloseKey(HKEY k) { ::RegCloseKey(k); }
inline void CloseSocket(SOCKET s) { ::closesocket(s); }
inline void CloseInternet(HINTERNET h) { ::InternetCloseHandle(h); }
inline void FreeBstr(BSTR b) { ::SysFreeString(b); }
inline void FreeLibraryOf(HMODULE m) { ::FreeLibrary(m); }
inline void FreeFromProcessHeap(void* p) { ::HeapFree(::GetProcessHeap(), 0, p); }
}  // namespace detail

// Kernel handles whose "none" is null (threads, events, mutexes, processes).
using unique_handle = unique_any<HANDLE, detail::CloseHandleOf, NullInvalid<HANDLE>>;
// File and snapshot handles, whose "none" is INVALID_HANDLE_VALUE.
using unique_hfile = unique_any<HANDLE, detail::CloseHandleOf, InvalidHandleValue>;
using unique_hkey = unique_any<HKEY, detail::CloseKey, NullInvalid<HKEY>>;
using unique_socket = unique_any<SOCKET, detail::CloseSocket, InvalidSocketValue>;
using unique_hinternet = unique_any<HINTERNET, detail::CloseInternet, NullInvalid<HINTERNET>>;
using unique_bstr = unique_any<BSTR, detail::FreeBstr, NullInvalid<BSTR>>;
using unique_hmodule = unique_any<HMODULE, detail::FreeLibraryOf, NullInvalid<HMODULE>>;
using unique_heap_ptr = unique_any<void*, detail::FreeFromProcessHeap, NullInvalid<void*>>;

// COM interface pointer: released once.
template <typename I>
class com_ptr {
 public:
  com_ptr() = default;
  explicit com_ptr(I* p) : m_p(p) {}
  com_ptr(const com_ptr&) = delete;
  com_ptr& operator=(const com_ptr&) = delete;
  com_ptr(com_ptr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
  com_ptr& operator=(com_ptr&& other) noexcept {
    if (this != &other) reset(std::exchange(other.m_p, nullptr));
    return *this;
  }
  ~com_ptr() { reset(); }

  I* get() const { return m_p; }
  I* operator->() const { return m_p; }
  explicit operator bool() const { return m_p != nullptr; }
  I** put() {
    reset();
    return &m_p;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }
  void reset(I* p = nullptr) {
    I* old = std::exchange(m_p, p);
    if (old) old->Release();
  }

 private:
  I* m_p = nullptr;
};

}  // namespace zrvd
