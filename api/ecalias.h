/* ecalias.h: the C interface of libecalias, an EtherCAT master for Linux.
 *
 * Conventions, for every function:
 *   - An opaque master (ec_master) is passed to every call; several masters may live in
 *     one process, each on its own adapter.
 *   - Every function returns a status: 0 (EC_OK) on success, a negative EC_E... code on
 *     failure. Results go to out-parameters, which are written only on success unless a
 *     function says otherwise.
 *   - Arguments are checked before anything is sent: a NULL master gives EC_EINVAL, a
 *     master that was closed gives EC_ECLOSED (as long as the pointer was not handed out
 *     again by a later ec_open), an unknown slave EC_ENOSLAVE, a NULL pointer, a size or
 *     a range out of bounds EC_EINVAL. A refused call sends nothing.
 *   - ec_last_error() gives the detail of the last failure on a master.
 *   - The library prints nothing.
 *
 * Slaves are addressed by their position on the line, 1 for the first slave behind the
 * master, as the last ec_scan() found them. A master describes every slave the scan
 * counts, up to EC_MAX_SLAVES (65535, the protocol's limit: the slaves are counted by a
 * 16-bit working counter); its slave table is sized by the scan.
 *
 * Threads: calls on different slaves of one master may run at once. Calls on the same
 * slave must not overlap (the slave's mailbox counter and EEPROM interface allow one
 * dialogue at a time). ec_scan() and ec_state_request() with position 0 run alone:
 * they wait for the calls in flight on that master, and later calls wait for them.
 * ec_close() waits for the calls in flight; no call may be started on a master once
 * ec_close() on it has begun.
 *
 * Usable from C and C++; link with `pkg-config --cflags --libs ecalias`.
 */
#ifndef ECALIAS_H
#define ECALIAS_H

#include <stddef.h>
#include <stdint.h>

#include "ecalias_version.h" /* ECALIAS_VERSION_MAJOR/MINOR/PATCH, ECALIAS_VERSION */

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define EC_API __attribute__((visibility("default")))
#else
#define EC_API
#endif

/* ---- Status codes ---------------------------------------------------------------- */
enum {
    EC_OK = 0,
    EC_EINVAL = -1,          /* a bad argument: NULL pointer, size or range out of bounds */
    EC_ENOSLAVE = -2,        /* no slave at that position (scan first) */
    EC_ENOFRAME = -3,        /* no frame came back */
    EC_EFOREIGN = -4,        /* a frame came back, but not the reply to the request */
    EC_EWKC = -5,            /* working counter mismatch: the slave did not execute the request */
    EC_ETIMEOUT = -6,        /* the slave did not answer in time */
    EC_EEEPROM_BUSY = -7,    /* the EEPROM interface stayed busy */
    EC_EEEPROM_NACK = -8,    /* the EEPROM refused the command (NACK) */
    EC_ESDOABORT = -9,       /* the slave aborted the SDO transfer; abort code in the detail */
    EC_EMAILBOX = -10,       /* mailbox error or unusable mailbox reply */
    EC_ENOTSUP = -11,        /* the slave does not support this (e.g. no mailbox, no CoE) */
    EC_EPERM = -12,          /* no permission to capture on the adapter */
    EC_ENOADAPTER = -13,     /* no such adapter, or it could not be opened */
    EC_ECLOSED = -14,        /* the master was closed */
    EC_ECHECKSUM = -15,      /* the SII header checksum (word 7) is wrong */
    EC_EIDENTITY = -16,      /* an SII image names another vendor or product than the slave */
    EC_EVERIFY = -17,        /* written, but the read-back differs */
    EC_EINUSE = -18,         /* the adapter is held by another master */
    EC_EEEPROM_READ = -19,   /* EEPROM words could not be read; nothing was written */
    EC_ESTATE = -20,         /* the slave did not reach the requested AL state */
    EC_ETOOBIG = -21,        /* the data does not fit the buffer given */
    EC_ENOMEM = -22,         /* out of memory */
    EC_ENOTSCANNED = -23,    /* no scan has been made on this master yet */
    EC_EFILE = -24           /* a file could not be read or written (errno in the detail) */
};

/* Flags. */
enum {
    EC_FORCE = 1u << 0,           /* ec_alias_set, ec_sii_write: write over a wrong checksum */
    EC_COMPLETE_ACCESS = 1u << 1, /* ec_sdo_*: the whole object from subindex 0 or 1 on */
    EC_DRY_RUN = 1u << 2          /* ec_sii_restore: check and compare, write nothing */
};

