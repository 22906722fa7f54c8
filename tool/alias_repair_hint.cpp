#include "tool/alias_repair_hint.h"

#include <cstdio>

namespace {

// What words 4 and 7 of the EEPROM hold after the run, as far as the dialog knows.
enum class HeaderState {
    kUnknown,     // the second dump could not read word 4 or word 7
    kUnchanged,   // the old alias and the old checksum word
    kHalf,        // the new alias next to a checksum word that does not belong to it
    kNew,         // the new alias with its checksum
    kOther,       // anything else
};

constexpr uint8_t kAliasAndChecksumRead = (1u << kAliasWord) | (1u << kChecksumWord);

HeaderState StateAfterwards(const AliasDialogOutcome& o) {
    if ((o.second_dump_read & kAliasAndChecksumRead) != kAliasAndChecksumRead) return HeaderState::kUnknown;
    const uint16_t alias = o.second_dump[kAliasWord];
    const uint16_t checksum_word = o.second_dump[kChecksumWord];
    const uint16_t old_checksum_word =
        static_cast<uint16_t>(o.header[2 * kChecksumWord] | (o.header[2 * kChecksumWord + 1] << 8));
    if (alias == o.new_config_id) return checksum_word == o.checksum ? HeaderState::kNew : HeaderState::kHalf;
    if (alias == o.old_alias && checksum_word == old_checksum_word) return HeaderState::kUnchanged;
    return HeaderState::kOther;
}

}  // namespace

bool AliasRepairHint(const AliasDialogOutcome& o, char* text, size_t size) {
    if (size == 0) return false;
    text[0] = '\0';
    if (o.passed) return false;
    if (!o.input_accepted) {
        if (o.input == OperatorInput::kEndOfInput)
            snprintf(text, size, "ecalias: no config_id was read from standard input; nothing was written\n");
        else
            snprintf(text, size,
                     "ecalias: the config_id must be a whole decimal number from 0 to 65535; nothing was written\n");
        return true;
    }
    if (!o.header_read) {
        snprintf(text, size,
                 "ecalias: slave 1 did not deliver word %d of its EEPROM header; nothing was written; run ecalias "
                 "again once the module answers\n",
                 o.unreadable_word);
        return true;
    }

    if (o.alias_written && o.checksum_written) {
        // Both writes confirmed; the check afterwards failed.
        if (!o.header_read_back && o.second_dump_read == 0xFF)
            snprintf(text, size,
                     "ecalias: slave 1 took both writes, but its header does not read back as written; run ecalias "
                     "again to rewrite both words\n");
        else
            snprintf(text, size,
                     "ecalias: slave 1 took both writes, but they could not be checked; run ecalias again once the "
                     "module answers to check them\n");
        return true;
    }

    // Why the write loop gave up.
    const char* which = o.alias_written ? "checksum write" : "alias write";
    char cause[96];
    switch (o.write_stop) {
        case WriteStop::kNoAnswer:
            snprintf(cause, sizeof cause, "%s",
                     o.alias_written ? "stopped answering between the alias and checksum writes"
                                     : "stopped answering during the alias write");
            break;
        case WriteStop::kRefused:
            snprintf(cause, sizeof cause, "refused the %s (its EEPROM reported an error)", which);
            break;
        case WriteStop::kBusy:
            snprintf(cause, sizeof cause, "kept its EEPROM busy during the %s", which);
            break;
        case WriteStop::kUnconfirmed:
        case WriteStop::kNone:
        default:
            snprintf(cause, sizeof cause, "did not confirm the %s", which);
            break;
    }
    const bool absent = o.write_stop == WriteStop::kNoAnswer || o.write_stop == WriteStop::kBusy;
    const char* again = absent ? "run ecalias again once the module answers" : "run ecalias again";

    // What the EEPROM holds: what the second dump read, else what the writes tell.
    HeaderState state = StateAfterwards(o);
    if (state == HeaderState::kUnknown) {
        if (o.alias_written)
            state = HeaderState::kHalf;  // word 4 confirmed, word 7 not
        else if (o.write_stop == WriteStop::kRefused)
            state = HeaderState::kUnchanged;  // a refused write stores nothing
    }
    switch (state) {
        case HeaderState::kHalf:
            snprintf(text, size,
                     "ecalias: slave 1 %s: its EEPROM now holds alias %u with a wrong checksum; %s to rewrite both "
                     "words\n",
                     cause, static_cast<unsigned>(o.new_config_id), again);
            break;
        case HeaderState::kUnchanged:
            snprintf(text, size, "ecalias: slave 1 %s: its EEPROM still holds alias %u; %s\n", cause,
                     static_cast<unsigned>(o.old_alias), again);
            break;
        case HeaderState::kNew:
            snprintf(text, size,
                     "ecalias: slave 1 %s, but its EEPROM holds alias %u with its checksum; %s to confirm it\n", cause,
                     static_cast<unsigned>(o.new_config_id), again);
            break;
        case HeaderState::kOther:
            snprintf(text, size,
                     "ecalias: slave 1 %s: its EEPROM header does not hold what was written; %s to rewrite both "
                     "words\n",
                     cause, again);
            break;
        case HeaderState::kUnknown:
        default:
            snprintf(text, size,
                     "ecalias: slave 1 %s: its EEPROM holds either alias %u as before or alias %u with a wrong "
                     "checksum; %s to rewrite both words\n",
                     cause, static_cast<unsigned>(o.old_alias), static_cast<unsigned>(o.new_config_id), again);
            break;
    }
    return true;
}
