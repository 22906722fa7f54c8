// Image files of simulated EEPROMs: binding a file to a slave, writing changes through
// (whole-file replacement, so a killed simulator leaves the old image), saving at exit,
// and printing a file's header.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim/eeprom_internal.h"
#include "sim/segment.h"
#include "sim/sim_options.h"
#include "wire/byte_order.h"

bool SimEepromSaveImage(SimEeprom* e) {
    if (e->path[0] == '\0') {  // no file: the image lives in memory only
        e->unsaved = false;
        return true;
    }
    char temporary[kSimEepromPathBytes + 8];
    snprintf(temporary, sizeof(temporary), "%s.new", e->path);
    FILE* file = fopen(temporary, "wb");
    if (file == nullptr) return false;
    // Little-endian, a piece at a time: an image may be 64 KiB.
    size_t length = static_cast<size_t>(e->file_bytes);
    bool written = true;
    uint8_t piece[512];
    for (size_t at = 0; at < length && written; at += sizeof(piece)) {
        size_t count = length - at < sizeof(piece) ? length - at : sizeof(piece);
        for (size_t i = 0; i < count; i++) {
            uint16_t word = e->words[(at + i) / 2];
            piece[i] = static_cast<uint8_t>(((at + i) & 1) != 0 ? word >> 8 : word);
        }
        written = fwrite(piece, 1, count, file) == count;
    }
    written = fclose(file) == 0 && written;
    // Replace the file in one step, so a simulator killed mid-write leaves the old image.
    if (!written || rename(temporary, e->path) != 0) {
        remove(temporary);
        return false;
    }
    e->unsaved = false;
    return true;
}

void SimEepromImageChanged(SimSlave* slave) {
    slave->eeprom.unsaved = true;
    SimEepromSaveImage(&slave->eeprom);
}

bool SimEepromBindFileQuietly(SimSlave* slave, const char* path, char* errbuf, size_t errbuf_size) {
    SimEeprom& e = slave->eeprom;
    if (strlen(path) >= sizeof(e.path)) {
        SimOptionFail(errbuf, errbuf_size, "image path too long: %s", path);
        return false;
    }
    const size_t capacity = 2 * static_cast<size_t>(SimEepromWordCount(&e));
    FILE* file = fopen(path, "rb");
    if (file != nullptr) {
        // Read into a copy first: a file that is refused leaves the image as it was.
        static_assert(sizeof(e.words) == 2 * kSimEepromMaxWords, "words are 16 bits");
        uint16_t* loaded = new uint16_t[kSimEepromMaxWords];
        memset(loaded, 0xFF, sizeof(uint16_t) * kSimEepromMaxWords);  // a short file: the rest reads as erased
        size_t length = 0;
        uint8_t piece[512];
        bool failed = false, too_long = false;
        for (;;) {
            size_t n = fread(piece, 1, sizeof(piece), file);
            for (size_t i = 0; i < n && !too_long; i++, length++) {
                if (length == capacity) {
                    too_long = true;
                    break;
                }
                uint16_t& word = loaded[length / 2];
                word = static_cast<uint16_t>((length & 1) != 0 ? (word & 0x00FF) | (piece[i] << 8)
                                                               : (word & 0xFF00) | piece[i]);
            }
            if (n < sizeof(piece) || too_long) break;
        }
        failed = ferror(file) != 0;
        fclose(file);
        if (failed || too_long) {
            delete[] loaded;
            if (failed)
                SimOptionFail(errbuf, errbuf_size, "cannot read %s", path);
            else
                SimOptionFail(errbuf, errbuf_size,
                              "%s holds more than the %zu bytes of the slave's EEPROM (--eeprom-size SEL:BYTES "
                              "gives it a larger one)",
                              path, capacity);
            return false;
        }
        memcpy(e.words, loaded, sizeof(uint16_t) * kSimEepromMaxWords);
        delete[] loaded;
        memcpy(e.path, path, strlen(path) + 1);
        e.file_bytes = static_cast<int>(length);
        e.unsaved = false;
        return true;
    }
    if (errno != ENOENT) {
        SimOptionFail(errbuf, errbuf_size, "cannot open %s: %s", path, strerror(errno));
        return false;
    }
    memcpy(e.path, path, strlen(path) + 1);
    e.file_bytes = static_cast<int>(capacity);
    e.unsaved = true;
    if (!SimEepromSaveImage(&e)) {
        SimOptionFail(errbuf, errbuf_size, "cannot create %s: %s", path, strerror(errno));
        e.path[0] = '\0';
        return false;
    }
    return true;
}

bool SimEepromBindFile(SimSlave* slave, const char* path) {
    char reason[kSimEepromPathBytes + 128];
    if (SimEepromBindFileQuietly(slave, path, reason, sizeof(reason))) return true;
    fprintf(stderr, "ecsim: %s\n", reason);
    return false;
}

bool SimEepromSaveAllQuietly(SimSegment* segment, char* errbuf, size_t errbuf_size) {
    if (segment == nullptr) return true;
    bool saved = true;
    for (SimSlave* slave : segment->slaves) {
        SimEeprom& e = slave->eeprom;
        // A write cycle under way completes in the EEPROM even when nobody looks.
        SimEepromFinishCommand(slave);
        if (e.unsaved && !SimEepromSaveImage(&e)) {
            SimOptionFail(errbuf, errbuf_size, "cannot write %s", e.path);
            saved = false;
        }
    }
    return saved;
}

void SimEepromSaveAll(SimSegment* segment) {
    if (segment == nullptr) return;
    for (SimSlave* slave : segment->slaves) {
        SimEeprom& e = slave->eeprom;
        SimEepromFinishCommand(slave);
        if (e.unsaved && !SimEepromSaveImage(&e)) fprintf(stderr, "ecsim: cannot write %s\n", e.path);
    }
}

int SimEepromPrintHeader(const char* path) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        fprintf(stderr, "ecsim: cannot open %s: %s\n", path, strerror(errno));
        return 1;
    }
    uint8_t bytes[16];
    size_t length = fread(bytes, 1, sizeof(bytes), file);
    fclose(file);
    if (length < sizeof(bytes)) {
        fprintf(stderr, "ecsim: %s holds fewer than 8 words\n", path);
        return 1;
    }
    for (int w = 0; w < 8; w++) printf("%04x%s", WireLoad16(bytes + 2 * w), w < 7 ? " " : "\n");
    fflush(stdout);
    return 0;
}
