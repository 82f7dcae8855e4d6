// Windows Firewall authorization of the daemon's own executable during start-up.
#pragma once

// True when the entry was added; prints a warning on standard output when the
// firewall would still block the program.
bool AuthorizeInFirewall(const wchar_t* path, const wchar_t* rule_name);

// True when the entry was removed.
bool RemoveFromFirewall(const wchar_t* path);
