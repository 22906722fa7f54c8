// libecalias: SII EEPROM, station alias, SDO, registers, register window, AL state.
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "api/ec/ecalias_internal.h"
#include "link/clock.h"
#include "link/datagram.h"
#include "slave/alias_write.h"
#include "slave/bringup.h"
#include "slave/coe.h"
#include "slave/eeprom.h"
#include "slave/mailbox.h"
#include "wire/byte_order.h"
#include "wire/esc_registers.h"
#include "wire/sii_crc.h"
#include "wire/sii_layout.h"

namespace {

constexpr int kWordReadTries = 5;
constexpr int kWordWriteTries = 10;
constexpr uint32_t kReadRetryGapUs = 25000;
constexpr int32_t kRegisterTimeoutUs = 20000;
constexpr uint16_t kObjectRegisterCommand = 0x7012;
constexpr uint16_t kObjectRegisterData = 0x7013;
constexpr int32_t kWindowDownloadTimeout = 20000;
constexpr int32_t kWindowUploadTimeout = 700000;
constexpr int kWindowUploadAttempts = 20;

uint16_t Station(ec_master* m, int position) { return m->context->slave_table[position].config_address; }

// One started-and-finished read of words n and n+1, tried up to kWordReadTries times.
bool ReadPair(MasterContext* context, uint16_t slave, uint16_t word, uint16_t* low, uint16_t* high) {
    for (int tries = 0; tries < kWordReadTries; tries++) {
        if (tries > 0) WaitMicrosecondsOf(context->port.clock, kReadRetryGapUs);
        EepromReadStart(context, slave, word);
        const uint32_t data = EepromReadFinish(context, slave);
        if (!EepromLastFinishFailed(context, slave)) {
            *low = static_cast<uint16_t>(data);
            *high = static_cast<uint16_t>(data >> 16);
            return true;
        }
    }
    return false;
}

// Why a write gave up, from one look at the EEPROM interface.
int WriteFailure(ec_master* m, int position) {
    uint16_t status = 0;
    if (EepromWaitNotBusy(m->context.get(), Station(m, position), &status))
        return (status & kEepromStatusCommandErrors) != 0 ? EC_EEEPROM_NACK : EC_ETIMEOUT;
    return (status & kEepromStatusBusy) != 0 ? EC_EEEPROM_BUSY : EC_ENOFRAME;
}

// Writes one word, repeated until acknowledged or kWordWriteTries commands were sent.
bool WriteWord(ec_master* m, int position, uint16_t word, uint16_t value, int* attempts) {
    MasterContext* context = m->context.get();
    for (int tries = 0; tries < kWordWriteTries; tries++) {
        EepromToMaster(context, static_cast<uint16_t>(position));
        (*attempts)++;
        if (EepromWriteWord(context, Station(m, position), word, value) == 1) return true;
    }
    return false;
}

// Hands the EEPROM back to the PDI when it was there before the access.
void RestorePdi(ec_master* m, int position, bool was_at_pdi) {
    if (was_at_pdi) EepromToPdi(m->context.get(), static_cast<uint16_t>(position));
}

bool AtPdi(ec_master* m, int position) { return m->context->slave_table[position].eeprom_at_pdi != 0; }

int CheckSiiRange(ec_master* m, int position, uint32_t first, uint32_t count, const void* words, const char* step) {
    if (EcCheckSlave(m, position, step) != EC_OK) return EC_ENOSLAVE;
    if (words == nullptr || count == 0 || count > EC_SII_MAX_WORDS || first >= EC_SII_MAX_WORDS)
        return EcFail(m, EC_EINVAL, position, step);
    const uint32_t limit = EcSiiWordLimit(m, position);
    if (limit == 0) return EcFail(m, EC_EEEPROM_READ, position, "read the EEPROM size (SII word 0x3E)");
    if (first + count > limit) return EcFail(m, EC_EINVAL, position, step);
    return EC_OK;
}


// The error list entries pushed for `position` since push position `since`: the last
// one, or false.
bool LastErrorFor(MasterContext* context, int position, int16_t since, ErrorEntry* found) {
    std::lock_guard<std::mutex> hold(context->error_lock);
    const ErrorList& list = context->error_list;
    bool any = false;
    for (int16_t n = since; n != list.push_position; n = static_cast<int16_t>((n + 1) % kErrorListSlots)) {
        if (n < 0 || n >= kErrorListSlots) break;
        if (list.entries[n].slave == position) {
            *found = list.entries[n];
            any = true;
        }
    }
    return any;
}

int16_t ErrorMark(MasterContext* context) {
    std::lock_guard<std::mutex> hold(context->error_lock);
    const int16_t p = context->error_list.push_position;
    return p >= 0 && p < kErrorListSlots ? p : 0;
}

// The status of a failed SDO transfer, recorded with its detail.
int SdoFailure(ec_master* m, int position, int result, int16_t mark, const char* step) {
    if (result < 0) return EcFail(m, EcDatagramStatus(result), position, step);
    ErrorEntry entry{};
    if (LastErrorFor(m->context.get(), position, mark, &entry)) {
        if (entry.error_type == SDO_ABORT) return EcFailAbort(m, position, step, static_cast<uint32_t>(entry.abort_code));
        if (entry.error_type == PACKET_ERROR && entry.error_code == kPacketErrorDoesNotFit)
            return EcFail(m, EC_ETOOBIG, position, step);
        return EcFail(m, EC_EMAILBOX, position, step);
    }
    return EcFail(m, EC_ETIMEOUT, position, step);
}

int CheckMailbox(ec_master* m, int position, const char* step) {
    const SlaveRecord& record = m->context->slave_table[position];
    if (record.mbx_length < kSdoMinimumMailbox) return EcFail(m, EC_ENOTSUP, position, step);
    return EC_OK;
}

}  // namespace

