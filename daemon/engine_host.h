// Configures and starts the sharing engine, and publishes its IPC port.
#pragma once

// Always true; the caller ignores it.
bool StartSharingEngine();
