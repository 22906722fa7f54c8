// libecalias: masters, errors, adapters and the scan.
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>
#include <unordered_set>

#include "api/ec/ecalias_internal.h"
#include "link/capture.h"
#include "link/datagram.h"
#include "link/pseudo_adapter.h"
#include "sim/sim_capture.h"
#include "slave/bringup.h"
#include "slave/eeprom.h"

// Makes every slave with a mailbox ready for SDO traffic (slave/mailbox_setup.cpp).
int PrepareMailboxes(MasterContext* master);

namespace {

std::mutex g_registry_lock;
std::unordered_set<const ec_master*>& Registry() {
    static std::unordered_set<const ec_master*> live;
    return live;
}

thread_local ec_error_detail t_open_error{};

void CopyText(char* destination, size_t room, const char* text) {
    snprintf(destination, room, "%s", text != nullptr ? text : "");
}

struct AbortText {
    uint32_t code;
    const char* text;
};

const AbortText kAbortTexts[] = {
    {0x05030000, "toggle bit not alternated"},
    {0x05040000, "SDO protocol timed out"},
    {0x05040001, "client/server command specifier not valid or unknown"},
    {0x05040002, "invalid block size"},
    {0x05040003, "invalid sequence number"},
    {0x05040004, "CRC error"},
    {0x05040005, "out of memory"},
    {0x06010000, "unsupported access to an object"},
    {0x06010001, "attempt to read a write-only object"},
    {0x06010002, "attempt to write a read-only object"},
    {0x06010003, "subindex cannot be written, subindex 0 must be 0 for write access"},
    {0x06010004, "complete access not supported for this object"},
    {0x06010005, "object length exceeds mailbox size"},
    {0x06010006, "object mapped to RxPDO, SDO download blocked"},
    {0x06020000, "object does not exist in the object dictionary"},
    {0x06040041, "object cannot be mapped to the PDO"},
    {0x06040042, "the number and length of the objects to be mapped would exceed the PDO length"},
    {0x06040043, "general parameter incompatibility"},
    {0x06040047, "general internal incompatibility in the device"},
    {0x06060000, "access failed due to a hardware error"},
    {0x06070010, "data type does not match, length of service parameter does not match"},
    {0x06070012, "data type does not match, length of service parameter too high"},
    {0x06070013, "data type does not match, length of service parameter too low"},
    {0x06090011, "subindex does not exist"},
    {0x06090030, "value range of parameter exceeded"},
    {0x06090031, "value of parameter written too high"},
    {0x06090032, "value of parameter written too low"},
    {0x06090036, "maximum value is less than minimum value"},
    {0x08000000, "general error"},
    {0x08000020, "data cannot be transferred or stored to the application"},
    {0x08000021, "data cannot be transferred or stored to the application because of local control"},
    {0x08000022, "data cannot be transferred or stored to the application because of the present device state"},
    {0x08000023, "object dictionary dynamic generation fails or no object dictionary is present"},
};

// The status an adapter's open failure stands for, from the capture library's text.
int OpenFailureCode(const char* text) {
    if (strstr(text, "in use by another") != nullptr) return EC_EINUSE;
    if (strstr(text, "ermission") != nullptr || strstr(text, "not permitted") != nullptr ||
        strstr(text, "EPERM") != nullptr)
        return EC_EPERM;
    return EC_ENOADAPTER;
}

void DescribeOpenFailure(int code, const char* adapter, const char* text, char* out, size_t room) {
    if (code == EC_EPERM)
        snprintf(out, room,
                 "%s: %s; allow capturing with `setcap cap_net_raw,cap_net_admin+ep PROGRAM` or run as root",
                 adapter, text);
    else
        snprintf(out, room, "%s: %s", adapter, text);
}

}  // namespace

// ---- call guard and failure record ----

EcCall::EcCall(const ec_master* m, bool alone) : alone_(alone) {
    if (m == nullptr) {
        status_ = EC_EINVAL;
        return;
    }
    {
        std::lock_guard<std::mutex> hold(g_registry_lock);
        if (Registry().count(m) == 0) {
            status_ = EC_ECLOSED;
            return;
        }
        master_ = const_cast<ec_master*>(m);
        master_->entering++;
    }
    if (alone_)
        master_->calls.lock();
    else
        master_->calls.lock_shared();
    const bool closing = master_->closing;
    master_->entering--;
    if (closing) {
        if (alone_)
            master_->calls.unlock();
        else
            master_->calls.unlock_shared();
        master_ = nullptr;
        status_ = EC_ECLOSED;
        return;
    }
    status_ = EC_OK;
}

