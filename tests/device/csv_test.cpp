// CSV as spreadsheets write it: the reader's table, and rows written then read back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error.h"
#include "device/csv.h"

namespace {

using Rows = std::vector<device::CsvRow>;

struct CsvCase {
    const char* label;
    std::string text;
    Rows rows;
    std::string error = {};
};

void PrintTo(const CsvCase& c, std::ostream* os) {
    *os << c.label;
}

std::string QuoteError(int line) {
    return "CSV line " + std::to_string(line) +
           ": a quote inside a field that is not quoted, or text after a closing quote";
}

class CsvReadTest : public ::testing::TestWithParam<CsvCase> {};

TEST_P(CsvReadTest, Reads) {
    const CsvCase& c = GetParam();
    try {
        EXPECT_EQ(device::ParseCsv(c.text), c.rows);
        EXPECT_TRUE(c.error.empty()) << "no error";
    } catch (const base::Error& e) {
        EXPECT_EQ(e.what(), c.error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Csv, CsvReadTest,
    ::testing::Values(
        CsvCase{"empty", "", {}},
        CsvCase{"crlf_and_no_last_break", "a,b\r\n1,2", {{"a", "b"}, {"1", "2"}}},
        CsvCase{"bom",
                "\xEF\xBB\xBF"
                "a,b\n",
                {{"a", "b"}}},
        CsvCase{
            "empty_cells_and_ragged_rows", "a,,b,\n\n,\n", {{"a", "", "b", ""}, {""}, {"", ""}}},
        CsvCase{"quoted_comma_quote_and_breaks",
                "\"a,b\",\"say \"\"hi\"\"\",\"two\r\nlines\",\"\"\n",
                {{"a,b", "say \"hi\"", "two\r\nlines", ""}}},
        CsvCase{"spaces_and_a_lone_cr_kept", " a\rb \n", {{" a\rb "}}},
        CsvCase{"formula_guard_taken_off",
                "'=1,'+2,'-3,'@4,\"'\r5\",''6,'plain\n",
                {{"=1", "+2", "-3", "@4", "\r5", "'6", "'plain"}}},
        CsvCase{"unclosed_quote", "a\n\"b\nc\n", {}, "CSV line 2: a quoted field is never closed"},
        CsvCase{"quote_inside_bare_field", "a\"b\n", {}, QuoteError(1)},
        CsvCase{"text_after_closing_quote", "x\n\"a\"b\n", {}, QuoteError(2)}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Csv, WrittenRowsReadBack) {
    const Rows rows = {{"address", "mac", "message"},           {"10.0.0.2", "a,b", "say \"x\""},
                       {"10.0.0.3", " lead", "two\nlines\r\n"}, {"", "", ""},
                       {"=cmd|' /C calc'!A0", "@x", "'y"},      {" \t-1", "\xC2\xA0@x", "|calc"}};
    std::string text;
    for (const auto& row : rows) text += device::FormatCsvRow(row);
    EXPECT_EQ(device::FormatCsvRow(rows[2]), "10.0.0.3,\" lead\",\"two\nlines\r\n\"\r\n");
    EXPECT_EQ(device::FormatCsvRow(rows[4]), "'=cmd|' /C calc'!A0,'@x,''y\r\n");
    EXPECT_EQ(device::FormatCsvRow(rows[5]), "' \t-1,'\xC2\xA0@x,'|calc\r\n");
    EXPECT_EQ(device::ParseCsv(text), rows);
}

}  // namespace
