#include "device/csv.h"

#include "base/error.h"

namespace device {

std::vector<CsvRow> ParseCsv(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    std::vector<CsvRow> rows;
    if (text.empty()) return rows;
    CsvRow row;
    std::string field;
    std::size_t line = 1;
    std::size_t i = 0;
    bool quotedField = false;  // the current field was quoted: nothing may follow its quote
    const auto endRow = [&] {
        row.push_back(std::move(field));
        field.clear();
        rows.push_back(std::move(row));
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
            row.push_back(std::move(field));
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
    return rows;
}

std::string FormatCsvRow(const CsvRow& row) {
    std::string out;
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (i > 0) out += ',';
        const std::string& f = row[i];
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