EcCall::~EcCall() {
    if (master_ == nullptr) return;
    if (alone_)
        master_->calls.unlock();
    else
        master_->calls.unlock_shared();
}

int EcFail(ec_master* m, int code, int position, const char* step) {
    if (m == nullptr) return code;
    std::lock_guard<std::mutex> hold(m->detail_lock);
    ec_error_detail& d = m->last;
    d = ec_error_detail{};
    d.code = code;
    d.position = position;
    CopyText(d.step, sizeof d.step, step);
    d.sdo_abort_text = "";
    return code;
}

int EcFailAbort(ec_master* m, int position, const char* step, uint32_t abort_code) {
    EcFail(m, EC_ESDOABORT, position, step);
    std::lock_guard<std::mutex> hold(m->detail_lock);
    m->last.sdo_abort_code = abort_code;
    m->last.sdo_abort_text = ec_sdo_abort_text(abort_code);
    return EC_ESDOABORT;
}

int EcCheckSlave(ec_master* m, int position, const char* step) {
    if (position < 1 || position > m->count) return EcFail(m, EC_ENOSLAVE, position, step);
    return EC_OK;
}

int EcDatagramStatus(int result) {
    if (result > 0) return EC_OK;
    switch (result) {
    case 0: return EC_EWKC;
    case NoFrame: return EC_ENOFRAME;
    case ForeignFrame: return EC_EFOREIGN;
    default: return EC_EINVAL;
    }
}

// ---- versions and texts ----

EC_EXPORT const char* ec_version(void) { return ECALIAS_VERSION; }

EC_EXPORT const char* ec_strerror(int code) {
    switch (code) {
    case EC_OK: return "Success.";
    case EC_EINVAL: return "An argument was not valid (a null pointer, or a size or range out of bounds).";
    case EC_ENOSLAVE: return "There is no slave at that position.";
    case EC_ENOFRAME: return "No frame came back from the segment.";
    case EC_EFOREIGN: return "A frame came back, but it was not the reply to the request.";
    case EC_EWKC: return "The slave did not execute the request (working counter mismatch).";
    case EC_ETIMEOUT: return "The slave did not answer in time.";
    case EC_EEEPROM_BUSY: return "The slave's EEPROM interface stayed busy.";
    case EC_EEEPROM_NACK: return "The slave's EEPROM refused the command.";
    case EC_ESDOABORT: return "The slave aborted the SDO transfer.";
    case EC_EMAILBOX: return "The mailbox exchange failed or brought an unusable reply.";
    case EC_ENOTSUP: return "The slave does not support this request.";
    case EC_EPERM:
        return "No permission to capture on the adapter; grant it with "
               "`setcap cap_net_raw,cap_net_admin+ep PROGRAM` or run as root.";
    case EC_ENOADAPTER: return "The adapter does not exist or could not be opened.";
    case EC_ECLOSED: return "The master was closed.";
    case EC_ECHECKSUM: return "The SII header checksum (word 7) does not match words 0 to 6.";
    case EC_EIDENTITY: return "The SII image names another vendor or product than the slave.";
    case EC_EVERIFY: return "The data were written, but what was read back differs.";
    case EC_EINUSE: return "The adapter is in use by another master.";
    case EC_EEEPROM_READ: return "EEPROM words could not be read; nothing was written.";
    case EC_ESTATE: return "The slave did not reach the requested state.";
    case EC_ETOOBIG: return "The data do not fit the buffer given.";
    case EC_ENOMEM: return "Out of memory.";
    case EC_ENOTSCANNED: return "The master has not scanned the segment yet.";
    case EC_EFILE: return "A file could not be read or written.";
    default: return "Unknown status code.";
    }
}

EC_EXPORT const char* ec_sdo_abort_text(uint32_t abort_code) {
    for (const AbortText& entry : kAbortTexts)
        if (entry.code == abort_code) return entry.text;
    return "unknown abort code";
}

