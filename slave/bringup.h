// Network bring-up: count the slaves, reset them, address them, read their SII.
#pragma once
#include <cstdint>

enum : uint16_t {
    kAlStateInit = 1,
    kAlStatePreOp = 2,
    kAlStateBoot = 3,
    kAlStateSafeOp = 4,
    kAlStateOp = 8,
};

int DetectSlaves();
void SetSlavesToDefault();
uint16_t StateCheck(uint16_t slave, uint16_t requested_state, int32_t timeout_us);
int ConfigureNetwork();
