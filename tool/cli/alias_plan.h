// An alias plan: the CSV file that assigns station aliases to a whole line, and the
// checks every row passes before anything is written.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct PlanRow {
    int line = 0;  // line number in the file (1 = the header)
    uint32_t position = 0;
    uint16_t alias = 0;
    bool has_vendor = false, has_product = false, has_serial = false;
    uint32_t vendor = 0, product = 0, serial = 0;
};

// Parses a plan: a header line naming the columns (position and alias required; vendor,
// product, serial optional; any order), then one row per slave. Fields may be padded
// with spaces or tabs and wrapped in double quotes; lines may end in CR LF; blank lines
// and lines starting with # are skipped. An optional column may be left empty in a row.
// False with *error ("line N: ...") for anything else: unknown or repeated columns, a
// wrong field count, a number out of range, a position given twice, no rows.
bool ParseAliasPlan(const std::string& text, std::vector<PlanRow>* rows, std::string* error);

// What the segment holds of one slave, for the checks.
struct PlanSlave {
    int position = 0;
    bool identity_read = false;
    uint32_t vendor = 0, product = 0;
    bool serial_read = false;
    uint32_t serial = 0;
    bool sii_alias_read = false;
    uint16_t sii_alias = 0;
};

// Checks every row against the segment (slaves[n] is the slave at position n+1): the
// slave exists, vendor/product/serial match where the row gives them, and no non-zero
// alias appears twice among the planned aliases and the SII aliases of every slave the
// plan leaves alone. problems gets one list per row (empty: fine). True when no row has
// a problem.
bool CheckAliasPlan(const std::vector<PlanRow>& rows, const std::vector<PlanSlave>& slaves,
                    std::vector<std::vector<std::string>>* problems);