EC_EXPORT int ec_last_error(const ec_master* m, ec_error_detail* out) {
    if (out == nullptr) return EC_EINVAL;
    if (m == nullptr) {
        *out = t_open_error;
        if (out->sdo_abort_text == nullptr) out->sdo_abort_text = "";
        return EC_OK;
    }
    EcCall call(m, false);
    if (call.status() != EC_OK) return call.status();
    std::lock_guard<std::mutex> hold(call.master()->detail_lock);
    *out = call.master()->last;
    if (out->sdo_abort_text == nullptr) out->sdo_abort_text = "";
    return EC_OK;
}

// ---- open and close ----

namespace {

int OpenFailed(int code, const char* adapter, const char* text) {
    t_open_error = ec_error_detail{};
    t_open_error.code = code;
    CopyText(t_open_error.step, sizeof t_open_error.step, "open adapter");
    t_open_error.sdo_abort_text = "";
    DescribeOpenFailure(code, adapter != nullptr ? adapter : "(null)", text, t_open_error.adapter_text,
                        sizeof t_open_error.adapter_text);
    return code;
}

}  // namespace

EC_EXPORT int ec_open(const char* adapter, ec_master** out) {
    if (out != nullptr) *out = nullptr;
    if (adapter == nullptr || out == nullptr || adapter[0] == '\0')
        return OpenFailed(EC_EINVAL, adapter, "no adapter name or no place for the master");
    ec_master* m = new (std::nothrow) ec_master();
    if (m == nullptr) return OpenFailed(EC_ENOMEM, adapter, "out of memory");
    m->context.reset(new (std::nothrow) MasterContext());
    if (m->context == nullptr) {
        delete m;
        return OpenFailed(EC_ENOMEM, adapter, "out of memory");
    }
    const CaptureBackend* backend = SimAdapterName(adapter) ? &kSimCaptureBackend : &kPcapCaptureBackend;
    char errbuf[kCaptureErrorSize] = {0};
    if (PortOpenOn(&m->context->port, backend, adapter, errbuf) != 1) {
        delete m;
        return OpenFailed(OpenFailureCode(errbuf), adapter, errbuf);
    }
    {
        std::lock_guard<std::mutex> hold(g_registry_lock);
        Registry().insert(m);
    }
    *out = m;
    return EC_OK;
}

EC_EXPORT int ec_close(ec_master* m) {
    if (m == nullptr) return EC_EINVAL;
    {
        std::lock_guard<std::mutex> hold(g_registry_lock);
        if (Registry().erase(m) == 0) return EC_ECLOSED;
    }
    // No new caller can find the master now. Wait for the calls in flight, close the
    // adapter, then let the callers that were already entering see `closing` and leave.
    m->calls.lock();
    m->closing = true;
    PortClose(&m->context->port);
    m->calls.unlock();
    while (m->entering.load() != 0) std::this_thread::yield();
    m->calls.lock();
    m->calls.unlock();
    delete m;
    return EC_OK;
}

// ---- adapters ----

namespace {

struct AdapterListing {
    ec_adapter_info* list;
    size_t capacity;
    size_t count;
};

void VisitAdapter(void* context, const char* name, const char* description) {
    AdapterListing* listing = static_cast<AdapterListing*>(context);
    if (name == nullptr || PseudoAdapter(name)) return;
    if (listing->count < listing->capacity) {
        ec_adapter_info& entry = listing->list[listing->count];
        entry = ec_adapter_info{};
        CopyText(entry.name, sizeof entry.name, name);
        CopyText(entry.description, sizeof entry.description, description);
        entry.slaves = -1;
    }
    listing->count++;
}

}  // namespace

