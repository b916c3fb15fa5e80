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
        CsvCase{"empty", "", {}}, CsvCase{"lf", "a,b\n1,2\n", {{"a", "b"}, {"1", "2"}}},
        CsvCase{"crlf", "a,b\r\n1,2\r\n", {{"a", "b"}, {"1", "2"}}},
        CsvCase{"no_last_break", "a,b\r\n1,2", {{"a", "b"}, {"1", "2"}}},
        CsvCase{"bom",
                "\xEF\xBB\xBF"
                "a,b\n",
                {{"a", "b"}}},
        CsvCase{"bom_only", "\xEF\xBB\xBF", {}},
        CsvCase{"empty_cells", "a,,b,\n,\n", {{"a", "", "b", ""}, {"", ""}}},
        CsvCase{"blank_line", "a\n\nb\n", {{"a"}, {""}, {"b"}}},
        CsvCase{
            "ragged_rows", "a,b,c\n1\n1,2,3,4\n", {{"a", "b", "c"}, {"1"}, {"1", "2", "3", "4"}}},
        CsvCase{"quoted_comma_quote_and_breaks",
                "\"a,b\",\"say \"\"hi\"\"\",\"two\r\nlines\"\n",
                {{"a,b", "say \"hi\"", "two\r\nlines"}}},
        CsvCase{"quoted_empty", "\"\",x\n", {{"", "x"}}},
        CsvCase{"spaces_kept", " a , b \n", {{" a ", " b "}}},
        CsvCase{"lone_cr_is_text", "a\rb\n", {{"a\rb"}}},
        CsvCase{"cp1251_and_utf8_bytes_pass", "\xC6,Ж\n", {{"\xC6", "Ж"}}},
        CsvCase{"unclosed_quote", "a\n\"b\nc\n", {}, "CSV line 2: a quoted field is never closed"},
        CsvCase{"quote_inside_bare_field",
                "a\"b\n",
                {},
                "CSV line 1: a quote inside a field that is not quoted, or text after a closing "
                "quote"},
        CsvCase{"text_after_closing_quote",
                "x\n\"a\"b\n",
                {},
                "CSV line 2: a quote inside a field that is not quoted, or text after a closing "
                "quote"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Csv, WrittenRowsReadBack) {
    const Rows rows = {{"address", "mac", "message"},
                       {"10.0.0.2", "a,b", "say \"x\""},
                       {"10.0.0.3", " lead", "two\nlines\r\n"},
                       {"", "", ""}};
    std::string text;
    for (const auto& row : rows) text += device::FormatCsvRow(row);
    EXPECT_EQ(device::FormatCsvRow(rows[1]), "10.0.0.2,\"a,b\",\"say \"\"x\"\"\"\r\n");
    EXPECT_EQ(device::FormatCsvRow(rows[2]), "10.0.0.3,\" lead\",\"two\nlines\r\n\"\r\n");
    EXPECT_EQ(device::ParseCsv(text), rows);
}

}  // namespace