/* AL states. */
enum {
    EC_STATE_INIT = 1,
    EC_STATE_PREOP = 2,
    EC_STATE_BOOT = 3,
    EC_STATE_SAFEOP = 4,
    EC_STATE_OP = 8,
    EC_STATE_ERROR = 0x10 /* error indication bit of the AL status */
};

enum {
    EC_MAX_SLAVES = 65535,        /* slaves a master describes: the protocol's limit */
    EC_NAME_BYTES = 41,           /* slave name: 40 characters and a 0 */
    EC_TEXT_BYTES = 256,          /* texts in ec_error_detail and ec_adapter_info */
    EC_SII_MAX_WORDS = 32768,     /* 64 KiB */
    EC_SII_HEADER_WORDS = 8,      /* words 0-7: the configuration area */
    EC_MAX_DATAGRAM_BYTES = 1486, /* largest register access in one call */
    EC_PATH_BYTES = 4096          /* file paths in reports */
};

typedef struct ec_master ec_master;

/* ---- Versions and error texts ------------------------------------------------------ */

/* The library's version, "MAJOR.MINOR.PATCH", as ECALIAS_VERSION when it was built.
 * Always succeeds. */
EC_API const char* ec_version(void);

/* An English sentence for a status code (an unknown code gets a sentence saying so).
 * Never NULL; the text is static. */
EC_API const char* ec_strerror(int code);

/* An English text for a CoE SDO abort code, e.g. 0x06020000 "object does not exist in
 * the object dictionary". Unknown codes get "unknown abort code". Never NULL. */
EC_API const char* ec_sdo_abort_text(uint32_t abort_code);

/* The detail of a failure. */
typedef struct ec_error_detail {
    int code;                      /* EC_E... of the failure, 0 when none was recorded */
    int position;                  /* the slave concerned, 0 when none */
    char step[64];                 /* what was being done, e.g. "write SII word 4" */
    uint32_t sdo_abort_code;       /* EC_ESDOABORT: the slave's abort code, else 0 */
    const char* sdo_abort_text;    /* ec_sdo_abort_text(sdo_abort_code), or "" */
    uint16_t al_status_code;       /* EC_ESTATE: AL status code the slave reported */
    char adapter_text[EC_TEXT_BYTES]; /* ec_open: the adapter's own error text; EC_EFILE:
                                         "FILE: the system's reason"; else "" */
} ec_error_detail;

/* The last failure recorded on `m` (a later failure of any call on `m` replaces it; a
 * success does not clear it). With m NULL: the last failed ec_open() of the calling
 * thread. Returns 0 and fills *out (code 0 when nothing failed yet); EC_EINVAL when
 * out is NULL; EC_ECLOSED for a closed master. */
EC_API int ec_last_error(const ec_master* m, ec_error_detail* out);

/* ---- Masters and adapters ---------------------------------------------------------- */

/* Opens a master on an adapter: a capture adapter name (e.g. "eth1"), opened with
 * libpcap under the one-master-per-adapter lock, or "sim:OPTIONS" for an in-process
 * virtual segment described by ecsim's options (e.g. "sim:--slaves 5"), which needs no
 * privileges. Nothing is sent; call ec_scan() next. On failure *out is set to NULL and
 * the detail is available with ec_last_error(NULL, ...):
 *   EC_EINUSE      another master holds the adapter (the text names its process)
 *   EC_EPERM       no capture permission; the text says to grant it with
 *                  `setcap cap_net_raw,cap_net_admin+ep PROGRAM` or to run as root
 *   EC_ENOADAPTER  no such adapter, a bad "sim:" description, or another open failure
 *   EC_EINVAL      adapter or out NULL, or an empty name. */
EC_API int ec_open(const char* adapter, ec_master** out);

/* Closes the adapter and frees the master; waits for calls in flight on it. After it,
 * calls with the same pointer return EC_ECLOSED, and a second ec_close() of it is a
 * caller's bug as with free(). NULL: EC_EINVAL. */
EC_API int ec_close(ec_master* m);

