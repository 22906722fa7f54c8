// The register hook table of a simulated slave: what the segment walks around every
// register access, and the only way the EEPROM, AL and mailbox layers are reached.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/register_hooks.h"
#include "sim/segment.h"
#include "wire/byte_order.h"
#include "wire/esc_registers.h"

namespace {

std::vector<std::string> g_calls;
uint16_t g_refused_register = 0xFFFF;

bool RecordBeforeRead(SimSlave*, uint16_t address, uint16_t) {
    g_calls.push_back("first before_read");
    return address != g_refused_register;
}
void RecordAfterRead(SimSlave*, uint16_t, uint16_t) { g_calls.push_back("first after_read"); }
bool RecordBeforeWrite(SimSlave*, uint16_t address, uint16_t) {
    g_calls.push_back("first before_write");
    return address != g_refused_register;
}
void RecordAfterWrite(SimSlave*, uint16_t, uint16_t) { g_calls.push_back("first after_write"); }
bool SecondBeforeRead(SimSlave*, uint16_t, uint16_t) {
    g_calls.push_back("second before_read");
    return true;
}
void SecondAfterWrite(SimSlave*, uint16_t, uint16_t) { g_calls.push_back("second after_write"); }
void RecordPowerOn(SimSlave*) { g_calls.push_back("power_on"); }

class SimRegisterHooksTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_calls.clear();
        g_refused_register = 0xFFFF;
        segment_ = SimSegmentCreate(2);
    }
    void TearDown() override { SimSegmentDestroy(segment_); }
    SimSlave* Slave(int position) { return segment_->slaves[static_cast<size_t>(position - 1)]; }
    SimSegment* segment_ = nullptr;
};

}  // namespace

TEST_F(SimRegisterHooksTest, HooksRunInTableOrderAndTheFirstRefusalEndsTheAccess) {
    SimSlave* slave = Slave(2);
    slave->hooks = SimRegisterHooks{};
    ASSERT_TRUE(SimHooksAdd(&slave->hooks, SimRegisterHook{"first", 0x1000, 0x1100, RecordBeforeRead, RecordAfterRead,
                                                           RecordBeforeWrite, RecordAfterWrite, RecordPowerOn}));
    ASSERT_TRUE(SimHooksAdd(&slave->hooks, SimRegisterHook{"second", 0x1080, 0x1100, SecondBeforeRead, nullptr, nullptr,
                                                           SecondAfterWrite, nullptr}));
    const uint8_t value[2] = {0x34, 0x12};
    uint8_t out[2] = {0, 0};

    // Only the hooks whose range the access touches are called, in table order.
    ASSERT_TRUE(SimSlaveWrite(slave, 0x1010, 2, value));
    EXPECT_EQ(g_calls, (std::vector<std::string>{"first before_write", "first after_write"}));
    g_calls.clear();
    ASSERT_TRUE(SimSlaveRead(slave, 0x107F, 2, out));  // ends inside the second range
    EXPECT_EQ(g_calls, (std::vector<std::string>{"first before_read", "second before_read", "first after_read"}));
    g_calls.clear();
    ASSERT_TRUE(SimSlaveRead(slave, 0x2000, 2, out));  // no hook's range
    EXPECT_TRUE(g_calls.empty());

    // A refusal: no bytes move, no later hook and no after-hook runs.
    g_refused_register = 0x1090;
    out[0] = out[1] = 0xEE;
    slave->memory[0x1090] = 0x55;
    EXPECT_FALSE(SimSlaveRead(slave, 0x1090, 2, out));
    EXPECT_EQ(g_calls, (std::vector<std::string>{"first before_read"}));
    EXPECT_EQ(out[0], 0xEE);
    g_calls.clear();
    EXPECT_FALSE(SimSlaveWrite(slave, 0x1090, 2, value));
    EXPECT_EQ(g_calls, (std::vector<std::string>{"first before_write"}));
    EXPECT_EQ(slave->memory[0x1090], 0x55);

    g_calls.clear();
    SimSlavePowerOn(slave);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"power_on"}));
}

