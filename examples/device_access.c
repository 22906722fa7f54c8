/*
 * device_access - a host program that uses libecdevice.so: lists the slaves, reads and
 * writes a CoE object and a device register, and reads the AL status of one slave.
 *
 *   device_access [SLAVE [INDEX:SUB=VALUE [REGISTER=VALUE]]]
 *
 * SLAVE defaults to 1. Without INDEX:SUB=VALUE nothing is written: only the identity
 * object 0x1018:01 (vendor id) is read. Numbers take C notation, e.g. 0x3000:0=0x1234.
 * Build: cc device_access.c $(pkg-config --cflags --libs ecdevice)
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ecdevice.h"

static const char* StateName(int state) {
    switch (state & 0x0F) {
        case 1: return "INIT";
        case 2: return "PRE-OP";
        case 3: return "BOOT";
        case 4: return "SAFE-OP";
        case 8: return "OP";
        default: return "unknown";
    }
}

/* Little-endian bytes to and from the 32-bit values the objects hold. */
static unsigned long FromBytes(const unsigned char* b, int size) {
    unsigned long v = 0;
    for (int i = size - 1; i >= 0; i--) v = (v << 8) | b[i];
    return v;
}

static int ReadObject(int slave, int index, int subindex, unsigned long* value) {
    unsigned char data[4] = {0, 0, 0, 0};
    int size = (int)sizeof(data);
    int result = SdoRead(slave, index, subindex, 0, &size, data, 100000);
    if (result <= 0) {
        printf("slave %d object 0x%04x:%02x: read failed (%d)\n", slave, index, subindex, result);
        return 0;
    }
    *value = FromBytes(data, size);
    return 1;
}

int main(int argc, char** argv) {
    int count = Init();
    printf("slaves: %d\n", count);
    for (int s = 1; s <= count; s++) printf("slave %d: %s\n", s, GetSlaveName(s));
    if (count == 0) return 1;
    int slave = argc > 1 ? atoi(argv[1]) : 1;
    int failures = 0;

    unsigned long vendor = 0;
    if (ReadObject(slave, 0x1018, 1, &vendor))
        printf("slave %d vendor id (0x1018:01): 0x%08lx\n", slave, vendor);
    else
        failures++;

    unsigned int index = 0, subindex = 0;
    unsigned long value = 0;
    if (argc > 2 && sscanf(argv[2], "%i:%i=%li", (int*)&index, (int*)&subindex, (long*)&value) == 3) {
        unsigned char data[4];
        for (int i = 0; i < 4; i++) data[i] = (unsigned char)(value >> (8 * i));
        int result = SdoWrite(slave, (int)index, (int)subindex, 0, 4, data, 100000);
        unsigned long back = 0;
        if (result > 0 && ReadObject(slave, (int)index, (int)subindex, &back)) {
            printf("slave %d object 0x%04x:%02x written 0x%08lx, read back 0x%08lx\n", slave, index, subindex,
                   value & 0xFFFFFFFFUL, back);
            failures += back != (value & 0xFFFFFFFFUL);
        } else {
            printf("slave %d object 0x%04x:%02x: write failed (%d)\n", slave, index, subindex, result);
            failures++;
        }
    }

    int reg = 0, reg_value = 0;
    if (argc > 3 && sscanf(argv[3], "%i=%i", &reg, &reg_value) == 2) {
        WriteRegister(slave, reg, reg_value);
        int back = ReadRegister(slave, reg);
        printf("slave %d register 0x%x written %d, read back %d\n", slave, reg, reg_value, back);
        failures += back != reg_value;
    }

    unsigned char status[2] = {0, 0};
    int result = FPRead(slave, 0x0130, 2, status, 2000);
    if (result > 0)
        printf("slave %d AL status: 0x%04x (%s)\n", slave, status[0] | (status[1] << 8), StateName(status[0]));
    else
        failures++;
    Deinit();
    return failures == 0 ? 0 : 1;
}
