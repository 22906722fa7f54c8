// The layers of a simulated slave controller, in the order they see each register
// access. The order is part of the behaviour:
//   reads   the mailbox areas first (the firmware runs before anything is read, and an
//           empty read mailbox refuses the read before a fault can), then the no-answer
//           fault, then the EEPROM interface brings its registers up to date;
//   writes  the full write mailbox refuses first; once the bytes are in, the EEPROM
//           interface acts, then AL control, then the SyncManagers, and last the write
//           mailbox turns full (a request the firmware takes sees its SyncManagers as
//           the same write left them);
//   power-on  the EEPROM interface, then the application layer.
#include "sim/register_hooks.h"
#include "sim/segment.h"

namespace {

const SimRegisterHook* const kStandardLayers[] = {
    &kSimMailboxAreasHook,  &kSimEepromNoAnswerHook, &kSimEepromInterfaceHook,
    &kSimAlControlHook,     &kSimSyncManagerHook,    &kSimMailboxWriteAreaHook,
};

static_assert(sizeof(kStandardLayers) / sizeof(kStandardLayers[0]) <= kSimMaxRegisterHooks,
              "the standard layers fit the hook table");

}  // namespace

void SimSlaveInstallLayers(SimSlave* slave) {
    slave->hooks = SimRegisterHooks{};
    for (const SimRegisterHook* hook : kStandardLayers) SimHooksAdd(&slave->hooks, *hook);
}

void SimSegmentInstallLayers(SimSegment* segment) { segment->line_check = SimEepromComeBackAt; }
