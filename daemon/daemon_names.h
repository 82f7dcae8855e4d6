// Names other processes use to find the daemon and the launcher.
#pragma once

constexpr char kInstanceGuid[] = "0a7a21f0-c0a0-4213-9867-0a13648e96c4";
constexpr char kDaemonWindowClass[] = "ZRVD_DAEMON_WINDOW_CLASS";
constexpr char kDaemonWindowTitle[] = "9f931f60-26dc-49e0-ace9-c208dc36e9f2";
constexpr char kLauncherWindowTitle[] = "9c3e2d83-b1d0-464b-be50-bf1b511a2411";
constexpr char kIpcPortValue[] = "IPCPort";
