// PENDING: CoE SDO transfers are being written.
#include "slave/coe.h"
int SdoUpload(uint16_t, uint16_t, uint8_t, uint8_t, int32_t*, void*, int32_t) { return 0; }
int SdoDownload(uint16_t, uint16_t, uint8_t, uint8_t, int32_t, const void*, int32_t) { return 0; }
