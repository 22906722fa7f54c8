// What every layer's options share: refusals that name the option, the value and what
// was expected; numbers; slave selectors.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/segment.h"
#include "sim/sim_options.h"

namespace {

// A refused value is repeated in its message up to 80 bytes; a longer one by its first
// 77 and "...", so that what was expected still fits the caller's buffer.
int ShownLength(const char* value) {
    size_t length = strlen(value);
    return length > 80 ? 77 : static_cast<int>(length);
}

}  // namespace

int SimOptionFail(char* errbuf, size_t errbuf_size, const char* format, ...) {
    if (errbuf != nullptr && errbuf_size > 0) {
        va_list arguments;
        va_start(arguments, format);
        vsnprintf(errbuf, errbuf_size, format, arguments);
        va_end(arguments);
    }
    return -1;
}

int SimOptionBadValue(char* errbuf, size_t errbuf_size, const char* option, const char* value, const char* expected) {
    const char* dashes = strncmp(option, "--", 2) == 0 ? "" : "--";
    if (value == nullptr) value = "";
    int shown = ShownLength(value);
    return SimOptionFail(errbuf, errbuf_size, "bad value for %s%s: '%.*s%s' (expected %s)", dashes, option, shown,
                         value, value[shown] != '\0' ? "..." : "", expected);
}

bool SimOptionNumber(const char* text, long long low, long long high, long long* out) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    long long value = strtoll(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return false;
    *out = value;
    return true;
}

int SimOptionSelect(const SimSegment* segment, const char* option, const char* value, SimSelection* selection,
                    const char** rest, char* errbuf, size_t errbuf_size) {
    const char* dashes = strncmp(option, "--", 2) == 0 ? "" : "--";
    int count = static_cast<int>(segment->slaves.size());
    const char* colon = strchr(value, ':');
    size_t length = colon != nullptr ? static_cast<size_t>(colon - value) : strlen(value);
    *rest = colon != nullptr ? colon + 1 : nullptr;
    auto refuse = [&](const char* why) {
        int shown = ShownLength(value);
        return SimOptionFail(errbuf, errbuf_size, "bad value for %s%s: '%.*s%s' (%s)", dashes, option, shown, value,
                             value[shown] != '\0' ? "..." : "", why);
    };
    char text[32];
    if (length == 0 || length >= sizeof(text)) return refuse("expected a slave selector (N, A-B or all) first");
    memcpy(text, value, length);
    text[length] = '\0';
    if (strcmp(text, "all") == 0) {
        if (count == 0) return refuse("the segment has no slaves to select");
        *selection = SimSelection{1, count};
        return 1;
    }
    long long first = 0, last = 0;
    char* dash = strchr(text + 1, '-');  // a leading '-' is a sign, and no slave number
    if (dash != nullptr) *dash = '\0';
    if (!SimOptionNumber(text, 0, 0x7FFFFFFF, &first) ||
        (dash != nullptr && !SimOptionNumber(dash + 1, 0, 0x7FFFFFFF, &last)))
        return refuse("expected a slave selector (N, A-B or all) first");
    if (dash == nullptr) last = first;
    char why[128];
    if (last < first) {
        snprintf(why, sizeof(why), "the range %lld-%lld runs backwards", first, last);
        return refuse(why);
    }
    if (first < 1 || last > count) {
        long long outside = first < 1 ? first : last;
        if (count == 0)
            snprintf(why, sizeof(why), "slave %lld is out of range: the segment has no slaves", outside);
        else
            snprintf(why, sizeof(why), "slave %lld is out of range: the segment has %d slave%s, counted from 1",
                     outside, count, count == 1 ? "" : "s");
        return refuse(why);
    }
    *selection = SimSelection{static_cast<int>(first), static_cast<int>(last)};
    return 1;
}
