// CoE SDO transfers: expedited, normal and segmented, with complete access.
#pragma once
#include <cstdint>

int SdoUpload(uint16_t slave, uint16_t index, uint8_t subindex, uint8_t complete_access, int32_t* size, void* data,
              int32_t timeout_us);
int SdoDownload(uint16_t slave, uint16_t index, uint8_t subindex, uint8_t complete_access, int32_t size,
                const void* data, int32_t timeout_us);