// ---- SII ----

void EcSiiCacheInvalidate(ec_master* m, int position) {
    std::lock_guard<std::mutex> hold(m->cache_lock);
    SiiCache& cache = m->context->sii_cache;
    if (cache.cached_slave == position || position == 0) memset(cache.fill_map, 0, sizeof cache.fill_map);
}

int EcSiiReadWords(ec_master* m, int position, uint32_t first, uint32_t count, uint16_t* words, unsigned*) {
    MasterContext* context = m->context.get();
    const uint16_t slave = static_cast<uint16_t>(position);
    const bool was_at_pdi = AtPdi(m, position);
    int status = EC_OK;
    for (uint32_t n = 0; n < count; n += 2) {
        uint16_t low = 0, high = 0;
        if (!ReadPair(context, slave, static_cast<uint16_t>(first + n), &low, &high)) {
            status = EC_EEEPROM_READ;
            break;
        }
        words[n] = low;
        if (n + 1 < count) words[n + 1] = high;
    }
    RestorePdi(m, position, was_at_pdi);
    return status;
}

uint32_t EcSiiWordLimit(ec_master* m, int position) {
    ec_slave_info& info = m->info[position];
    if ((info.parts_read & EC_PART_SII_SIZE) != 0 && info.sii_words != 0) return info.sii_words;
    uint16_t size = 0;
    if (EcSiiReadWords(m, position, kSiiWordSize, 1, &size, nullptr) != EC_OK) return 0;
    uint32_t words = (static_cast<uint32_t>(size) + 1) * 64;
    return words > EC_SII_MAX_WORDS ? static_cast<uint32_t>(EC_SII_MAX_WORDS) : words;
}

EC_EXPORT int ec_sii_read(ec_master* m, int position, uint32_t first_word, uint32_t count, uint16_t* words) {
    EcCall call(m, false);
    if (call.status() != EC_OK) return call.status();
    const int range = CheckSiiRange(m, position, first_word, count, words, "read SII words");
    if (range != EC_OK) return range;
    if (EcSiiReadWords(m, position, first_word, count, words, nullptr) != EC_OK)
        return EcFail(m, EC_EEEPROM_READ, position, "read SII words");
    return EC_OK;
}

