// PENDING: register and object access is being written.
#include "ecdevice.h"
#define EC_EXPORT extern "C" __attribute__((visibility("default")))
EC_EXPORT int ReadRegister(int, int) { return -1; }
EC_EXPORT void WriteRegister(int, int, int) {}
EC_EXPORT int SdoRead(int, int, int, int, int*, void*, int) { return -1; }
EC_EXPORT int SdoWrite(int, int, int, int, int, void*, int) { return -1; }
EC_EXPORT int FPRead(int, int, int, void*, int) { return -1; }
EC_EXPORT int FPWrite(int, int, int, void*, int) { return -1; }
