#!/usr/bin/env python3
"""device_access.py - the same host program as device_access.c, in Python with ctypes.

Lists the slaves, reads and writes a CoE object and a device register, and reads the
AL status of one slave through libecdevice.so.

    device_access.py [SLAVE [INDEX:SUB=VALUE [REGISTER=VALUE]]]

The library is taken from $ECDEVICE_LIBRARY, else found by the system's loader.
"""
import ctypes
import ctypes.util
import os
import sys

STATES = {1: "INIT", 2: "PRE-OP", 3: "BOOT", 4: "SAFE-OP", 8: "OP"}


def load():
    path = os.environ.get("ECDEVICE_LIBRARY") or ctypes.util.find_library("ecdevice")
    if not path:
        sys.exit("libecdevice.so not found: set ECDEVICE_LIBRARY")
    lib = ctypes.CDLL(path)
    c_int, c_void_p = ctypes.c_int, ctypes.c_void_p
    lib.GetSlaveName.restype = ctypes.c_char_p
    lib.GetSlaveName.argtypes = [c_int]
    lib.SdoRead.argtypes = [c_int, c_int, c_int, c_int, ctypes.POINTER(c_int), c_void_p, c_int]
    lib.SdoWrite.argtypes = [c_int, c_int, c_int, c_int, c_int, c_void_p, c_int]
    lib.ReadRegister.argtypes = [c_int, c_int]
    lib.WriteRegister.argtypes = [c_int, c_int, c_int]
    lib.WriteRegister.restype = None
    lib.FPRead.argtypes = [c_int, c_int, c_int, c_void_p, c_int]
    return lib


def read_object(lib, slave, index, subindex):
    data = (ctypes.c_ubyte * 4)()
    size = ctypes.c_int(4)
    result = lib.SdoRead(slave, index, subindex, 0, ctypes.byref(size), data, 100000)
    if result <= 0:
        print("slave %d object 0x%04x:%02x: read failed (%d)" % (slave, index, subindex, result))
        return None
    return int.from_bytes(bytes(data[: size.value]), "little")


def main(argv):
    lib = load()
    count = lib.Init()
    print("slaves: %d" % count)
    for s in range(1, count + 1):
        print("slave %d: %s" % (s, lib.GetSlaveName(s).decode("latin-1")))
    if count == 0:
        return 1
    slave = int(argv[1], 0) if len(argv) > 1 else 1
    failures = 0

    vendor = read_object(lib, slave, 0x1018, 1)
    if vendor is None:
        failures += 1
    else:
        print("slave %d vendor id (0x1018:01): 0x%08x" % (slave, vendor))

    if len(argv) > 2:
        address, value = argv[2].split("=")
        index, subindex = (int(part, 0) for part in address.split(":"))
        value = int(value, 0) & 0xFFFFFFFF
        data = (ctypes.c_ubyte * 4)(*value.to_bytes(4, "little"))
        result = lib.SdoWrite(slave, index, subindex, 0, 4, data, 100000)
        back = read_object(lib, slave, index, subindex) if result > 0 else None
        if back is None:
            print("slave %d object 0x%04x:%02x: write failed (%d)" % (slave, index, subindex, result))
            failures += 1
        else:
            print("slave %d object 0x%04x:%02x written 0x%08x, read back 0x%08x" % (slave, index, subindex, value, back))
            failures += back != value

    if len(argv) > 3:
        reg, reg_value = (int(part, 0) for part in argv[3].split("="))
        lib.WriteRegister(slave, reg, reg_value)
        back = lib.ReadRegister(slave, reg)
        print("slave %d register 0x%x written %d, read back %d" % (slave, reg, reg_value, back))
        failures += back != reg_value

    status = (ctypes.c_ubyte * 2)()
    if lib.FPRead(slave, 0x0130, 2, status, 2000) > 0:
        word = status[0] | status[1] << 8
        print("slave %d AL status: 0x%04x (%s)" % (slave, word, STATES.get(status[0] & 0x0F, "unknown")))
    else:
        failures += 1
    lib.Deinit()
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