EC_EXPORT int ec_sii_write(ec_master* m, int position, uint32_t first_word, uint32_t count, const uint16_t* words,
                           unsigned flags, ec_sii_report* report) {
    EcCall call(m, false);
    if (call.status() != EC_OK) return call.status();
    ec_sii_report local{};
    local.first_mismatch = -1;
    if (report != nullptr) *report = local;
    const int range = CheckSiiRange(m, position, first_word, count, words, "write SII words");
    if (range != EC_OK) return range;
    // A range over the header must leave it with a checksum that matches.
    if (first_word < EC_SII_HEADER_WORDS && (flags & EC_FORCE) == 0) {
        uint16_t header[EC_SII_HEADER_WORDS];
        if (EcSiiReadWords(m, position, 0, EC_SII_HEADER_WORDS, header, nullptr) != EC_OK)
            return EcFail(m, EC_EEEPROM_READ, position, "read SII words 0-7");
        for (uint32_t n = 0; n < count && first_word + n < EC_SII_HEADER_WORDS; n++) header[first_word + n] = words[n];
        if ((header[kSiiWordChecksum] & 0xFF) != SiiHeaderCrc(header))
            return EcFail(m, EC_ECHECKSUM, position, "check the header checksum the write would leave");
    }
    const bool was_at_pdi = AtPdi(m, position);
    int attempts = 0;
    int status = EC_OK;
    for (uint32_t n = 0; n < count; n++) {
        if (!WriteWord(m, position, static_cast<uint16_t>(first_word + n), words[n], &attempts)) {
            status = EcFail(m, WriteFailure(m, position), position, "write SII word");
            break;
        }
        local.words_written++;
    }
    local.attempts = static_cast<unsigned>(attempts);
    EcSiiCacheInvalidate(m, position);
    if (status == EC_OK) {
        // Read back in pieces on the stack: no allocation.
        uint16_t back[64];
        local.verified = 1;
        for (uint32_t done = 0; done < count && status == EC_OK;) {
            const uint32_t piece = count - done < 64 ? count - done : 64;
            if (EcSiiReadWords(m, position, first_word + done, piece, back, nullptr) != EC_OK) {
                local.verified = 0;
                status = EcFail(m, EC_EVERIFY, position, "read back SII words");
                break;
            }
            for (uint32_t n = 0; n < piece; n++)
                if (back[n] != words[done + n]) {
                    local.verified = 0;
                    local.first_mismatch = static_cast<int>(first_word + done + n);
                    status = EcFail(m, EC_EVERIFY, position, "read back SII words");
                    break;
                }
            done += piece;
        }
    }
    RestorePdi(m, position, was_at_pdi);
    if (report != nullptr) *report = local;
    return status;
}

EC_EXPORT int ec_sii_checksum(const uint16_t header[7], uint8_t* checksum) {
    if (header == nullptr || checksum == nullptr) return EC_EINVAL;
    *checksum = SiiHeaderCrc(header);
    return EC_OK;
}

EC_EXPORT int ec_sii_check_image(const ec_master* m, int position, const uint16_t* words, size_t count) {
    if (words == nullptr || count < EC_SII_HEADER_WORDS || position < 0) return EC_EINVAL;
    if (position == 0) return (words[kSiiWordChecksum] & 0xFF) == SiiHeaderCrc(words) ? EC_OK : EC_ECHECKSUM;
    EcCall call(m, false);
    if (call.status() != EC_OK) return call.status();
    ec_master* master = call.master();
    if (EcCheckSlave(master, position, "check SII image") != EC_OK) return EC_ENOSLAVE;
    if ((words[kSiiWordChecksum] & 0xFF) != SiiHeaderCrc(words))
        return EcFail(master, EC_ECHECKSUM, position, "check SII image checksum");
    if (count >= 12) {
        const ec_slave_info& info = master->info[position];
        const uint32_t vendor = words[8] | (static_cast<uint32_t>(words[9]) << 16);
        const uint32_t product = words[10] | (static_cast<uint32_t>(words[11]) << 16);
        if ((info.parts_read & EC_PART_IDENTITY) == 0 || vendor != info.vendor_id || product != info.product_code)
            return EcFail(master, EC_EIDENTITY, position, "check SII image identity");
    }
    return EC_OK;
}

