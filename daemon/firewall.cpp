#include "daemon/firewall.h"

// Not built yet: the daemon runs without a firewall entry until the COM side lands.
bool AuthorizeInFirewall(const wchar_t* /*path*/, const wchar_t* /*rule_name*/) { return false; }

bool RemoveFromFirewall(const wchar_t* /*path*/) { return false; }
