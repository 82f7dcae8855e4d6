"""The shipped binaries load on the floor, Windows 7 SP1: no static import of a function
or DLL that it lacks (functions newer than it are looked up at run time where optional).

usage: check_imports.py OBJDUMP BIN_DIR"""

import re
import subprocess
import sys
from pathlib import Path

SHIPPED = ("zrvd_daemon.exe", "zrvdctl.exe", "kovashare.dll")

# DLLs that a plain Windows 7 SP1 does not have (the universal CRT came later as an update).
NEWER_DLLS = {"ucrtbase.dll", "vcruntime140.dll", "msvcp140.dll", "shcore.dll",
              "api-ms-win-core-synch-l1-2-0.dll", "d3d12.dll", "dxgi1_4.dll"}
NEWER_DLL_PREFIXES = ("api-ms-win-", "ext-ms-win-")

# Functions of the system DLLs newer than Windows 7 SP1 that a toolchain or our code may
# reach for. Windows 8 and later unless marked; the DLL directory calls came with an update.
NEWER_FUNCTIONS = {
    "kernel32.dll": {
        "GetSystemTimePreciseAsFileTime", "CreateFile2", "CopyFile2",
        "GetCurrentThreadStackLimits", "WaitOnAddress", "WakeByAddressSingle",
        "WakeByAddressAll", "GetOverlappedResultEx", "PrefetchVirtualMemory",
        "InitializeSynchronizationBarrier", "EnterSynchronizationBarrier",
        "DeleteSynchronizationBarrier", "SetThreadInformation", "GetThreadInformation",
        "GetProcessInformation", "SetProcessInformation", "GetProcessMitigationPolicy",
        "SetProcessMitigationPolicy", "CreateFileMappingFromApp", "MapViewOfFileFromApp",
        "LoadPackagedLibrary", "GetPackageFullName", "GetCurrentPackageId",
        "GetCurrentPackageFullName", "GetFirmwareType", "GetDynamicTimeZoneInformationEffectiveYears",
        "SetDefaultDllDirectories", "AddDllDirectory", "RemoveDllDirectory",
        # Windows 10 and later
        "SetThreadDescription", "GetThreadDescription", "VirtualAllocFromApp",
        "QueryUnbiasedInterruptTimePrecise", "QueryInterruptTimePrecise", "IsWow64Process2",
        "GetSystemCpuSetInformation", "GetTempPath2A", "GetTempPath2W",
        "GetOsManufacturingMode", "VirtualAlloc2", "MapViewOfFile3",
    },
    "ws2_32.dll": {"GetAddrInfoExCancel", "GetAddrInfoExOverlappedResult"},
    "iphlpapi.dll": {"NotifyNetworkConnectivityHintChange", "GetNetworkConnectivityHint",
                     "GetIpNetworkConnectionBandwidthEstimates"},
    "user32.dll": {"GetDpiForWindow", "GetDpiForSystem", "SetThreadDpiAwarenessContext",
                   "SetProcessDpiAwarenessContext", "EnableNonClientDpiScaling",
                   "AdjustWindowRectExForDpi", "GetSystemMetricsForDpi", "GetPointerInfo",
                   "EnableMouseInPointer"},
}


def imports(objdump, binary):
    """{dll (lower case): [function, ...]} from the import tables."""
    out = subprocess.run([objdump, "-p", str(binary)], capture_output=True, text=True,
                         check=True).stdout
    found, dll = {}, None
    for line in out.splitlines():
        named = re.match(r"\s*DLL Name: (\S+)", line)
        if named:
            dll = named.group(1).lower()
            found.setdefault(dll, [])
            continue
        entry = re.match(r"\s*[0-9a-f]+\s+\d+\s+(\S+)$", line)
        if dll and entry:
            found[dll].append(entry.group(1))
    return found


def faults(table):
    wrong = []
    for dll, functions in table.items():
        if dll in NEWER_DLLS or dll.startswith(NEWER_DLL_PREFIXES):
            wrong.append("%s (the DLL)" % dll)
        for function in functions:
            if function in NEWER_FUNCTIONS.get(dll, ()):
                wrong.append("%s!%s" % (dll, function))
    return wrong


def main():
    objdump, bin_dir = sys.argv[1], Path(sys.argv[2])
    status = 0
    for name in SHIPPED:
        table = imports(objdump, bin_dir / name)
        if not table.get("kernel32.dll"):
            print("%s: no import table read" % name)
            status = 1
        for fault in faults(table):
            print("%s imports %s, which Windows 7 SP1 lacks" % (name, fault))
            status = 1
    if status == 0:
        print("imports: every shipped binary loads on Windows 7 SP1")
    return status


if __name__ == "__main__":
    sys.exit(main())
