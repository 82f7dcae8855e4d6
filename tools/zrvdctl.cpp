// zrvdctl: plays the launcher and the download client against a running daemon.
//
//   zrvdctl add PATH            protect an executable (WM_COPYDATA command 0)
//   zrvdctl addmany PREFIX N    send N add records, for PREFIX0 .. PREFIX<N-1>
//   zrvdctl quit                ask the daemon to end (command 1)
//   zrvdctl record HEX          send exactly these bytes as a command record
//   zrvdctl launcher SECONDS    hold a window titled as the launcher's
//   zrvdctl wait SECONDS        wait until the daemon's window exists; print its image
//   zrvdctl exitcode SECONDS    wait for the running daemon to end; print its exit code
//   zrvdctl port                print the published IPC port
//   zrvdctl share PATH MD5 URL MODE   hand a file over on the IPC port
//   zrvdctl limit KBPS | limit-in-game KBPS | budget MB | pause | resume   upload settings
//   zrvdctl status [--json]     what the engine is doing, as a table or its JSON
//   zrvdctl verify              ask for a check of every shared file against its MD5
//   zrvdctl open                open the status page in the default browser
//   zrvdctl --version           print the product version
//
// Exit code 0 on success; otherwise 1 with a one-line message on stderr.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/unique_any.h"
#include "daemon/daemon_names.h"
#include "runtime/globals.h"
#include "tools/zrvdctl_status.h"
#include "tools/zrvdctl_upload.h"

namespace {

int Fail(const char* format, const char* detail = "") {
  std::fprintf(stderr, "zrvdctl: ");
  std::fprintf(stderr, format, detail);
  std::fprintf(stderr, "\n");
  return 1;
}

HWND FindDaemon() { return FindWindowA(kDaemonWindowClass, kDaemonWindowTitle); }

int SendRecord(const std::vector<unsigned char>& record) {
  HWND daemon = FindDaemon();
  if (!daemon) return Fail("no daemon window found");
  COPYDATASTRUCT data = {};
  data.cbData = static_cast<DWORD>(record.size());
  data.lpData = record.empty() ? nullptr : const_cast<unsigned char*>(record.data());
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutA(daemon, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                           SMTO_ABORTIFHUNG, 10000, &result)) {
    return Fail("the daemon did not take the record");
  }
  return 0;
}

int Add(const char* path) {
  std::vector<unsigned char> record(4, 0);
  record.insert(record.end(), path, path + std::strlen(path) + 1);
  return SendRecord(record);
}

int AddMany(const char* prefix, const char* count_text) {
  long count = std::atol(count_text);
  if (count <= 0) return Fail("N must be a positive number: %s", count_text);
  for (long i = 0; i < count; ++i) {
    std::string path = std::string(prefix) + std::to_string(i);
    if (int failed = Add(path.c_str())) return failed;
  }
  return 0;
}

int Quit() { return SendRecord({1, 0, 0, 0, 0}); }

int Record(const char* hex) {
  std::vector<unsigned char> record;
  size_t length = std::strlen(hex);
  if (length % 2 != 0) return Fail("odd number of hex digits: %s", hex);
  for (size_t i = 0; i < length; i += 2) {
    char pair[3] = {hex[i], hex[i + 1], '\0'};
    char* end = nullptr;
    unsigned long value = std::strtoul(pair, &end, 16);
    if (*end != '\0') return Fail("not hex: %s", hex);
    record.push_back(static_cast<unsigned char>(value));
  }
  return SendRecord(record);
}

LRESULT CALLBACK LauncherProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_TIMER) {
    DestroyWindow(window);
    return 0;
  }
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

int Launcher(const char* seconds_text) {
  int seconds = std::atoi(seconds_text);
  if (seconds <= 0) return Fail("SECONDS must be a positive number: %s", seconds_text);
  WNDCLASSEXA window_class = {};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = LauncherProc;
  window_class.hInstance = GetModuleHandleA(nullptr);
  window_class.lpszClassName = "ZRVDCTL_LAUNCHER";
  if (!RegisterClassExA(&window_class)) return Fail("cannot register the window class");
  HWND window = CreateWindowExA(0, window_class.lpszClassName, kLauncherWindowTitle,
                                WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, nullptr,
                                nullptr, window_class.hInstance, nullptr);
  if (!window) return Fail("cannot create the launcher window");
  SetTimer(window, 1, static_cast<UINT>(seconds) * 1000u, nullptr);
  std::printf("launcher window up for %d s\n", seconds);
  std::fflush(stdout);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
  return 0;
}

