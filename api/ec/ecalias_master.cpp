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
#include "slave/packed_exchange.h"
#include "slave/sii_engine.h"
#include "wire/byte_order.h"
#include "wire/esc_registers.h"

// Makes every slave with a mailbox ready for SDO traffic (slave/mailbox_setup.cpp).
int PrepareMailboxesKeepingStates(MasterContext* master);
void MailboxWordsRead(SlaveRecord* record, uint16_t read_offset, uint16_t read_length, uint16_t protocols);

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

// A register read of the scan: up to three tries (a reply with working counter 0 is
// tried again), each sending its frame again every 2 ms for up to 20 ms.
constexpr uint32_t kReplyWaitUs = 2000;
constexpr int kSendsPerTry = 10;
constexpr int kRegisterTries = 3;

// Reads `length` bytes of register `address` of every slave 1..slaves at once, packed
// (in runs of kSlavesPerRun), into out + (n - 1) * length; answered[n - 1] says whether
// slave n's read was answered (its bytes are zero otherwise).
void ReadRegisterAll(MasterContext* context, int slaves, uint16_t address, uint16_t length, uint8_t* out,
                     bool* answered) {
    PackedDatagram list[kSlavesPerRun];
    int which[kSlavesPerRun];
    memset(out, 0, static_cast<size_t>(slaves) * length);
    for (int n = 0; n < slaves; n++) answered[n] = false;
    for (int first = 1; first <= slaves; first += kSlavesPerRun) {
        const int last = slaves - first + 1 < kSlavesPerRun ? slaves : first + kSlavesPerRun - 1;
        for (int attempt = 0; attempt < kRegisterTries; attempt++) {
            int used = 0;
            for (int n = first; n <= last; n++) {
                if (answered[n - 1]) continue;
                list[used] = PackedDatagram{CMD_FPRD, context->slave_table[n].config_address, address, length,
                                            nullptr, out + static_cast<size_t>(n - 1) * length, 0};
                which[used++] = n - 1;
            }
            if (used == 0) break;
            PackedExchangeUntilAnswered(&context->port, list, used, kReplyWaitUs, kSendsPerTry, nullptr);
            for (int k = 0; k < used; k++) answered[which[k]] = list[k].result > 0;
        }
    }
}

// The SII parts of every slave's record, all slaves at once on the SII engine: size
// word 0x3E, alias word 4, identity, serial, mailbox words. Each part is marked read
// only when all of its words were. False when the work space could not be had.
bool ReadSiiParts(ec_master* m, int slaves) {
    MasterContext* context = m->context.get();
    enum { kSize, kAlias, kIdentity, kSerial, kMailbox, kParts };
    static const uint16_t kFirst[kParts] = {0x3E, 4, 8, 0x0E, 0x18};
    static const uint16_t kCount[kParts] = {1, 1, 6, 2, 5};
    static const unsigned kPart[kParts] = {EC_PART_SII_SIZE, EC_PART_SII_ALIAS, EC_PART_IDENTITY, EC_PART_SERIAL,
                                           EC_PART_MAILBOX};
    struct Words {
        uint16_t w[kParts][6];
    };
    std::unique_ptr<Words[]> words(new (std::nothrow) Words[static_cast<size_t>(slaves)]);
    std::unique_ptr<SiiJob[]> jobs(new (std::nothrow) SiiJob[static_cast<size_t>(slaves) * kParts]);
    if (!words || !jobs) return false;
    int used = 0;
    for (int n = 1; n <= slaves; n++)
        for (int p = 0; p < kParts; p++)
            jobs[used++] = SiiJob{static_cast<uint16_t>(n), kFirst[p], kCount[p], words[n - 1].w[p], 0, 0, 0};
    SiiReadMany(context, jobs.get(), used, nullptr, kSiiWholeSegment);
    for (int n = 1; n <= slaves; n++) {
        ec_slave_info& info = m->info[n];
        const uint16_t(&w)[kParts][6] = words[n - 1].w;
        unsigned read = 0;
        for (int p = 0; p < kParts; p++)
            if (jobs[(n - 1) * kParts + p].status == kSiiDone) read |= kPart[p];
        info.parts_read |= read;
        info.sii_words = 0;
        if (read & EC_PART_SII_SIZE) {
            const uint32_t size = (static_cast<uint32_t>(w[kSize][0]) + 1) * 64;
            info.sii_words = size > EC_SII_MAX_WORDS ? static_cast<uint32_t>(EC_SII_MAX_WORDS) : size;
        }
        if (read & EC_PART_SII_ALIAS) info.sii_alias = w[kAlias][0];
        if (read & EC_PART_IDENTITY) {
            info.vendor_id = w[kIdentity][0] | (static_cast<uint32_t>(w[kIdentity][1]) << 16);
            info.product_code = w[kIdentity][2] | (static_cast<uint32_t>(w[kIdentity][3]) << 16);
            info.revision = w[kIdentity][4] | (static_cast<uint32_t>(w[kIdentity][5]) << 16);
        }
        if (read & EC_PART_SERIAL) info.serial = w[kSerial][0] | (static_cast<uint32_t>(w[kSerial][1]) << 16);
        if (read & EC_PART_MAILBOX) {
            info.mailbox_write_offset = w[kMailbox][0];
            info.mailbox_write_size = w[kMailbox][1];
            info.mailbox_read_offset = w[kMailbox][2];
            info.mailbox_read_size = w[kMailbox][3];
            info.mailbox_protocols = w[kMailbox][4];
        }
        // The scan left the identity and write mailbox words of the slave table to these
        // reads (ScanIdentities::kLeftToCaller): a part that could not be read is 0 there,
        // as a failed bring-up read leaves it, and a slave without its mailbox words gets
        // no mailbox set up.
        SlaveRecord& record = context->slave_table[n];
        record.vendor_id = (read & EC_PART_IDENTITY) ? info.vendor_id : 0;
        record.product_code = (read & EC_PART_IDENTITY) ? info.product_code : 0;
        record.revision_no = (read & EC_PART_IDENTITY) ? info.revision : 0;
        record.mbx_write_offset = (read & EC_PART_MAILBOX) ? w[kMailbox][0] : 0;
        record.mbx_length = (read & EC_PART_MAILBOX) ? w[kMailbox][1] : 0;
        // The read mailbox words too: the mailbox setup need not read them again.
        if (record.mbx_length > 0) MailboxWordsRead(&record, w[kMailbox][2], w[kMailbox][3], w[kMailbox][4]);
    }
    return true;
}

