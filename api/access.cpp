// Register and object access for host programs: the device register window behind
// objects 0x7012 and 0x7013, plain SDO reads and writes, and ESC register access by
// configured station address.
//
// Every function checks the slave number first (EC_BAD_SLAVE), then its pointers,
// sizes and timeout (EC_BAD_ARGUMENT); a refused call sends nothing.
#include <cstring>

#include "api/connection.h"
#include "ecdevice.h"
#include "link/datagram.h"
#include "slave/coe.h"
#include "slave/context.h"
#include "wire/byte_order.h"

#define EC_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr uint16_t kObjectRegisterCommand = 0x7012;
constexpr uint16_t kObjectRegisterData = 0x7013;
constexpr uint32_t kRegisterWriteBit = 0x01;
constexpr int32_t kRegisterDownloadTimeout = 20000;
constexpr int32_t kRegisterUploadTimeout = 700000;
constexpr int kRegisterUploadAttempts = 20;

uint16_t StationAddress(int slave) { return static_cast<uint16_t>(0x1000 + slave); }

// The register number fills bits 8 to 31 of the command word: only its low 24 bits count.
uint32_t RegisterCommand(int reg, bool write) {
    return (static_cast<uint32_t>(reg) << 8) | (write ? kRegisterWriteBit : 0);
}

void LittleEndian32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; i++) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

EC_EXPORT int ReadRegister(int slave, int reg) {
    std::shared_lock<std::shared_mutex> beside_others(MasterCallLock());
    if (!SlaveNumberValid(&g_master, slave)) return EC_BAD_SLAVE;
    // Before Init or after Deinit nothing can answer: do not wait 20 uploads for it.
    if (!PortIsOpen(&g_master.port)) return 0;
    const uint16_t number = static_cast<uint16_t>(slave);
    // Command and value live on this call's stack, so two register accesses to
    // different slaves cannot overwrite each other's words.
    uint8_t command[4];
    LittleEndian32(command, RegisterCommand(reg, false));
    // Without the command the data word still holds the register of an earlier access:
    // reading it would return that register's value as this one's.
    if (SdoDownload(&g_master, number, kObjectRegisterCommand, 0, 0, 4, command, kRegisterDownloadTimeout) <= 0)
        return 0;
    uint8_t value[4] = {0, 0, 0, 0};
    for (int attempt = 0; attempt < kRegisterUploadAttempts; attempt++) {
        int32_t size = 4;
        if (SdoUpload(&g_master, number, kObjectRegisterData, 0, 0, &size, value, kRegisterUploadTimeout) != 0) break;
    }
    uint32_t result = WireLoad32(value);
    return static_cast<int>(result);
}

EC_EXPORT void WriteRegister(int slave, int reg, int value) {
    std::shared_lock<std::shared_mutex> beside_others(MasterCallLock());
    if (!SlaveNumberValid(&g_master, slave)) return;
    if (!PortIsOpen(&g_master.port)) return;
    const uint16_t number = static_cast<uint16_t>(slave);
    uint8_t data[4];
    LittleEndian32(data, static_cast<uint32_t>(value));
    // A write command after a failed data download would store whatever the data word
    // held before (the value of the last register read) into this register.
    if (SdoDownload(&g_master, number, kObjectRegisterData, 0, 0, 4, data, kRegisterDownloadTimeout) <= 0) return;
    uint8_t command[4];
    LittleEndian32(command, RegisterCommand(reg, true));
    SdoDownload(&g_master, number, kObjectRegisterCommand, 0, 0, 4, command, kRegisterDownloadTimeout);
}

EC_EXPORT int SdoRead(int slave, int index, int subindex, int complete_access, int* size, void* data, int timeout) {
    std::shared_lock<std::shared_mutex> beside_others(MasterCallLock());
    if (!SlaveNumberValid(&g_master, slave)) return EC_BAD_SLAVE;
    if (size == nullptr || data == nullptr || *size < 0 || timeout < 0) return EC_BAD_ARGUMENT;
    if (!PortIsOpen(&g_master.port)) return EC_NO_FRAME;
    int32_t capacity = *size;
    int result = SdoUpload(&g_master, static_cast<uint16_t>(slave), static_cast<uint16_t>(index),
                           static_cast<uint8_t>(subindex), complete_access != 0 ? 1 : 0, &capacity, data, timeout);
    *size = capacity;
    return result;
}

EC_EXPORT int SdoWrite(int slave, int index, int subindex, int complete_access, int size, void* data, int timeout) {
    std::shared_lock<std::shared_mutex> beside_others(MasterCallLock());
    if (!SlaveNumberValid(&g_master, slave)) return EC_BAD_SLAVE;
    if (data == nullptr || size < 1 || size > kSdoMaximumDownload || timeout < 0) return EC_BAD_ARGUMENT;
    if (!PortIsOpen(&g_master.port)) return EC_NO_FRAME;
    return SdoDownload(&g_master, static_cast<uint16_t>(slave), static_cast<uint16_t>(index),
                       static_cast<uint8_t>(subindex), complete_access != 0 ? 1 : 0, size, data, timeout);
}

EC_EXPORT int FPRead(int slave, int reg, int length, void* data, int timeout) {
    std::shared_lock<std::shared_mutex> beside_others(MasterCallLock());
    if (!SlaveNumberValid(&g_master, slave)) return EC_BAD_SLAVE;
    if (length < 0 || length > EC_MAX_DATAGRAM_DATA || (data == nullptr && length > 0) || timeout < 0)
        return EC_BAD_ARGUMENT;
    return FPRD(&g_master.port, StationAddress(slave), static_cast<uint16_t>(reg), static_cast<uint16_t>(length),
                data, timeout);
}

EC_EXPORT int FPWrite(int slave, int reg, int length, void* data, int timeout) {
    std::shared_lock<std::shared_mutex> beside_others(MasterCallLock());
    if (!SlaveNumberValid(&g_master, slave)) return EC_BAD_SLAVE;
    if (length < 0 || length > EC_MAX_DATAGRAM_DATA || (data == nullptr && length > 0) || timeout < 0)
        return EC_BAD_ARGUMENT;
    return FPWR(&g_master.port, StationAddress(slave), static_cast<uint16_t>(reg), static_cast<uint16_t>(length),
                data, timeout);
}