int Wait(const char* seconds_text) {
  int tenths = std::atoi(seconds_text) * 10;
  for (int i = 0; i <= tenths; ++i) {
    if (HWND daemon = FindDaemon()) {
      DWORD pid = 0;
      GetWindowThreadProcessId(daemon, &pid);
      zrvd::unique_handle process(
          OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
      char image[MAX_PATH] = {};
      if (process) GetModuleFileNameExA(process.get(), nullptr, image, MAX_PATH);
      std::printf("%s\n", image);
      return 0;
    }
    Sleep(100);
  }
  return Fail("no daemon window within %s s", seconds_text);
}

int ExitCode(const char* seconds_text) {
  HWND daemon = FindDaemon();
  if (!daemon) return Fail("no daemon window found%s");
  DWORD pid = 0;
  GetWindowThreadProcessId(daemon, &pid);
  zrvd::unique_handle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid));
  if (!process) return Fail("cannot open the daemon process%s");
  std::printf("watching\n");
  std::fflush(stdout);
  DWORD wait_ms = static_cast<DWORD>(std::atoi(seconds_text)) * 1000u;
  if (WaitForSingleObject(process.get(), wait_ms) != WAIT_OBJECT_0) {
    return Fail("the daemon still runs after %s s", seconds_text);
  }
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  std::printf("%lu\n", static_cast<unsigned long>(code));
  return 0;
}

bool ReadIpcPort(DWORD* port) {
  DWORD type = 0;
  DWORD size = sizeof(*port);
  return SHGetValueA(HKEY_LOCAL_MACHINE, kEngineKeyPath, kIpcPortValue, &type, port, &size) ==
             ERROR_SUCCESS &&
         type == REG_DWORD && size == sizeof(*port);
}

int Port() {
  DWORD port = 0;
  if (!ReadIpcPort(&port)) return Fail("no REG_DWORD \"IPCPort\" in HKLM\\%s", kEngineKeyPath);
  std::printf("%lu\n", static_cast<unsigned long>(port));
  return 0;
}

int Share(const char* path, const char* md5, const char* url, const char* mode) {
  DWORD port = 0;
  if (!ReadIpcPort(&port) || port == 0) return Fail("no IPC port published");
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 0), &wsa) != 0) return Fail("cannot start Winsock");
  zrvd::unique_socket sock(socket(AF_INET, SOCK_STREAM, 0));
  if (!sock) return Fail("cannot create a socket");
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = inet_addr("127.0.0.1");
  address.sin_port = htons(static_cast<u_short>(port));
  if (connect(sock.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    return Fail("cannot connect to the IPC port");
  }
  // Line 1 first, then lines 2 to 4 in one piece, as a download client does.
  std::string first = std::string(path) + "\r\n";
  std::string rest = std::string(md5) + "\r\n" + url + "\r\n" + mode + "\r\n";
  if (send(sock.get(), first.data(), static_cast<int>(first.size()), 0) !=
          static_cast<int>(first.size()) ||
      send(sock.get(), rest.data(), static_cast<int>(rest.size()), 0) !=
          static_cast<int>(rest.size())) {
    return Fail("cannot send the request");
  }
  // The engine never answers: the end of the stream says it is done.
  char byte;
  while (recv(sock.get(), &byte, 1, 0) > 0) {
  }
  return 0;
}

int Usage() {
  return Fail(
      "usage: zrvdctl add PATH | addmany PREFIX N | quit | record HEX | launcher SECONDS | wait SECONDS | "
      "exitcode SECONDS | port | "
      "share PATH MD5 URL MODE | limit KBPS | limit-in-game KBPS | budget MB | pause | resume | "
      "status [--json] | verify | open | --version%s");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  if (command == "add" && argc == 3) return Add(argv[2]);
  if (command == "addmany" && argc == 4) return AddMany(argv[2], argv[3]);
  if (command == "quit" && argc == 2) return Quit();
  if (command == "record" && argc == 3) return Record(argv[2]);
  if (command == "record" && argc == 2) return Record("");
  if (command == "launcher" && argc == 3) return Launcher(argv[2]);
  if (command == "wait" && argc == 3) return Wait(argv[2]);
  if (command == "exitcode" && argc == 3) return ExitCode(argv[2]);
  if (command == "port" && argc == 2) return Port();
  if (command == "share" && argc == 6) return Share(argv[2], argv[3], argv[4], argv[5]);
  if (command == "--version" && argc == 2) {
    std::printf("%s\n", ZRVD_VERSION);
    return 0;
  }
  const int upload = RunUploadCommand(command, argc, argv);
  if (upload >= 0) return upload;
  const int status = RunStatusCommand(command, argc, argv);
  if (status >= 0) return status;
  return Usage();
}