EC_EXPORT int ec_adapters(ec_adapter_info* list, size_t capacity, size_t* count) {
    if (count == nullptr || (list == nullptr && capacity > 0)) return EC_EINVAL;
    AdapterListing listing{list, capacity, 0};
    char errbuf[kCaptureErrorSize] = {0};
    const CaptureBackend* backend = CaptureActiveBackend();
    if (backend->list_adapters(VisitAdapter, &listing, errbuf) != 0) return EC_ENOADAPTER;
    *count = listing.count;
    const size_t filled = listing.count < capacity ? listing.count : capacity;
    if (filled == 0) return EC_OK;
    std::unique_ptr<MasterContext> probe(new (std::nothrow) MasterContext());
    if (probe == nullptr) return EC_ENOMEM;
    for (size_t n = 0; n < filled; n++) {
        ec_adapter_info& entry = list[n];
        errbuf[0] = '\0';
        if (PortOpenOn(&probe->port, backend, entry.name, errbuf) != 1) {
            entry.status = OpenFailureCode(errbuf);
            DescribeOpenFailure(entry.status, entry.name, errbuf, entry.error, sizeof entry.error);
            continue;
        }
        uint16_t ignored = 0;
        const int wkc = BRD(&probe->port, 0, 0x0000, sizeof ignored, &ignored, 20000);
        entry.slaves = wkc >= 0 ? wkc : 0;
        PortClose(&probe->port);
    }
    return EC_OK;
}

// ---- the scan ----

namespace {

constexpr uint16_t kRegStationAlias = 0x0012;
constexpr uint16_t kRegAlStatus = 0x0130;
constexpr int32_t kRegisterTimeoutUs = 20000;
constexpr int kRegisterTries = 3;

int ReadRegisterTries(MasterContext* context, uint16_t station, uint16_t address, uint16_t length, void* data) {
    int wkc = 0;
    for (int n = 0; n < kRegisterTries && wkc <= 0; n++)
        wkc = FPRD(&context->port, station, address, length, data, kRegisterTimeoutUs);
    return wkc;
}

// Reads `count` words into `words`; true when all were read.
bool SiiWords(ec_master* m, int position, uint32_t first, uint32_t count, uint16_t* words) {
    return EcSiiReadWords(m, position, first, count, words, nullptr) == EC_OK;
}

// String 1 of the strings category (type 10): walks the categories from word 0x40 on.
// True when the walk ended readably (name "" when there is no strings category or no
// string 1); false when a word on the way could not be read.
bool ReadSlaveName(ec_master* m, int position, uint32_t limit, char* name) {
    name[0] = '\0';
    uint32_t word = 0x40;
    for (int categories = 0; categories < 512; categories++) {
        uint16_t head[2];
        if (word + 2 > limit) return true;
        if (!SiiWords(m, position, word, 2, head)) return false;
        if (head[0] == 0xFFFF) return true;
        const uint32_t data = word + 2;
        if (head[0] == 10) {
            uint16_t first;
            if (data >= limit) return true;
            if (!SiiWords(m, position, data, 1, &first)) return false;
            const unsigned strings = first & 0xFF;
            if (strings == 0) return true;
            const unsigned length = first >> 8;  // string 1 starts at byte 1
            const unsigned bytes = 2 + length;   // count, length, text
            const uint32_t words_needed = (bytes + 1) / 2;
            if (data + words_needed > limit) return false;
            uint16_t text[129];
            if (!SiiWords(m, position, data, words_needed, text)) return false;
            unsigned kept = length < EC_NAME_BYTES - 1 ? length : EC_NAME_BYTES - 1;
            for (unsigned i = 0; i < kept; i++) {
                const unsigned byte = 2 + i;
                name[i] = static_cast<char>(byte % 2 == 0 ? text[byte / 2] & 0xFF : text[byte / 2] >> 8);
            }
            name[kept] = '\0';
            return true;
        }
        word = data + head[1];
    }
    return false;
}

void ReadSlaveRecord(ec_master* m, int position) {
    MasterContext* context = m->context.get();
    const SlaveRecord& record = context->slave_table[position];
    ec_slave_info& info = m->info[position];
    info = ec_slave_info{};
    info.position = position;
    info.station_address = record.config_address;
    uint16_t value = 0;
    if (ReadRegisterTries(context, record.config_address, kRegStationAlias, 2, &value) > 0) {
        info.alias_register = value;
        info.parts_read |= EC_PART_ALIAS_REGISTER;
    }
    uint16_t w[2];
    // The size first: every other read is bounded by it.
    info.sii_words = 0;
    if (SiiWords(m, position, 0x3E, 1, w)) {
        uint32_t words = (static_cast<uint32_t>(w[0]) + 1) * 64;
        info.sii_words = words > EC_SII_MAX_WORDS ? static_cast<uint32_t>(EC_SII_MAX_WORDS) : words;
        info.parts_read |= EC_PART_SII_SIZE;
    }
    if (SiiWords(m, position, 4, 1, w)) {
        info.sii_alias = w[0];
        info.parts_read |= EC_PART_SII_ALIAS;
    }
    uint16_t identity[8];
    if (SiiWords(m, position, 8, 6, identity)) {
        info.vendor_id = identity[0] | (static_cast<uint32_t>(identity[1]) << 16);
        info.product_code = identity[2] | (static_cast<uint32_t>(identity[3]) << 16);
        info.revision = identity[4] | (static_cast<uint32_t>(identity[5]) << 16);
        info.parts_read |= EC_PART_IDENTITY;
    }
    if (SiiWords(m, position, 0x0E, 2, w)) {
        info.serial = w[0] | (static_cast<uint32_t>(w[1]) << 16);
        info.parts_read |= EC_PART_SERIAL;
    }
    uint16_t mailbox[5];
    if (SiiWords(m, position, 0x18, 5, mailbox)) {
        info.mailbox_write_offset = mailbox[0];
        info.mailbox_write_size = mailbox[1];
        info.mailbox_read_offset = mailbox[2];
        info.mailbox_read_size = mailbox[3];
        info.mailbox_protocols = mailbox[4];
        info.parts_read |= EC_PART_MAILBOX;
    }
    const uint32_t limit = info.sii_words != 0 ? info.sii_words : 2048;
    if (ReadSlaveName(m, position, limit, info.name)) info.parts_read |= EC_PART_NAME;
}

void ReadSlaveState(ec_master* m, int position) {
    MasterContext* context = m->context.get();
    ec_slave_info& info = m->info[position];
    uint8_t status[6] = {0};
    if (ReadRegisterTries(context, context->slave_table[position].config_address, kRegAlStatus, sizeof status,
                          status) > 0) {
        info.al_state = static_cast<uint16_t>(status[0] | (status[1] << 8));
        info.al_status_code = static_cast<uint16_t>(status[4] | (status[5] << 8));
        info.parts_read |= EC_PART_STATE;
    }
    info.complete = (info.parts_read & EC_PART_ALL) == EC_PART_ALL ? 1 : 0;
}

}  // namespace