// String 1 of the strings category (type 10) of every slave at once: the category
// walk from word 0x40 on, bounded by the EEPROM size (2048 words when the size word
// could not be read). A slave without a strings category or without string 1 has the
// name "" and its name part read; a word on the way that could not be read leaves the
// part unread. False when the work space could not be had.
bool ReadNames(ec_master* m, int slaves) {
    MasterContext* context = m->context.get();
    // 129 words per slave (a string of up to 255 bytes with its count and length).
    typedef uint16_t Text[129];
    const size_t held = static_cast<size_t>(slaves);
    std::unique_ptr<SiiCategorySearch[]> searches(new (std::nothrow) SiiCategorySearch[held]);
    std::unique_ptr<uint16_t[]> head(new (std::nothrow) uint16_t[held]());
    std::unique_ptr<Text[]> text(new (std::nothrow) Text[held]);
    std::unique_ptr<SiiJob[]> jobs(new (std::nothrow) SiiJob[held]);
    std::unique_ptr<int[]> owner(new (std::nothrow) int[held]);
    if (!searches || !head || !text || !jobs || !owner) return false;
    for (int n = 1; n <= slaves; n++) {
        const ec_slave_info& info = m->info[n];
        m->info[n].name[0] = '\0';
        searches[n - 1] = SiiCategorySearch{static_cast<uint16_t>(n), kSiiCategoryStrings,
                                            info.sii_words != 0 ? info.sii_words : 2048u, 0, 0, 0};
    }
    SiiFindCategoryMany(context, searches.get(), slaves, nullptr, kSiiWholeSegment);
    // The count and length word of every strings category found, then the text.
    int used = 0;
    for (int n = 1; n <= slaves; n++) {
        const SiiCategorySearch& search = searches[n - 1];
        if (search.status != kSiiDone) continue;
        if (search.data_word == 0 || search.data_word >= search.word_limit) {
            m->info[n].parts_read |= EC_PART_NAME;  // no strings category: no name
            continue;
        }
        jobs[used] = SiiJob{search.slave, static_cast<uint16_t>(search.data_word), 1, &head[n - 1], 0, 0, 0};
        owner[used++] = n;
    }
    SiiReadMany(context, jobs.get(), used, nullptr, kSiiWholeSegment);
    int texts = 0;
    for (int j = 0; j < used; j++) {
        const int n = owner[j];
        const SiiCategorySearch& search = searches[n - 1];
        if (jobs[j].status != kSiiDone) continue;
        if ((head[n - 1] & 0xFF) == 0) {
            m->info[n].parts_read |= EC_PART_NAME;  // no string 1
            continue;
        }
        const unsigned length = head[n - 1] >> 8;
        const uint32_t words_needed = (2 + length + 1) / 2;  // count, length, text
        if (search.data_word + words_needed > search.word_limit) continue;  // runs past the EEPROM
        text[n - 1][0] = head[n - 1];
        jobs[texts] = SiiJob{search.slave, static_cast<uint16_t>(search.data_word + 1),
                             static_cast<uint16_t>(words_needed - 1), &text[n - 1][1], 0, 0, 0};
        owner[texts++] = n;
    }
    SiiReadMany(context, jobs.get(), texts, nullptr, kSiiWholeSegment);
    for (int j = 0; j < texts; j++) {
        if (jobs[j].status != kSiiDone) continue;
        const int n = owner[j];
        const unsigned length = head[n - 1] >> 8;
        const unsigned kept = length < EC_NAME_BYTES - 1 ? length : EC_NAME_BYTES - 1;
        char* name = m->info[n].name;
        for (unsigned i = 0; i < kept; i++) {
            const unsigned byte = 2 + i;
            name[i] = static_cast<char>(byte % 2 == 0 ? text[n - 1][byte / 2] & 0xFF : text[n - 1][byte / 2] >> 8);
        }
        name[kept] = '\0';
        m->info[n].parts_read |= EC_PART_NAME;
    }
    return true;
}