/* One capture adapter, as ec_adapters() found it. */
typedef struct ec_adapter_info {
    char name[EC_TEXT_BYTES];
    char description[EC_TEXT_BYTES];
    int status;              /* 0 when it could be opened, else EC_EPERM, EC_EINUSE, ... */
    int slaves;              /* slaves answering a broadcast read; -1 when not opened */
    char error[EC_TEXT_BYTES]; /* the reason it could not be opened, else "" */
} ec_adapter_info;

/* Lists the capture adapters (pseudo devices such as any, nflog, nfqueue, dbus-*,
 * bluetooth-monitor and usbmon* are skipped) and counts on each the slaves answering a
 * broadcast read of register 0 (nothing is written). Fills up to `capacity` entries of
 * `list` (which may be NULL when capacity is 0) and sets *count to the number of
 * adapters found, which may exceed capacity. EC_ENOADAPTER when the adapters could not
 * be listed; EC_EINVAL for a NULL count or a NULL list with capacity above 0. */
EC_API int ec_adapters(ec_adapter_info* list, size_t capacity, size_t* count);

/* ---- Slaves ------------------------------------------------------------------------ */

/* Mailbox protocols (ec_slave_info.mailbox_protocols). */
enum { EC_MBX_AOE = 0x01, EC_MBX_EOE = 0x02, EC_MBX_COE = 0x04, EC_MBX_FOE = 0x08, EC_MBX_SOE = 0x10 };

/* Parts of a slave record (ec_slave_info.parts_read). */
enum {
    EC_PART_ALIAS_REGISTER = 1u << 0,
    EC_PART_SII_ALIAS = 1u << 1,
    EC_PART_IDENTITY = 1u << 2, /* vendor, product, revision */
    EC_PART_SERIAL = 1u << 3,
    EC_PART_NAME = 1u << 4,
    EC_PART_MAILBOX = 1u << 5,
    EC_PART_STATE = 1u << 6,
    EC_PART_SII_SIZE = 1u << 7,
    EC_PART_ALL = 0xFF
};

typedef struct ec_slave_info {
    int position;              /* 1 for the first slave */
    uint16_t station_address;  /* configured station address */
    uint16_t alias_register;   /* ESC register 0x0012: the alias the slave loaded at power-on */
    uint16_t sii_alias;        /* SII word 4: the alias it will load at the next power-on */
    uint32_t vendor_id;        /* SII words 8-9 */
    uint32_t product_code;     /* SII words 0x0A-0x0B */
    uint32_t revision;         /* SII words 0x0C-0x0D */
    uint32_t serial;           /* SII words 0x0E-0x0F */
    char name[EC_NAME_BYTES];  /* SII string 1, or "" when there is none */
    uint16_t mailbox_write_offset, mailbox_write_size; /* SII words 0x18-0x19 */
    uint16_t mailbox_read_offset, mailbox_read_size;   /* SII words 0x1A-0x1B */
    uint16_t mailbox_protocols; /* SII word 0x1C: EC_MBX_... */
    uint16_t al_state;          /* AL status register 0x0130 */
    uint16_t al_status_code;    /* AL status code register 0x0134 */
    uint32_t sii_words;         /* EEPROM size in words, from SII word 0x3E */
    unsigned parts_read;        /* EC_PART_... of the parts read */
    int complete;               /* 1 when every part of this record was read */
} ec_slave_info;

/* Counts the slaves, gives them station addresses, reads every slave's record and
 * makes the slaves with a mailbox ready for SDO traffic. The line keeps running: no
 * state is requested of a slave past INIT and none of its FMMU, SyncManager or DC
 * settings is touched (its mailbox is where its SyncManagers 0 and 1 say); a slave
 * found in INIT gets its mailbox SyncManagers and PRE-OP. To start from INIT, request
 * it with ec_state_request(m, 0, EC_STATE_INIT, ...). Runs alone on the master. *count (may be NULL) gets the slave count, at most
 * EC_MAX_SLAVES. EC_ENOFRAME when no frame came back; 0 slaves is a success. A record
 * whose parts could not all be read has complete 0 (see ec_slave_info.parts_read).
 * EC_ENOMEM when the records of the slaves counted could not be allocated; the master
 * then has no slaves until a scan succeeds. */
EC_API int ec_scan(ec_master* m, int* count);

/* The slave count of the last scan (0 before). */
EC_API int ec_slave_count(const ec_master* m, int* count);

/* The record the last scan made of the slave at `position` (1..count). */
EC_API int ec_slave_info_get(const ec_master* m, int position, ec_slave_info* out);

