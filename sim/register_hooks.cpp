#include "sim/register_hooks.h"

bool SimHooksAdd(SimRegisterHooks* hooks, const SimRegisterHook& hook) {
    if (hooks->count >= kSimMaxRegisterHooks || hook.end <= hook.first || hook.end > 0x10000) return false;
    hooks->entries[hooks->count++] = hook;
    return true;
}

bool SimHookCovers(const SimRegisterHook& hook, uint16_t address, uint16_t length) {
    if (hook.first == 0 && hook.end == 0x10000) return true;  // every access, empty ones included
    // The same test the layers made before the table existed: an empty access counts
    // when it lies strictly inside the range.
    const uint32_t start = address;
    const uint32_t end = start + length;
    if (start < hook.end && end > hook.first) return true;
    // The part of the access that wrapped around to register 0.
    return end > 0x10000 && end - 0x10000 > hook.first;
}