// Every slave's record, all slaves at once: the alias register (as the scan's addressing
// read it), the SII parts, the name. False when the work space could not be had.
// The scan holds the master alone and the adapter is this master's only, so its SII
// reads may share their commands in broadcasts (kSiiWholeSegment).
bool ReadSlaveRecords(ec_master* m, int slaves) {
    MasterContext* context = m->context.get();
    for (int n = 1; n <= slaves; n++) {
        const SlaveRecord& record = context->slave_table[n];
        ec_slave_info& info = m->info[n];
        info = ec_slave_info{};
        info.position = n;
        info.station_address = record.config_address;
        if (record.alias_address_read) {
            info.alias_register = record.alias_address;
            info.parts_read |= EC_PART_ALIAS_REGISTER;
        }
    }
    return ReadSiiParts(m, slaves) && ReadNames(m, slaves);
}

// Every slave's AL state and status code, packed; then each record's complete flag.
// False when the work space could not be had.
bool ReadSlaveStates(ec_master* m, int slaves) {
    std::unique_ptr<uint8_t[]> status(new (std::nothrow) uint8_t[6 * static_cast<size_t>(slaves)]);
    std::unique_ptr<bool[]> answered(new (std::nothrow) bool[static_cast<size_t>(slaves)]);
    if (!status || !answered) return false;
    ReadRegisterAll(m->context.get(), slaves, kRegAlStatus, 6, status.get(), answered.get());
    for (int n = 1; n <= slaves; n++) {
        ec_slave_info& info = m->info[n];
        const uint8_t* registers = &status[6 * static_cast<size_t>(n - 1)];
        if (answered[n - 1]) {
            info.al_state = WireLoad16(registers);
            info.al_status_code = WireLoad16(registers + 4);
            info.parts_read |= EC_PART_STATE;
        }
        info.complete = (info.parts_read & EC_PART_ALL) == EC_PART_ALL ? 1 : 0;
    }
    return true;
}

// Room for the records of `slaves` slaves, kept while large enough.
bool ReserveRecords(ec_master* m, int slaves) {
    const int records = slaves + 1;
    if (records <= m->info_capacity) return true;
    std::unique_ptr<ec_slave_info[]> room(new (std::nothrow) ec_slave_info[static_cast<size_t>(records)]());
    if (!room) return false;
    m->info = std::move(room);
    m->info_capacity = records;
    return true;
}

}  // namespace

EC_EXPORT int ec_scan(ec_master* m, int* count) {
    EcCall call(m, true);
    if (call.status() != EC_OK) return call.status();
    MasterContext* context = m->context.get();
    m->count = 0;
    m->scanned = false;
    context->slave_count = 0;
    SlaveTableZero(context);
    OwedAnswersZero(context);
    {
        std::lock_guard<std::mutex> hold(m->cache_lock);
        memset(context->sii_cache.fill_map, 0, sizeof context->sii_cache.fill_map);
    }
    // The table is sized by the count: no limit but the protocol's (EC_MAX_SLAVES).
    // The identity words are read below with the other SII parts of every slave.
    const int slaves = ScanNetworkKeepingStates(context, ScanIdentities::kLeftToCaller);
    if (slaves == kBringupNoMemory) return EcFail(m, EC_ENOMEM, 0, "make room for the slave table");
    if (slaves < 0) return EcFail(m, EcDatagramStatus(slaves), 0, "count the slaves");
    if (!ReserveRecords(m, slaves)) return EcFail(m, EC_ENOMEM, 0, "make room for the slave records");
    if (slaves > 0) {
        bool room = ReadSlaveRecords(m, slaves);
        if (room) PrepareMailboxesKeepingStates(context);
        if (!room || !ReadSlaveStates(m, slaves)) return EcFail(m, EC_ENOMEM, 0, "read the slave records");
    }
    m->scanned = true;
    m->count = slaves;
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