/* ---- SII EEPROM ---------------------------------------------------------------------- */

/* What a verified SII write did. */
typedef struct ec_sii_report {
    unsigned words_written;  /* words the slave acknowledged */
    unsigned attempts;       /* write commands sent, repeats included */
    int verified;            /* 1 when every word read back as written */
    int first_mismatch;      /* the first word that read back otherwise, -1 none */
} ec_sii_report;

/* Reads `count` words from `first_word` on into `words`. The range must lie inside the
 * EEPROM size that word 0x3E announces (at most 64 KiB); EC_EINVAL otherwise. Each word
 * is read up to 5 times. The EEPROM goes back to the slave's PDI afterwards if it was
 * there before. EC_EEEPROM_READ when a word could not be read (words stays partly
 * written). */
EC_API int ec_sii_read(ec_master* m, int position, uint32_t first_word, uint32_t count, uint16_t* words);

/* Writes `count` words from `first_word` on and reads them back. When the range touches
 * words 0-7 the header those words make (with the EEPROM's other header words) must
 * carry a right checksum in word 7, else EC_ECHECKSUM and nothing is written, unless
 * flags has EC_FORCE. Range as ec_sii_read. When a word could not be written (the
 * words before it are written): EC_EEEPROM_NACK (refused), EC_EEEPROM_BUSY (the
 * interface stayed busy), EC_ENOFRAME (the slave did not answer) or EC_ETIMEOUT (the
 * interface answers idle, yet no write was confirmed). Each word is tried up to 10 times.
 * EC_EVERIFY when the read-back differs. The master's SII cache is invalidated. The
 * EEPROM goes back to the PDI afterwards if it was there before. report may be NULL. */
EC_API int ec_sii_write(ec_master* m, int position, uint32_t first_word, uint32_t count, const uint16_t* words,
                        unsigned flags, ec_sii_report* report);

/* CRC-8 of SII words 0-6 (polynomial 0x07, initial 0xFF, over 14 bytes, low byte
 * first): the value the low byte of word 7 must hold. */
EC_API int ec_sii_checksum(const uint16_t header[7], uint8_t* checksum);

/* Checks an SII image before it is restored: at least 8 words, and the checksum in
 * word 7 right (EC_ECHECKSUM); with position above 0 and an image of at least 12 words,
 * vendor (words 8-9) and product code (words 0x0A-0x0B) equal to the scanned slave's
 * (EC_EIDENTITY). m may be NULL when position is 0. */
EC_API int ec_sii_check_image(const ec_master* m, int position, const uint16_t* words, size_t count);

/* ---- SII images and backups ------------------------------------------------------ */

/* Reads the slave's whole SII image into words (capacity words): up to and including
 * the end-of-categories marker (category type 0xFFFF); where there is none, up to the
 * EEPROM size word 0x3E announces, capped at EC_SII_MAX_WORDS. *count gets the words
 * read. EC_ETOOBIG when capacity is too small (*count then says how many are needed);
 * the read errors of ec_sii_read. */
EC_API int ec_sii_read_image(ec_master* m, int position, uint16_t* words, size_t capacity, size_t* count);

/* Saves the slave's whole SII image (as ec_sii_read_image reads it, little-endian words,
 * the format `ecalias sii dump -o` writes and ec_sii_restore takes) into a new file in
 * directory dir (NULL or "": the current directory), named after the slave's position,
 * vendor, product, serial and a UTC time stamp. An existing file is never overwritten.
 * path (path_size bytes, may be NULL when path_size is 0) gets the file's path.
 * The name is slaveP-vendorVVVVVVVV-productPPPPPPPP-serialSSSSSSSS-YYYYMMDDTHHMMSSZ.bin
 * (identity in hex from the image's words 8-15), with -2, -3, ... before .bin when
 * that name is taken. The file is created exclusively, written whole and flushed to
 * disk before the call returns. EC_EFILE when the file could not be made or written
 * (nothing is left behind; the file and errno's text are in the detail's adapter_text);
 * EC_ETOOBIG when the path does not fit path_size (no file is left either). */
EC_API int ec_sii_backup(ec_master* m, int position, const char* dir, char* path, size_t path_size);

