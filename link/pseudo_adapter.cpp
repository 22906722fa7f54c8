#include "link/pseudo_adapter.h"

#include <cstring>

bool PseudoAdapter(const char* name) {
    if (name == nullptr) return true;
    static const char* const kExact[] = {"any", "lo", "nflog", "nfqueue", "bluetooth-monitor"};
    for (const char* exact : kExact)
        if (strcmp(name, exact) == 0) return true;
    static const char* const kPrefixes[] = {"dbus-", "usbmon", "bluetooth"};
    for (const char* prefix : kPrefixes)
        if (strncmp(name, prefix, strlen(prefix)) == 0) return true;
    return false;
}
