#include "device/csv.h"

#include "base/error.h"

namespace device {
namespace {

// A cell a spreadsheet would run as a formula (or that begins with the guard itself) gets a
// leading quote; reading takes one off again, so what is written reads back the same.
// Spreadsheets skip spaces, tabs and no-break spaces before a formula, and run "|..." as a command.
bool NeedsGuard(std::string_view cell) {
    if (cell.empty()) return false;
    if (std::string_view("\t\r'|").find(cell.front()) != std::string_view::npos) return true;
    std::size_t i = 0;
    while (i < cell.size() &&
           (cell[i] == ' ' || cell[i] == '\t' || cell.substr(i, 2) == "\xC2\xA0"))
        i += cell[i] == '\xC2' ? 2 : 1;
    return i < cell.size() && std::string_view("=+-@").find(cell[i]) != std::string_view::npos;
}

std::string Unguarded(std::string&& cell) {
    if (cell.size() > 1 && cell.front() == '\'' && NeedsGuard(std::string_view(cell).substr(1)))
        cell.erase(0, 1);
    return std::move(cell);
}

}  // namespace

std::vector<CsvRow> ParseCsv(std::string_view text) {
    std::vector<CsvRow> rows;
    ParseCsv(text, [&](CsvRow& row) { rows.push_back(std::move(row)); });
    return rows;
}

void ParseCsv(std::string_view text, const std::function<void(CsvRow&)>& each) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    if (text.empty()) return;
    CsvRow row;
    std::string field;
    std::size_t line = 1;
    std::size_t i = 0;
    bool quotedField = false;  // the current field was quoted: nothing may follow its quote
    const auto endRow = [&] {
        row.push_back(Unguarded(std::move(field)));
        field.clear();
        each(row);
        row.clear();
        quotedField = false;
    };
    while (i < text.size()) {
        const char c = text[i];
        if (c == '"' && field.empty() && !quotedField) {
            const std::size_t opened = line;
            ++i;
            for (;;) {
                if (i >= text.size())
                    throw base::Error("CSV line " + std::to_string(opened) +
                                      ": a quoted field is never closed");
                if (text[i] == '"') {
                    if (i + 1 < text.size() && text[i + 1] == '"') {
                        field += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                if (text[i] == '\n') ++line;
                field += text[i++];
            }
            quotedField = true;
            continue;
        }
        if (c == ',') {
            row.push_back(Unguarded(std::move(field)));
            field.clear();
            quotedField = false;
            ++i;
        } else if (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            i += c == '\r' ? 2 : 1;
            endRow();
            ++line;
        } else if (quotedField || c == '"') {
            throw base::Error("CSV line " + std::to_string(line) +
                              ": a quote inside a field that is not quoted, or text after "
                              "a closing quote");
        } else {
            field += c;
            ++i;
        }
    }
    // The text did not end with a line break: the last row is still open.
    if (!(text.back() == '\n')) endRow();
}

std::string FormatCsvRow(const CsvRow& row) {
    std::string out;
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (i > 0) out += ',';
        const std::string f = NeedsGuard(row[i]) ? "'" + row[i] : row[i];
        const bool quote = f.find_first_of(",\"\r\n") != std::string::npos ||
                           (!f.empty() && (f.front() == ' ' || f.back() == ' '));
        if (!quote) {
            out += f;
            continue;
        }
        out += '"';
        for (char c : f) {
            if (c == '"') out += '"';
            out += c;
        }
        out += '"';
    }
    return out + "\r\n";
}

}  // namespace device
