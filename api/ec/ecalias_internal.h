// What the files of libecalias share: the master object behind ec_master, the call
// guard every function enters through, and the failure record.
#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "ecalias.h"
#include "slave/context.h"

#define EC_EXPORT extern "C" __attribute__((visibility("default")))

struct ec_master {
    std::unique_ptr<MasterContext> context;
    // Shared by calls, taken alone by ec_scan, ec_state_request(0) and ec_close.
    std::shared_mutex calls;
    // Callers that found the master in the registry and wait for `calls`: ec_close frees
    // the object only once none is left.
    std::atomic<int> entering{0};
    bool closing = false;
    // The SII byte cache of the context is shared by every slave: written under this.
    std::mutex cache_lock;
    std::mutex detail_lock;
    ec_error_detail last{};
    bool scanned = false;
    int count = 0;
    // The records of the last scan, by position (1..count); allocated by the scan that
    // learned the count, kept for later scans while large enough.
    std::unique_ptr<ec_slave_info[]> info;
    int info_capacity = 0;  // records info holds, record 0 included
};

// Enters a call on `m`: checks the pointer (NULL: EC_EINVAL, not a live master:
// EC_ECLOSED) and holds the master's call lock, shared or alone, until destroyed.
class EcCall {
public:
    EcCall(const ec_master* m, bool alone);
    ~EcCall();
    EcCall(const EcCall&) = delete;
    EcCall& operator=(const EcCall&) = delete;
    int status() const { return status_; }
    ec_master* master() const { return master_; }

private:
    ec_master* master_ = nullptr;
    bool alone_ = false;
    int status_ = EC_EINVAL;
};

// Records a failure as the master's last and returns `code`.
int EcFail(ec_master* m, int code, int position, const char* step);
int EcFailAbort(ec_master* m, int position, const char* step, uint32_t abort_code);
// Checks a slave position against the last scan: 0 or EC_ENOSLAVE (recorded).
int EcCheckSlave(ec_master* m, int position, const char* step);
// A datagram service's result as a status: above 0 is EC_OK.
int EcDatagramStatus(int result);

// SII access without the call guard (the caller holds it).
int EcSiiReadWords(ec_master* m, int position, uint32_t first, uint32_t count, uint16_t* words,
                   unsigned* words_read_mask_of_first_32);
uint32_t EcSiiWordLimit(ec_master* m, int position);
void EcSiiCacheInvalidate(ec_master* m, int position);