/* What a restore did (or, with EC_DRY_RUN, would do). */
typedef struct ec_sii_restore_report {
    unsigned words_compared;   /* words of the image compared with the EEPROM */
    unsigned words_differing;  /* words that differed: written, or to be written */
    unsigned words_written;    /* words the slave acknowledged */
    unsigned words_verified;   /* written words that read back as written */
    int first_failed_word;     /* the first word not written or not verified; -1 none */
    char backup_path[EC_PATH_BYTES]; /* the backup made before writing; "" when none */
} ec_sii_restore_report;

/* Restores an SII image (words[0..count), 8 to EC_SII_MAX_WORDS words) into the slave:
 * checks it as ec_sii_check_image does (EC_ECHECKSUM, EC_EIDENTITY; EC_FORCE skips both;
 * EC_ETOOBIG when the image is larger than the EEPROM word 0x3E announces), reads the
 * EEPROM and compares (EC_EEEPROM_READ, nothing written), saves a backup into backup_dir
 * as ec_sii_backup does (no backup, no write), writes only the words that differ, in
 * ascending order, and reads every written word back (EC_EVERIFY). A failed write or
 * read-back gives the statuses of ec_sii_write and report->first_failed_word; the words
 * before it are written and verified, and a second restore of the same image writes
 * what is still missing. When nothing differs, nothing is written and no backup made.
 * With EC_DRY_RUN it checks and compares only: no backup, nothing written. report may be
 * NULL. */
EC_API int ec_sii_restore(ec_master* m, int position, const uint16_t* words, size_t count, unsigned flags,
                          const char* backup_dir, ec_sii_restore_report* report);

/* ---- Station alias ----------------------------------------------------------------- */

typedef struct ec_alias_report {
    uint16_t before[EC_SII_HEADER_WORDS];  /* words 0-7 as read before writing */
    int stored_checksum_ok;  /* the checksum in word 7 matched words 0-6 before */
    uint16_t alias_written;  /* the value written into word 4 */
    uint16_t checksum_written; /* the value written into word 7 */
    int alias_acknowledged;    /* word 4 written */
    int checksum_acknowledged; /* word 7 written */
    int attempts;              /* write commands sent for both words */
    uint16_t after[EC_SII_HEADER_WORDS]; /* words 0-7 as read back */
    unsigned after_read;       /* bit n: word n was read back */
    int verified;              /* words 0-7 read back exactly as written */
    uint16_t alias_register;   /* ESC register 0x0012 after writing */
    int register_read;         /* 1 when register 0x0012 could be read */
    int register_shows_new;    /* 1 when 0x0012 already holds the new alias (normally not
                                  before the slave is powered again) */
} ec_alias_report;

/* Sets the station alias in the slave's SII: reads words 0-7 (kept in report->before),
 * writes `value` into word 4 and the recomputed checksum into word 7, reads 0-7 back.
 * The slave loads the new alias at its next power-on. Refused with nothing written:
 * EC_EEEPROM_READ when words 0-6 cannot all be read (EC_FORCE does not change this),
 * EC_ECHECKSUM when the stored checksum is already wrong and flags lack EC_FORCE.
 * Word 7 is never written after a failed word 4. A write that fails gives the statuses
 * of ec_sii_write (report->alias_acknowledged / checksum_acknowledged say which word);
 * EC_EVERIFY when the read-back differs. The words 0-7 are read back in every case
 * once a write was tried. Signals are not held: a process that may be stopped between
 * the two words should block them around the call. report may be NULL. */
EC_API int ec_alias_set(ec_master* m, int position, uint16_t value, unsigned flags, ec_alias_report* report);

/* ---- CoE SDO ----------------------------------------------------------------------- */

/* Reads object index:subindex into data. *size: the capacity of data on entry, the
 * bytes delivered on success. EC_ESDOABORT with the abort code in the detail,
 * EC_ETOOBIG when the object is larger than the capacity, EC_ENOTSUP for a slave
 * without a mailbox, EC_ETIMEOUT when no answer came, EC_EMAILBOX for a mailbox error
 * or an unusable reply. timeout_us: for each answer (0..INT32_MAX). */
EC_API int ec_sdo_upload(ec_master* m, int position, uint16_t index, uint8_t subindex, unsigned flags, void* data,
                         size_t* size, int timeout_us);

/* Writes size bytes (1..65535) of data to object index:subindex. Results as
 * ec_sdo_upload. */
EC_API int ec_sdo_download(ec_master* m, int position, uint16_t index, uint8_t subindex, unsigned flags,
                           const void* data, size_t size, int timeout_us);