// ---- station alias ----

namespace {

// The library's bounds: each word read up to five times, each word written up to ten
// times; word 7 keeps its high byte; register 0x0012 is read for the report.
AliasWriteLimits LibraryAliasLimits(unsigned flags) {
    return AliasWriteLimits{kWordReadTries, kReadRetryGapUs, kWordWriteTries, 0, false, (flags & EC_FORCE) != 0, true};
}

int WriteStopStatus(AliasWriteStop stop) {
    switch (stop) {
        case AliasWriteStop::kRefused: return EC_EEEPROM_NACK;
        case AliasWriteStop::kBusy: return EC_EEEPROM_BUSY;
        case AliasWriteStop::kNoAnswer: return EC_ENOFRAME;
        case AliasWriteStop::kUnconfirmed:
        case AliasWriteStop::kNone:
        default: return EC_ETIMEOUT;
    }
}

}  // namespace

EC_EXPORT int ec_alias_set(ec_master* m, int position, uint16_t value, unsigned flags, ec_alias_report* report) {
    EcCall call(m, false);
    if (call.status() != EC_OK) return call.status();
    ec_alias_report r{};
    if (report != nullptr) *report = r;
    if (EcCheckSlave(m, position, "set station alias") != EC_OK) return EC_ENOSLAVE;
    // The write-and-verify itself is the one the console dialog uses too. Signals are
    // left alone: a library does not change its host's signal mask.
    AliasWriteResult write{};
    const AliasWriteStatus outcome = AliasWrite(m->context.get(), static_cast<uint16_t>(position), value,
                                                LibraryAliasLimits(flags), nullptr, &write);
    memcpy(r.before, write.before, sizeof r.before);
    r.stored_checksum_ok = write.stored_checksum_ok ? 1 : 0;
    int status = EC_OK;
    switch (outcome) {
        case AliasWriteStatus::kHeaderUnreadable:
            status = EcFail(m, EC_EEEPROM_READ, position, "read SII words 0-6");
            break;
        case AliasWriteStatus::kChecksumWrong:
            status = EcFail(m, EC_ECHECKSUM, position, "check the stored header checksum");
            break;
        case AliasWriteStatus::kWriteFailed:
            status = EcFail(m, WriteStopStatus(write.write_stop), position,
                            write.alias_acknowledged ? "write SII word 7 (checksum)" : "write SII word 4 (alias)");
            break;
        case AliasWriteStatus::kNotVerified:
            status = EcFail(m, EC_EVERIFY, position, "read back SII words 0-7");
            break;
        case AliasWriteStatus::kVerified:
            break;
    }
    if (write.write_tried) {
        EcSiiCacheInvalidate(m, position);
        r.alias_written = write.image[kSiiAliasWord];
        r.checksum_written = write.image[kSiiChecksumWord];
        r.alias_acknowledged = write.alias_acknowledged ? 1 : 0;
        r.checksum_acknowledged = write.checksum_acknowledged ? 1 : 0;
        r.attempts = write.attempts;
        memcpy(r.after, write.after, sizeof r.after);
        r.after_read = write.after_read;
        r.verified = write.verified ? 1 : 0;
        r.register_read = write.register_read ? 1 : 0;
        r.alias_register = write.alias_register;
        r.register_shows_new = write.register_read && write.alias_register == value ? 1 : 0;
        if (status == EC_OK) m->info[position].sii_alias = value;
    }
    if (report != nullptr) *report = r;
    return status;
}