EC_EXPORT int ec_scan(ec_master* m, int* count) {
    EcCall call(m, true);
    if (call.status() != EC_OK) return call.status();
    MasterContext* context = m->context.get();
    m->count = 0;
    m->scanned = false;
    context->slave_count = 0;
    memset(context->owed_answers, 0, sizeof context->owed_answers);
    memset(context->eeprom_reads, 0, sizeof context->eeprom_reads);
    {
        std::lock_guard<std::mutex> hold(m->cache_lock);
        memset(context->sii_cache.fill_map, 0, sizeof context->sii_cache.fill_map);
    }
    const int found = ConfigureNetwork(context);
    if (found < 0) return EcFail(m, EcDatagramStatus(found), 0, "count the slaves");
    m->scanned = true;
    const int slaves = found > kMaxSlaves ? kMaxSlaves : found;
    m->count = slaves;
    for (int n = 1; n <= slaves; n++) ReadSlaveRecord(m, n);
    if (slaves > 0) PrepareMailboxes(context);
    for (int n = 1; n <= slaves; n++) ReadSlaveState(m, n);
    if (count != nullptr) *count = slaves;
    return EC_OK;
}

EC_EXPORT int ec_slave_count(const ec_master* m, int* count) {
    EcCall call(m, false);
    if (call.status() != EC_OK) return call.status();
    if (count == nullptr) return EcFail(call.master(), EC_EINVAL, 0, "slave count");
    *count = call.master()->count;
    return EC_OK;
}

EC_EXPORT int ec_slave_info_get(const ec_master* m, int position, ec_slave_info* out) {
    EcCall call(m, false);
    if (call.status() != EC_OK) return call.status();
    ec_master* master = call.master();
    if (EcCheckSlave(master, position, "slave record") != EC_OK) return EC_ENOSLAVE;
    if (out == nullptr) return EcFail(master, EC_EINVAL, position, "slave record");
    *out = master->info[position];
    return EC_OK;
}