/* ---- ESC registers and memory (FPRD/FPWR) --------------------------------------- */

/* Reads `length` bytes (1..1486) of the slave controller's registers/memory from
 * `address` on. EC_EWKC when the slave did not execute the read. */
EC_API int ec_reg_read(ec_master* m, int position, uint16_t address, void* data, size_t length, int timeout_us);
/* Writes `length` bytes (1..1486) into the registers/memory from `address` on. */
EC_API int ec_reg_write(ec_master* m, int position, uint16_t address, const void* data, size_t length,
                        int timeout_us);

/* ---- Device register window (CoE objects 0x7012 command, 0x7013 data) -------------- */

/* Reads device register `reg` (low 24 bits count) through the window: the command goes
 * to 0x7012, the value comes from 0x7013. */
EC_API int ec_window_read(ec_master* m, int position, uint32_t reg, uint32_t* value);
/* Writes device register `reg` through the window: the value to 0x7013, then the write
 * command to 0x7012 (no command after a failed value download). */
EC_API int ec_window_write(ec_master* m, int position, uint32_t reg, uint32_t value);

/* ---- AL state ---------------------------------------------------------------------- */

/* Requests AL state `state` (EC_STATE_INIT, _PREOP, _BOOT, _SAFEOP, _OP) of the slave
 * at `position`, or of every slave with position 0 (runs alone on the master), and
 * waits up to timeout_us for it. EC_ESTATE with the AL status code in the detail when
 * it was not reached; a slave that shows its error indication in another state has
 * refused, and the call returns then rather than at the timeout (the slave follows no
 * request until the error is acknowledged: add EC_STATE_ERROR to the state). */
EC_API int ec_state_request(ec_master* m, int position, uint16_t state, int timeout_us);

/* Reads the AL status (0x0130) and AL status code (0x0134) of the slave. Either out
 * pointer may be NULL, not both. */
EC_API int ec_state_read(ec_master* m, int position, uint16_t* state, uint16_t* status_code);

/* An English text for an AL status code (register 0x0134), e.g. 0x0011 "invalid requested
 * state change", 0x0050 "EEPROM not accessible". Codes from 0x8000 on get
 * "vendor-specific status code", other unknown codes "unknown status code". Never NULL;
 * the text is static. */
EC_API const char* ec_al_status_text(uint16_t code);

/* ---- Many slaves at once ------------------------------------------------------------ */

/* The calls of this section do for a list of slaves what the SII and alias calls above
 * do for one, with every slave's EEPROM worked on at the same time (their datagrams
 * share frames), so a whole segment takes about as long as one slave. Common rules:
 *   - Each entry names a slave by position and gets its own results: `status` (EC_OK or
 *     why this slave failed, with the codes the one-slave call gives) and `step` (what
 *     failed, e.g. "write SII word 7 (checksum)"; "" when it succeeded). One slave's
 *     failure never fails or stops the others.
 *   - The call returns EC_OK when every entry succeeded, else the status of the first
 *     entry (in list order) that failed; ec_last_error() then names that entry's slave
 *     and step.
 *   - Refused with nothing sent, every entry's status set to the returned code: a NULL
 *     master or list (EC_EINVAL), a closed master (EC_ECLOSED), a count of 0, an entry
 *     with a NULL buffer or a size out of bounds (EC_EINVAL), a position outside
 *     1..count (EC_ENOSLAVE), a slave named twice where the call writes (EC_EINVAL),
 *     out of memory (EC_ENOMEM).
 *   - Threads: the call is a call on every slave it names: no other call on one of them
 *     may overlap it.
 * Entries are read and written by the call only; nothing is kept after it returns. */

/* One range of one slave for ec_sii_read_many. */
typedef struct ec_sii_range {
    int position;          /* the slave */
    uint32_t first_word;   /* the range: count words from first_word on, inside the EEPROM */
    uint32_t count;        /* 1..EC_SII_MAX_WORDS */
    uint16_t* words;       /* count words; receives the words read */
    int status;            /* out: EC_OK; EC_EEEPROM_READ; EC_EINVAL for a range past the
                              EEPROM size word 0x3E announces (nothing read) */
    uint32_t words_read;   /* out: words read from first_word on (also on failure) */
    char step[64];         /* out: what failed, "" when nothing did */
} ec_sii_range;