// ---- SDO ----

EC_EXPORT int ec_sdo_upload(ec_master* m, int position, uint16_t index, uint8_t subindex, unsigned flags, void* data,
                            size_t* size, int timeout_us) {
    EcCall call(m, false);
    if (call.status() != EC_OK) return call.status();
    if (EcCheckSlave(m, position, "SDO upload") != EC_OK) return EC_ENOSLAVE;
    if (data == nullptr || size == nullptr || *size == 0 || *size > INT32_MAX || timeout_us < 0)
        return EcFail(m, EC_EINVAL, position, "SDO upload");
    if (CheckMailbox(m, position, "SDO upload") != EC_OK) return EC_ENOTSUP;
    MasterContext* context = m->context.get();
    const int16_t mark = ErrorMark(context);
    int32_t capacity = static_cast<int32_t>(*size);
    const int result = SdoUpload(context, static_cast<uint16_t>(position), index, subindex,
                                 (flags & EC_COMPLETE_ACCESS) != 0 ? 1 : 0, &capacity, data, timeout_us);
    if (result <= 0) return SdoFailure(m, position, result, mark, "SDO upload");
    *size = static_cast<size_t>(capacity);
    return EC_OK;
}

EC_EXPORT int ec_sdo_download(ec_master* m, int position, uint16_t index, uint8_t subindex, unsigned flags,
                              const void* data, size_t size, int timeout_us) {
    EcCall call(m, false);
    if (call.status() != EC_OK) return call.status();
    if (EcCheckSlave(m, position, "SDO download") != EC_OK) return EC_ENOSLAVE;
    if (data == nullptr || size == 0 || size > kSdoMaximumDownload || timeout_us < 0)
        return EcFail(m, EC_EINVAL, position, "SDO download");
    if (CheckMailbox(m, position, "SDO download") != EC_OK) return EC_ENOTSUP;
    MasterContext* context = m->context.get();
    const int16_t mark = ErrorMark(context);
    const int result = SdoDownload(context, static_cast<uint16_t>(position), index, subindex,
                                   (flags & EC_COMPLETE_ACCESS) != 0 ? 1 : 0, static_cast<int32_t>(size), data,
                                   timeout_us);
    if (result <= 0) return SdoFailure(m, position, result, mark, "SDO download");
    return EC_OK;
}

// ---- ESC registers ----

EC_EXPORT int ec_reg_read(ec_master* m, int position, uint16_t address, void* data, size_t length, int timeout_us) {
    EcCall call(m, false);
    if (call.status() != EC_OK) return call.status();
    if (EcCheckSlave(m, position, "register read") != EC_OK) return EC_ENOSLAVE;
    if (data == nullptr || length == 0 || length > EC_MAX_DATAGRAM_BYTES || timeout_us < 0)
        return EcFail(m, EC_EINVAL, position, "register read");
    const int status = EcDatagramStatus(FPRD(&m->context->port, Station(m, position), address,
                                             static_cast<uint16_t>(length), data, timeout_us));
    return status == EC_OK ? EC_OK : EcFail(m, status, position, "register read");
}

EC_EXPORT int ec_reg_write(ec_master* m, int position, uint16_t address, const void* data, size_t length,
                           int timeout_us) {
    EcCall call(m, false);
    if (call.status() != EC_OK) return call.status();
    if (EcCheckSlave(m, position, "register write") != EC_OK) return EC_ENOSLAVE;
    if (data == nullptr || length == 0 || length > EC_MAX_DATAGRAM_BYTES || timeout_us < 0)
        return EcFail(m, EC_EINVAL, position, "register write");
    const int status = EcDatagramStatus(FPWR(&m->context->port, Station(m, position), address,
                                             static_cast<uint16_t>(length), data, timeout_us));
    return status == EC_OK ? EC_OK : EcFail(m, status, position, "register write");
}

// ---- device register window ----