TEST_F(SimRegisterHooksTest, RangesWrapAtTheEndOfTheRegisterSpace) {
    const SimRegisterHook low{"low", 0x0000, 0x0002, nullptr, nullptr, nullptr, nullptr, nullptr};
    const SimRegisterHook interface{"eeprom", 0x0500, 0x0510, nullptr, nullptr, nullptr, nullptr, nullptr};
    const SimRegisterHook every{"every", 0x0000, 0x10000, nullptr, nullptr, nullptr, nullptr, nullptr};
    EXPECT_TRUE(SimHookCovers(low, 0xFFFE, 3)) << "the third byte wraps to register 0";
    EXPECT_FALSE(SimHookCovers(low, 0xFFFE, 2));
    EXPECT_TRUE(SimHookCovers(interface, 0x04FF, 2));
    EXPECT_TRUE(SimHookCovers(interface, 0x050F, 1));
    EXPECT_FALSE(SimHookCovers(interface, 0x0510, 4));
    EXPECT_FALSE(SimHookCovers(interface, 0x04FC, 4));
    EXPECT_TRUE(SimHookCovers(interface, 0x0501, 0)) << "an empty access inside the range";
    EXPECT_FALSE(SimHookCovers(interface, 0x0500, 0));
    EXPECT_TRUE(SimHookCovers(every, 0x0000, 0));
    EXPECT_TRUE(SimHookCovers(every, 0xFFFF, 1));

    SimRegisterHooks table{};
    EXPECT_FALSE(SimHooksAdd(&table, SimRegisterHook{"empty", 0x0010, 0x0010, nullptr, nullptr, nullptr, nullptr,
                                                     nullptr}));
    EXPECT_FALSE(SimHooksAdd(&table, SimRegisterHook{"beyond", 0x0010, 0x10001, nullptr, nullptr, nullptr, nullptr,
                                                     nullptr}));
    for (int n = 0; n < kSimMaxRegisterHooks; n++) EXPECT_TRUE(SimHooksAdd(&table, low));
    EXPECT_FALSE(SimHooksAdd(&table, low)) << "a full table takes no more";
    EXPECT_EQ(table.count, kSimMaxRegisterHooks);
}

// The segment reaches the EEPROM interface and the AL state machine only through the
// table: without it a slave controller is bare memory.
TEST_F(SimRegisterHooksTest, LayersAreReachedOnlyThroughTheTable) {
    Slave(2)->hooks = SimRegisterHooks{};
    for (int position = 1; position <= 2; position++) {
        SimSlave* slave = Slave(position);
        const bool layered = position == 1;
        const uint8_t safe_op[2] = {kAlStateSafeOp, 0};  // not allowed from INIT
        ASSERT_TRUE(SimSlaveWrite(slave, kRegAlControl, 2, safe_op));
        uint8_t status[6];
        ASSERT_TRUE(SimSlaveRead(slave, kRegAlStatus, 6, status));
        EXPECT_EQ(WireLoad16(status), layered ? kAlStateInit | kAlErrorBit : kAlStateInit) << "slave " << position;
        EXPECT_EQ(WireLoad16(status + 4), layered ? 0x0011 : 0) << "slave " << position;

        const uint8_t read_command[2] = {0x00, 0x01};  // read word 0
        ASSERT_TRUE(SimSlaveWrite(slave, kRegEepromControl, 2, read_command));
        ASSERT_TRUE(SimSlaveRead(slave, kRegEepromControl, 2, status));
        EXPECT_EQ((WireLoad16(status) & kEepromStatusBusy) != 0, layered) << "slave " << position;
    }
    EXPECT_EQ(Slave(1)->eeprom.counters.reads, 1u);
    EXPECT_EQ(Slave(2)->eeprom.counters.reads, 0u);
}
