// libecalias: English meanings of the AL status codes a slave reports in register 0x0134
// when it refuses or leaves a state.
#include "api/ec/ecalias_internal.h"

namespace {

struct StatusText {
    uint16_t code;
    const char* text;
};

// The codes of the slave controller's AL status code register, as the protocol defines
// them; vendor-specific codes (0x8000 and above) have no general meaning.
constexpr StatusText kStatusTexts[] = {
    {0x0000, "no error"},
    {0x0001, "unspecified error"},
    {0x0002, "no memory"},
    {0x0003, "invalid device setup"},
    {0x0011, "invalid requested state change"},
    {0x0012, "unknown requested state"},
    {0x0013, "bootstrap not supported"},
    {0x0014, "no valid firmware"},
    {0x0015, "invalid mailbox configuration (bootstrap)"},
    {0x0016, "invalid mailbox configuration"},
    {0x0017, "invalid sync manager configuration"},
    {0x0018, "no valid inputs available"},
    {0x0019, "no valid outputs"},
    {0x001A, "synchronization error"},
    {0x001B, "sync manager watchdog"},
    {0x001C, "invalid sync manager types"},
    {0x001D, "invalid output configuration"},
    {0x001E, "invalid input configuration"},
    {0x001F, "invalid watchdog configuration"},
    {0x0020, "slave needs cold start"},
    {0x0021, "slave needs INIT"},
    {0x0022, "slave needs PREOP"},
    {0x0023, "slave needs SAFEOP"},
    {0x0024, "invalid input mapping"},
    {0x0025, "invalid output mapping"},
    {0x0026, "inconsistent settings"},
    {0x0027, "free run not supported"},
    {0x0028, "synchronization not supported"},
    {0x0029, "free run needs three-buffer mode"},
    {0x002A, "background watchdog"},
    {0x002B, "no valid inputs and outputs"},
    {0x002C, "fatal sync error"},
    {0x002D, "no sync error"},
    {0x0030, "invalid DC SYNC configuration"},
    {0x0031, "invalid DC latch configuration"},
    {0x0032, "PLL error"},
    {0x0033, "DC sync IO error"},
    {0x0034, "DC sync timeout error"},
    {0x0035, "DC invalid sync cycle time"},
    {0x0036, "DC SYNC0 cycle time"},
    {0x0037, "DC SYNC1 cycle time"},
    {0x0041, "mailbox AoE error"},
    {0x0042, "mailbox EoE error"},
    {0x0043, "mailbox CoE error"},
    {0x0044, "mailbox FoE error"},
    {0x0045, "mailbox SoE error"},
    {0x004F, "mailbox VoE error"},
    {0x0050, "EEPROM not accessible"},
    {0x0051, "EEPROM error"},
    {0x0052, "external hardware not ready"},
    {0x0060, "slave restarted locally"},
    {0x0061, "device identification value updated"},
    {0x0070, "detected module ident list does not match"},
    {0x0080, "supply voltage too low"},
    {0x0081, "supply voltage too high"},
    {0x0082, "temperature too low"},
    {0x0083, "temperature too high"},
    {0x00F0, "application controller available"},
};

}  // namespace

EC_EXPORT const char* ec_al_status_text(uint16_t code) {
    for (const StatusText& entry : kStatusTexts)
        if (entry.code == code) return entry.text;
    return code >= 0x8000 ? "vendor-specific status code" : "unknown status code";
}
