#include "tool/cli/alias_plan.h"

#include <cstdio>
#include <map>

#include "tool/cli/cli.h"

namespace {

enum Column { kPosition, kAlias, kVendor, kProduct, kSerial, kColumns };
const char* const kColumnNames[kColumns] = {"position", "alias", "vendor", "product", "serial"};
constexpr size_t kMaxRows = 65535;
constexpr size_t kMaxFields = 16;

std::string Trim(const std::string& field) {
    size_t first = 0, last = field.size();
    while (first < last && (field[first] == ' ' || field[first] == '\t')) first++;
    while (last > first && (field[last - 1] == ' ' || field[last - 1] == '\t' || field[last - 1] == '\r')) last--;
    return field.substr(first, last - first);
}

// Splits a line at commas; false for a quote that does not wrap a whole field.
bool SplitFields(const std::string& line, std::vector<std::string>* fields) {
    fields->clear();
    size_t start = 0;
    while (true) {
        const size_t comma = line.find(',', start);
        std::string field = Trim(line.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (field.size() >= 2 && field.front() == '"' && field.back() == '"') field = Trim(field.substr(1, field.size() - 2));
        if (field.find('"') != std::string::npos) return false;
        fields->push_back(field);
        if (fields->size() > kMaxFields) return false;
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

std::string LinePrefix(int line) { return "line " + std::to_string(line) + ": "; }

std::string Hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

}  // namespace

bool ParseAliasPlan(const std::string& text, std::vector<PlanRow>* rows, std::string* error) {
    rows->clear();
    int columns[kMaxFields];
    size_t column_count = 0;
    std::vector<std::string> fields;
    std::map<uint32_t, int> position_lines;
    int line_number = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        line_number++;
        if (line.find('\0') != std::string::npos) {
            *error = LinePrefix(line_number) + "a NUL byte; this is not a text file";
            return false;
        }
        const std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == '#') continue;
        if (!SplitFields(trimmed, &fields)) {
            *error = LinePrefix(line_number) + (fields.size() > kMaxFields ? "too many fields" : "a stray double quote");
            return false;
        }
        if (column_count == 0) {
            // The header.
            bool seen[kColumns] = {};
            for (const std::string& name : fields) {
                int found = -1;
                for (int c = 0; c < kColumns; c++)
                    if (name == kColumnNames[c]) found = c;
                if (found < 0) {
                    *error = LinePrefix(line_number) + "unknown column \"" + name +
                             "\" (the columns are position, alias, vendor, product, serial)";
                    return false;
                }
                if (seen[found]) {
                    *error = LinePrefix(line_number) + "column \"" + name + "\" given twice";
                    return false;
                }
                seen[found] = true;
                columns[column_count++] = found;
            }
            if (!seen[kPosition] || !seen[kAlias]) {
                *error = LinePrefix(line_number) + "the header must name the columns position and alias (got \"" +
                         trimmed + "\")";
                return false;
            }
            continue;
        }
        if (fields.size() != column_count) {
            *error = LinePrefix(line_number) + std::to_string(fields.size()) + " fields, the header names " +
                     std::to_string(column_count);
            return false;
        }
        if (rows->size() >= kMaxRows) {
            *error = LinePrefix(line_number) + "more rows than a segment has slaves";
            return false;
        }
        PlanRow row;
        row.line = line_number;
        for (size_t n = 0; n < column_count; n++) {
            const int column = columns[n];
            const std::string& field = fields[n];
            if (field.empty()) {
                if (column == kPosition || column == kAlias) {
                    *error = LinePrefix(line_number) + "no " + kColumnNames[column] + " given";
                    return false;
                }
                continue;  // an optional check left out for this row
            }
            const uint64_t max = column == kPosition || column == kAlias ? 65535 : UINT32_MAX;
            uint64_t value = 0;
            if (!ParseNumber(field.c_str(), max, &value) || (column == kPosition && value == 0)) {
                *error = LinePrefix(line_number) + "bad " + kColumnNames[column] + " \"" + field + "\": " +
                         (column == kPosition  ? "a whole number from 1 (the first slave)"
                          : column == kAlias   ? "a whole number 0-65535 (decimal or 0x)"
                                               : "a whole number 0-4294967295 (decimal or 0x)");
                return false;
            }
            switch (column) {
            case kPosition: row.position = static_cast<uint32_t>(value); break;
            case kAlias: row.alias = static_cast<uint16_t>(value); break;
            case kVendor: row.has_vendor = true, row.vendor = static_cast<uint32_t>(value); break;
            case kProduct: row.has_product = true, row.product = static_cast<uint32_t>(value); break;
            default: row.has_serial = true, row.serial = static_cast<uint32_t>(value); break;
            }
        }
        const auto taken = position_lines.find(row.position);
        if (taken != position_lines.end()) {
            *error = LinePrefix(line_number) + "position " + std::to_string(row.position) + " is already planned on line " +
                     std::to_string(taken->second);
            return false;
        }
        position_lines[row.position] = line_number;
        rows->push_back(row);
    }
    if (column_count == 0) {
        *error = "no header line (position,alias[,vendor,product,serial])";
        return false;
    }
    if (rows->empty()) {
        *error = "no rows after the header";
        return false;
    }
    return true;
}

bool CheckAliasPlan(const std::vector<PlanRow>& rows, const std::vector<PlanSlave>& slaves,
                    std::vector<std::vector<std::string>>* problems) {
    problems->assign(rows.size(), {});
    // The alias each slave will carry after the plan, and who gives it.
    std::vector<int> planned_row(slaves.size(), -1);
    for (size_t r = 0; r < rows.size(); r++) {
        const PlanRow& row = rows[r];
        std::vector<std::string>& list = (*problems)[r];
        if (row.position > slaves.size()) {
            list.push_back("no slave at position " + std::to_string(row.position) + " (" +
                           std::to_string(slaves.size()) + " on the segment)");
            continue;
        }
        planned_row[row.position - 1] = static_cast<int>(r);
        const PlanSlave& slave = slaves[row.position - 1];
        if ((row.has_vendor || row.has_product) && !slave.identity_read)
            list.push_back("the slave's identity could not be read");
        if (row.has_vendor && slave.identity_read && row.vendor != slave.vendor)
            list.push_back("vendor " + Hex(row.vendor) + " planned, the slave has " + Hex(slave.vendor));
        if (row.has_product && slave.identity_read && row.product != slave.product)
            list.push_back("product " + Hex(row.product) + " planned, the slave has " + Hex(slave.product));
        if (row.has_serial && !slave.serial_read) list.push_back("the slave's serial number could not be read");
        if (row.has_serial && slave.serial_read && row.serial != slave.serial)
            list.push_back("serial " + std::to_string(row.serial) + " planned, the slave has " +
                           std::to_string(slave.serial));
    }
    // Uniqueness: every non-zero alias once on the whole segment after the plan.
    std::map<uint16_t, std::vector<size_t>> holders;  // alias -> slave indices
    for (size_t s = 0; s < slaves.size(); s++) {
        if (planned_row[s] >= 0) {
            holders[rows[static_cast<size_t>(planned_row[s])].alias].push_back(s);
        } else if (slaves[s].sii_alias_read) {
            holders[slaves[s].sii_alias].push_back(s);
        }
    }
    std::string unread;
    for (size_t s = 0; s < slaves.size(); s++)
        if (planned_row[s] < 0 && !slaves[s].sii_alias_read) unread += (unread.empty() ? "" : ", ") + std::to_string(s + 1);
    for (size_t r = 0; r < rows.size(); r++) {
        const PlanRow& row = rows[r];
        if (row.position > slaves.size() || row.alias == 0) continue;
        std::string others;
        for (size_t s : holders[row.alias])
            if (s != row.position - 1) others += (others.empty() ? "" : ", ") + std::to_string(s + 1);
        if (!others.empty())
            (*problems)[r].push_back("alias " + std::to_string(row.alias) + " is also on the slave" +
                                     (others.find(',') != std::string::npos ? "s at positions " : " at position ") +
                                     others);
        if (!unread.empty())
            (*problems)[r].push_back("cannot check that alias " + std::to_string(row.alias) +
                                     " is unique: the SII alias of the slaves at positions " + unread +
                                     " could not be read");
    }
    for (const auto& list : *problems)
        if (!list.empty()) return false;
    return true;
}