/* Reads every range (as ec_sii_read does for one; a slave may be named in several
 * ranges, read one after the other). */
EC_API int ec_sii_read_many(ec_master* m, ec_sii_range* ranges, size_t count);

/* One slave's whole SII image for ec_sii_read_image_many. */
typedef struct ec_sii_image_entry {
    int position;          /* the slave */
    uint16_t* words;       /* capacity words; receives the image */
    size_t capacity;       /* 1..EC_SII_MAX_WORDS */
    size_t count;          /* out: words read; with EC_ETOOBIG the words needed */
    int status;            /* out: EC_OK, EC_EEEPROM_READ or EC_ETOOBIG */
    char step[64];         /* out: what failed, "" when nothing did */
} ec_sii_image_entry;

/* Reads every entry's slave's whole image as ec_sii_read_image does: up to and including
 * the end-of-categories marker, else the size word 0x3E announces. A slave named twice
 * is read twice. */
EC_API int ec_sii_read_image_many(ec_master* m, ec_sii_image_entry* images, size_t count);

/* One backup for ec_sii_backup_many. */
typedef struct ec_sii_backup_entry {
    int position;               /* the slave */
    int status;                 /* out: the statuses of ec_sii_backup */
    char step[64];              /* out: what failed, "" when nothing did */
    char path[EC_PATH_BYTES];   /* out: the backup file; "" when none was made */
} ec_sii_backup_entry;

/* Saves every entry's slave's whole image into a new file in dir (NULL or "": the
 * current directory), as ec_sii_backup does: the same names, never an existing file
 * replaced, each file written whole and flushed to disk before the call returns, a
 * failed one removed. The images are read together and the files flushed together. */
EC_API int ec_sii_backup_many(ec_master* m, ec_sii_backup_entry* entries, size_t count, const char* dir);

/* One restore for ec_sii_restore_many. */
typedef struct ec_sii_restore_entry {
    int position;               /* the slave; each slave at most once */
    const uint16_t* words;      /* the image, count words (8..EC_SII_MAX_WORDS) */
    size_t count;
    int status;                 /* out: the statuses of ec_sii_restore */
    char step[64];              /* out: what failed, "" when nothing did */
    ec_sii_restore_report report; /* out: as ec_sii_restore fills it */
} ec_sii_restore_entry;

/* Restores every entry's image into its slave with the checks and steps of
 * ec_sii_restore, each step for all slaves at once: the image judged (checksum and
 * identity unless EC_FORCE; EC_ETOOBIG past the EEPROM), the EEPROM read and compared,
 * a backup into backup_dir for every slave with a differing word (no backup, no write),
 * then the runs of differing words in ascending order, each run written on every slave
 * and read back before the next (a slave whose write or read-back failed gets no later
 * run: its report names the first word not written or not verified). EC_DRY_RUN
 * compares only. */
EC_API int ec_sii_restore_many(ec_master* m, ec_sii_restore_entry* entries, size_t count, unsigned flags,
                               const char* backup_dir);

/* One alias for ec_alias_set_many. */
typedef struct ec_alias_entry {
    int position;               /* the slave; each slave at most once */
    uint16_t value;             /* the new station alias */
    int status;                 /* out: the statuses of ec_alias_set */
    char step[64];              /* out: what failed, "" when nothing did */
    ec_alias_report report;     /* out: as ec_alias_set fills it */
} ec_alias_entry;

/* Sets every entry's station alias with the rules of ec_alias_set, each step for all
 * slaves at once: words 0-7 read (report.before); refused for that slave alone, with
 * nothing written, when words 0-6 cannot all be read (EC_EEEPROM_READ, also with
 * EC_FORCE) or the stored checksum is wrong without EC_FORCE (EC_ECHECKSUM); word 4, and
 * only after it was written, word 7 with the recomputed checksum (its high byte kept);
 * words 0-7 read back on every slave where a write was tried; register 0x0012 read.
 * A slave whose word 4 was written and word 7 not has report.alias_acknowledged 1 and
 * checksum_acknowledged 0: its stored checksum is wrong until the alias is set again
 * with EC_FORCE. Signals are not held: block them around the call (all slaves are
 * written together). */
EC_API int ec_alias_set_many(ec_master* m, ec_alias_entry* entries, size_t count, unsigned flags);

#ifdef __cplusplus
}
#endif

#endif /* ECALIAS_H */