EC_EXPORT int ec_window_read(ec_master* m, int position, uint32_t reg, uint32_t* value) {
    EcCall call(m, false);
    if (call.status() != EC_OK) return call.status();
    if (EcCheckSlave(m, position, "window read") != EC_OK) return EC_ENOSLAVE;
    if (value == nullptr) return EcFail(m, EC_EINVAL, position, "window read");
    if (CheckMailbox(m, position, "window read") != EC_OK) return EC_ENOTSUP;
    MasterContext* context = m->context.get();
    const uint16_t slave = static_cast<uint16_t>(position);
    uint8_t command[4];
    WireStore32(command, (reg & 0xFFFFFFu) << 8);
    int16_t mark = ErrorMark(context);
    int result = SdoDownload(context, slave, kObjectRegisterCommand, 0, 0, 4, command, kWindowDownloadTimeout);
    // Without the command the data word holds another register's value.
    if (result <= 0) return SdoFailure(m, position, result, mark, "window read: command to 0x7012");
    uint8_t data[4] = {0, 0, 0, 0};
    result = 0;
    mark = ErrorMark(context);
    for (int attempt = 0; attempt < kWindowUploadAttempts && result == 0; attempt++) {
        int32_t size = 4;
        result = SdoUpload(context, slave, kObjectRegisterData, 0, 0, &size, data, kWindowUploadTimeout);
        if (result > 0 && size != 4) return EcFail(m, EC_EMAILBOX, position, "window read: value from 0x7013");
    }
    if (result <= 0) return SdoFailure(m, position, result, mark, "window read: value from 0x7013");
    *value = WireLoad32(data);
    return EC_OK;
}

EC_EXPORT int ec_window_write(ec_master* m, int position, uint32_t reg, uint32_t value) {
    EcCall call(m, false);
    if (call.status() != EC_OK) return call.status();
    if (EcCheckSlave(m, position, "window write") != EC_OK) return EC_ENOSLAVE;
    if (CheckMailbox(m, position, "window write") != EC_OK) return EC_ENOTSUP;
    MasterContext* context = m->context.get();
    const uint16_t slave = static_cast<uint16_t>(position);
    uint8_t data[4];
    WireStore32(data, value);
    int16_t mark = ErrorMark(context);
    int result = SdoDownload(context, slave, kObjectRegisterData, 0, 0, 4, data, kWindowDownloadTimeout);
    // A write command after a failed value download would store a stale word.
    if (result <= 0) return SdoFailure(m, position, result, mark, "window write: value to 0x7013");
    uint8_t command[4];
    WireStore32(command, ((reg & 0xFFFFFFu) << 8) | 0x01);
    mark = ErrorMark(context);
    result = SdoDownload(context, slave, kObjectRegisterCommand, 0, 0, 4, command, kWindowDownloadTimeout);
    if (result <= 0) return SdoFailure(m, position, result, mark, "window write: command to 0x7012");
    return EC_OK;
}

// ---- AL state ----

namespace {

bool ValidState(uint16_t state) {
    return state == EC_STATE_INIT || state == EC_STATE_PREOP || state == EC_STATE_BOOT || state == EC_STATE_SAFEOP ||
           state == EC_STATE_OP;
}

int RequestOne(ec_master* m, int position, uint16_t state, int timeout_us) {
    MasterContext* context = m->context.get();
    const uint8_t control[2] = {static_cast<uint8_t>(state), 0};
    int status = EcDatagramStatus(FPWR(&context->port, Station(m, position), kRegAlControl, 2, control,
                                       kRegisterTimeoutUs));
    if (status != EC_OK) return EcFail(m, status, position, "request AL state");
    const uint16_t slave = static_cast<uint16_t>(position);
    StateCheckAll(context, &slave, 1, state, timeout_us, StateWait::kStopOnError);
    const SlaveRecord& record = context->slave_table[position];
    const uint16_t reached = record.state;
    m->info[position].al_state = record.state;
    m->info[position].al_status_code = record.al_status_code;
    if ((reached & 0x0F) != state) {
        EcFail(m, EC_ESTATE, position, "wait for the requested AL state");
        std::lock_guard<std::mutex> hold(m->detail_lock);
        m->last.al_status_code = record.al_status_code;
        return EC_ESTATE;
    }
    return EC_OK;
}

// Every slave at once: one packed write of the request, one packed wait for all slaves
// whose write arrived, so the call takes about as long for 1000 slaves as for one and a
// refusing slave costs no more than the others. The status and the detail are those of
// the first slave, in line order, that failed.
int RequestEvery(ec_master* m, uint16_t state, int timeout_us) {
    MasterContext* context = m->context.get();
    const int count = m->count;
    // Each slave's write: its working counter, then its status.
    std::unique_ptr<int32_t[]> written(new (std::nothrow) int32_t[count]);
    std::unique_ptr<uint16_t[]> waiting(new (std::nothrow) uint16_t[count]);
    if (!written || !waiting) return EcFail(m, EC_ENOMEM, 0, "request AL state");
    for (int n = 1; n <= count; n++) waiting[n - 1] = static_cast<uint16_t>(n);
    StateRequestAll(context, waiting.get(), count, state, written.get());
    int waiting_count = 0;
    for (int n = 1; n <= count; n++) {
        written[n - 1] = EcDatagramStatus(written[n - 1]);
        if (written[n - 1] == EC_OK) waiting[waiting_count++] = static_cast<uint16_t>(n);
    }
    StateCheckAll(context, waiting.get(), waiting_count, state, timeout_us, StateWait::kStopOnError);
    int status = EC_OK;
    for (int n = 1; n <= count; n++) {
        const SlaveRecord& record = context->slave_table[n];
        if (written[n - 1] != EC_OK) {
            if (status == EC_OK) status = EcFail(m, written[n - 1], n, "request AL state");
            continue;
        }
        m->info[n].al_state = record.state;
        m->info[n].al_status_code = record.al_status_code;
        if ((record.state & 0x0F) != state && status == EC_OK) {
            status = EcFail(m, EC_ESTATE, n, "wait for the requested AL state");
            std::lock_guard<std::mutex> hold(m->detail_lock);
            m->last.al_status_code = record.al_status_code;
        }
    }
    return status;
}

}  // namespace

EC_EXPORT int ec_state_request(ec_master* m, int position, uint16_t state, int timeout_us) {
    EcCall call(m, position == 0);
    if (call.status() != EC_OK) return call.status();
    if (position != 0 && EcCheckSlave(m, position, "request AL state") != EC_OK) return EC_ENOSLAVE;
    if (position < 0 || !ValidState(state) || timeout_us < 0) return EcFail(m, EC_EINVAL, position, "request AL state");
    if (position != 0) return RequestOne(m, position, state, timeout_us);
    if (m->count == 0) return EcFail(m, m->scanned ? EC_ENOSLAVE : EC_ENOTSCANNED, 0, "request AL state");
    return RequestEvery(m, state, timeout_us);
}

EC_EXPORT int ec_state_read(ec_master* m, int position, uint16_t* state, uint16_t* status_code) {
    EcCall call(m, false);
    if (call.status() != EC_OK) return call.status();
    if (EcCheckSlave(m, position, "read AL state") != EC_OK) return EC_ENOSLAVE;
    if (state == nullptr && status_code == nullptr) return EcFail(m, EC_EINVAL, position, "read AL state");
    uint8_t registers[6] = {0};
    const int status = EcDatagramStatus(
        FPRD(&m->context->port, Station(m, position), kRegAlStatus, sizeof registers, registers, kRegisterTimeoutUs));
    if (status != EC_OK) return EcFail(m, status, position, "read AL state");
    if (state != nullptr) *state = WireLoad16(registers);
    if (status_code != nullptr) *status_code = WireLoad16(registers + 4);
    return EC_OK;
}
