#include "config/codec.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <tuple>

#include "base/error.h"

namespace {

constexpr std::nullopt_t kAbsent = std::nullopt;

// The device's sample reply, group by group, and what the operator should see for it.
const std::array<std::string, 7> kSampleGroups{
    "1788", "1789", "C0.A8.77.1", "C0.A8.77.8D", "C0.A8.77.F0", "FF.FF.FF.0", "00-AC-6E-24-18-02"};
const config::ConfigReplyFields kSampleFields{"6024",
                                              "6025",
                                              "192.168.119.1",
                                              "192.168.119.141",
                                              "192.168.119.240",
                                              "255.255.255.0",
                                              "00-AC-6E-24-18-02"};

// The sample reply with group `group` (0 = telemetry port .. 6 = MAC) replaced by `text`.
std::string Sample(int group = -1, const std::string& text = {}) {
    std::string line = "<";
    for (int i = 0; i < 7; ++i) line += (i ? "#" : "") + (i == group ? text : kSampleGroups[i]);
    return line + ">";
}

// The sample's fields with every numeric group from `first` on absent (0 = telemetry port).
config::ConfigReplyFields SampleUpTo(int first) {
    config::ConfigReplyFields f = kSampleFields;
    std::optional<std::string>* groups[] = {&f.telemetryPort, &f.h323Port,          &f.gateway,
                                            &f.ipAddress,     &f.handsetController, &f.netMask};
    for (int i = first; i < 6; ++i) groups[i]->reset();
    return f;
}

// The sample's fields with one of them changed.
template <typename Field>
config::ConfigReplyFields SampleWith(Field config::ConfigReplyFields::*field, std::string value) {
    config::ConfigReplyFields f = kSampleFields;
    f.*field = std::move(value);
    return f;
}

auto Tied(const config::ConfigReplyFields& f) {
    return std::tie(f.telemetryPort, f.h323Port, f.gateway, f.ipAddress, f.handsetController,
                    f.netMask, f.mac);
}

// Runs `build`; with `throws` it must fail naming `want`, else return `want`.
template <typename Build>
void ExpectBuilt(Build build, const std::string& want, bool throws) {
    try {
        const std::string got = build();
        if (throws) {
            ADD_FAILURE() << "built " << got;
        } else {
            EXPECT_EQ(got, want);
        }
    } catch (const base::Error& e) {
        EXPECT_TRUE(throws) << e.what();
        EXPECT_EQ(std::string(e.what()), "'" + want + "' is not a valid integer value");
    }
}

// --- Configuration reply ---------------------------------------------------------------------

struct ReplyCase {
    const char* label;
    std::string line;
    config::ConfigReplyFields want;
};

class ReplyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyTest, Parses) {
    EXPECT_EQ(Tied(config::ParseConfigReply(GetParam().line)), Tied(GetParam().want));
}

const ReplyCase kReplies[] = {
    {"sample", Sample(), kSampleFields},
    {"hex_text_before_open_joins_telemetry_field", "AB" + Sample(),
     SampleWith(&config::ConfigReplyFields::telemetryPort, "11212680")},  // 0xAB1788
    {"every_open_dropped_from_first_field", Sample(0, "<<17<88<"), kSampleFields},
    {"open_in_second_field_is_ordinary_and_fails", Sample(1, "<1789"), SampleUpTo(1)},
    {"no_open_at_all", Sample().substr(1), kSampleFields},
    {"cut_short_after_gateway",
     "<1788#1789#C0.A8.77.1>",
     {"6024", "6025", kAbsent, kAbsent, kAbsent, kAbsent, "1"}},
    {"no_separator_at_all_is_all_mac",
     "Data:",
     {kAbsent, kAbsent, kAbsent, kAbsent, kAbsent, kAbsent, "Data:"}},
    {"several_lines_stop_at_first_close", Sample() + "\r\n<1#2#3.4.5.6#7.8.9.A#B.C.D.E#F.F.F.F#2>",
     kSampleFields},
    {"lower_case_digits_mac_kept_as_sent",
     "<1788#1789#c0.a8.77.1#c0.A8.77.8d#C0.a8.77.f0#ff.ff.ff.0#00-ac-6e-24-18-02>",
     SampleWith(&config::ConfigReplyFields::mac, "00-ac-6e-24-18-02")},
    {"telemetry_fails", Sample(0, "17G8"), SampleUpTo(0)},
    {"h323_fails", Sample(1, "17 89"), SampleUpTo(1)},
    {"gateway_fails_in_its_last_part", Sample(2, "C0.A8.77.1Z"), SampleUpTo(2)},
    {"ip_address_fails_in_its_first_part", Sample(3, "-C0.A8.77.8D"), SampleUpTo(3)},
    {"handset_controller_fails_on_an_empty_part", Sample(4, "C0..77.F0"), SampleUpTo(4)},
    {"net_mask_fails_on_a_fifth_part", Sample(5, "FF.FF.FF.0.0"), SampleUpTo(5)},
    {"leading_blank_fails_unlike_plain_numbers", Sample(0, " 1788"), SampleUpTo(0)},
    {"hex_prefix_in_field_fails", Sample(0, "0x1788"), SampleUpTo(0)},
    {"mac_without_close_runs_to_the_end", Sample().substr(0, Sample().size() - 1), kSampleFields},
    {"mac_in_code_page_1251_kept_byte_for_byte", Sample(6, "\xCC\xC0\xCA-\x98\xFF"),
     SampleWith(&config::ConfigReplyFields::mac, "\xCC\xC0\xCA-\x98\xFF")},
    {"leading_zeros_and_32_bit_values",
     "<0001788#FFFFFFFF#0FFFFFFFF.7FFFFFFF.80000000.0#0.00.000.0000#1.1.1.1#0.0.0.0#m>",
     {"6024", "-1", "-1.2147483647.-2147483648.0", "0.0.0.0", "1.1.1.1", "0.0.0.0", "m"}},
    {"text_before_open_joins_telemetry_field_and_fails",
     "192.168.1.1#<1788#1789#C0.A8.D.1#7F-DC-6E-24-18-0C>",
     {kAbsent, kAbsent, kAbsent, kAbsent, kAbsent, kAbsent, "7F-DC-6E-24-18-0C"}},
    {"empty_line", "", {kAbsent, kAbsent, kAbsent, kAbsent, kAbsent, kAbsent, ""}},
    {"no_separator_in_code_page_1251_is_all_mac",
     "\xC4\xE0\xED\xED\xFB\xE5 \xEE\xF2 \xF1\xE5\xF0\xE2\xE5\xF0\xE0:",  // "Данные от сервера:"
     {kAbsent, kAbsent, kAbsent, kAbsent, kAbsent, kAbsent,
      "\xC4\xE0\xED\xED\xFB\xE5 \xEE\xF2 \xF1\xE5\xF0\xE2\xE5\xF0\xE0:"}},
    {"text_after_close_ignored", Sample() + "1#2#3.4.5.6>x", kSampleFields},
    {"empty_mac", Sample(6, ""), SampleWith(&config::ConfigReplyFields::mac, "")},
    {"line_break_inside_a_field_fails_it_and_mac_spans_it",
     "<1788#17\r\n89#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC\r\n-6E>",
     [] {
         auto f = SampleUpTo(1);
         f.mac = "00-AC\r\n-6E";
         return f;
     }()},
    {"empty_telemetry_field", Sample(0, ""), SampleUpTo(0)},
    {"plus_sign_fails", Sample(0, "+1788"), SampleUpTo(0)},
    {"dollar_in_field_fails", Sample(0, "$1788"), SampleUpTo(0)},
    {"parts_above_255_are_kept", Sample(2, "12C.1.1.1"),
     SampleWith(&config::ConfigReplyFields::gateway, "300.1.1.1")},
    {"value_of_2_pow_32_fails", Sample(1, "100000000"), SampleUpTo(1)},
};

INSTANTIATE_TEST_SUITE_P(Replies, ReplyTest, ::testing::ValuesIn(kReplies),
                         [](const auto& info) { return std::string(info.param.label); });

// --- Dotted conversion -----------------------------------------------------------------------

struct DottedCase {
    const char* label;
    std::string text;
    std::string want;  // "hex / padded", "nothing", or with `throws` the text named
    bool throws = false;
};

class DottedTest : public ::testing::TestWithParam<DottedCase> {};

TEST_P(DottedTest, Converts) {
    const auto build = [] {
        const auto got = config::DottedToHexQuads(GetParam().text);
        return got ? got->hex + " / " + got->padded : std::string("nothing");
    };
    ExpectBuilt(build, GetParam().want, GetParam().throws);
}

const DottedCase kDotted[] = {
    {"one_digit_part_padded", "192.168.119.1", "C0.A8.77.1 / C0.A8.77.01"},
    {"fifteen_padded_sixteen_not", "15.16.255.256", "F.10.FF.100 / 0F.10.FF.100"},
    {"no_dot_repeats_the_text", "5", "5.5.5.5 / 05.05.05.05"},
    {"one_dot_repeats_the_rest", "192.168", "C0.A8.A8.A8 / C0.A8.A8.A8"},
    {"blanks_after_dots_allowed", " 1. 2.  3.   4", "1.2.3.4 / 01.02.03.04"},
    {"signs_allowed", "+1.-0.+16.2", "1.0.10.2 / 01.00.10.02"},
    {"hex_prefixes_read", "$FF.x1F.0x10.X0a", "FF.1F.10.A / FF.1F.10.0A"},
    {"leading_zeros_read_as_decimal", "010.08.0192.000", "A.8.C0.0 / 0A.08.C0.00"},
    {"negative_is_8_digits_and_padded_to_9", "-1.0.0.0", "FFFFFFFF.0.0.0 / 0FFFFFFFF.00.00.00"},
    {"two_digit_parts", "192.168.119.141", "C0.A8.77.8D / C0.A8.77.8D"},
    {"zero_padded", "255.255.255.0", "FF.FF.FF.0 / FF.FF.FF.00"},
    {"sixteen_is_not_padded", "10.0.0.16", "A.0.0.10 / 0A.00.00.10"},
    {"all_zero", "0.0.0.0", "0.0.0.0 / 00.00.00.00"},
    {"no_0_to_255_limit", "300.1.1.1", "12C.1.1.1 / 12C.01.01.01"},
    {"two_dots_repeat_the_rest", "192.168.1", "C0.A8.1.1 / C0.A8.01.01"},
    {"leading_blank_allowed", " 192.168.1.1", "C0.A8.1.1 / C0.A8.01.01"},
    {"blank_after_a_dot_allowed", "1. 2.  3.   4", "1.2.3.4 / 01.02.03.04"},
    {"negative_in_last_part", "1.1.1.-16", "1.1.1.FFFFFFF0 / 01.01.01.0FFFFFFF0"},
    {"int_max_8_digits", "2147483647.0.0.0", "7FFFFFFF.0.0.0 / 7FFFFFFF.00.00.00"},
    {"int_min_9_digits_padded", "0.0.0.-2147483648", "0.0.0.80000000 / 00.00.00.080000000"},
    {"hex_all_ones_is_negative", "$FFFFFFFF.1.1.1", "FFFFFFFF.1.1.1 / 0FFFFFFFF.01.01.01"},
    {"trailing_dot", "192.168.1.", "nothing"},
    {"empty_part_wins_over_bad_part", "bad..1.1", "nothing"},
    {"empty", "", "nothing"},
    {"leading_dot", ".1.2.3", "nothing"},
    {"empty_middle_part", "1..2.3", "nothing"},
    {"dots_only", "...", "nothing"},
    {"fifth_part_stays_in_the_fourth", "1.2.3.4.5", "4.5", true},
    {"trailing_blank", "192.168.1.1 ", "1 ", true},
    {"first_bad_part_named", "1.b.3.d", "b", true},
    {"trailing_dot_after_four_parts", "192.168.1.1.", "1.", true},
    {"blank_before_a_dot", "1 .2.3.4", "1 ", true},
    {"blank_only", " ", " ", true},
    {"letters", "a.b.c.d", "a", true},
    {"above_int_max", "2147483648.0.0.0", "2147483648", true},
    {"nine_hex_digits", "$100000000.0.0.0", "$100000000", true},
    {"code_page_1251_letters", "1.2.3.\xE0", "\xE0", true},
};

INSTANTIATE_TEST_SUITE_P(Dotted, DottedTest, ::testing::ValuesIn(kDotted),
                         [](const auto& info) { return std::string(info.param.label); });

// --- Configuration command -------------------------------------------------------------------

struct CommandCase {
    const char* label;
    std::array<std::string, 7> fields;  // ports, gateway, IP, handset controller, mask, MAC
    std::string want;                   // the command, or the text named by the error
    bool throws = false;
};

class CommandTest : public ::testing::TestWithParam<CommandCase> {};

TEST_P(CommandTest, Builds) {
    const auto& f = GetParam().fields;
    ExpectBuilt(
        [&] { return config::BuildConfigCommand(f[0], f[1], f[2], f[3], f[4], f[5], f[6]); },
        GetParam().want, GetParam().throws);
}

const CommandCase kCommands[] = {
    {"sample",
     {"6024", "6025", "C0.A8.77.01", "C0.A8.77.8D", "C0.A8.77.F0", "FF.FF.FF.00",
      "00-AC-6E-24-18-02"},
     "<1788#1789#C0.A8.77.01#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.00#00-AC-6E-24-18-02>"},
    {"initial_window_contents",
     {"0", "0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "00:00:00:00:00:00"},
     "<0#0#0.0.0.0#0.0.0.0#0.0.0.0#0.0.0.0#00:00:00:00:00:00>"},
    {"small_port_not_padded",
     {"5", "15", "01.02.03.04", "01.02.03.04", "01.02.03.04", "01.02.03.04", "m"},
     "<5#F#01.02.03.04#01.02.03.04#01.02.03.04#01.02.03.04#m>"},
    {"ports_not_range_checked",
     {"70000", "2147483647", "a", "b", "c", "d", "e"},
     "<11170#7FFFFFFF#a#b#c#d#e>"},
    {"negative_ports_as_8_digits",
     {"-1", "-2147483648", "a", "b", "c", "d", "e"},
     "<FFFFFFFF#80000000#a#b#c#d#e>"},
    {"ports_read_like_any_number_and_not_padded",
     {" +8", "$1f", "a", "b", "c", "d", "e"},
     "<8#1F#a#b#c#d#e>"},
    {"ports_read_like_any_number", {" +80", "$1f", "a", "b", "c", "d", "e"}, "<50#1F#a#b#c#d#e>"},
    {"quads_and_mac_taken_as_they_stand",
     {"1", "2", "", "x.y", " C0.A8.1.1 ", "12C.01.01.01", "#<\xCC\xC0\xCA>"},
     "<1#2##x.y# C0.A8.1.1 #12C.01.01.01##<\xCC\xC0\xCA>>"},
    {"bad_telemetry_port", {"60 24", "6025", "a", "b", "c", "d", "e"}, "60 24", true},
    {"bad_h323_port", {"6024", "x", "a", "b", "c", "d", "e"}, "x", true},
    {"telemetry_port_read_first", {"", "bad", "a", "b", "c", "d", "e"}, "", true},
    {"port_above_int_max", {"2147483648", "1", "a", "b", "c", "d", "e"}, "2147483648", true},
};

INSTANTIATE_TEST_SUITE_P(Commands, CommandTest, ::testing::ValuesIn(kCommands),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(RequestTest, IsGo) {
    EXPECT_EQ(config::RequestText(), "GO");
}

// --- Time command ----------------------------------------------------------------------------

struct TimeCase {
    const char* label;
    config::LocalDateTime now;
    std::string want;
};

class TimeTest : public ::testing::TestWithParam<TimeCase> {};

TEST_P(TimeTest, Builds) {
    const std::string got = config::BuildTimeCommand(GetParam().now);
    EXPECT_EQ(got, GetParam().want);
    EXPECT_EQ(got.size(), 29u);
}

const TimeCase kTimes[] = {
    {"sunday_is_07", {2026, 12, 6, 13, 22, 45, 7}, "USTTIME<26*12*06*07*13*22*45>"},
    {"single_digits_padded", {2009, 2, 8, 8, 7, 6, 1}, "USTTIME<09*02*08*01*08*07*06>"},
    {"monday_morning", {2026, 1, 5, 9, 5, 3, 1}, "USTTIME<26*01*05*01*09*05*03>"},
    {"tuesday", {2026, 1, 6, 10, 0, 0, 2}, "USTTIME<26*01*06*02*10*00*00>"},
    {"wednesday", {2026, 1, 7, 11, 11, 11, 3}, "USTTIME<26*01*07*03*11*11*11>"},
    {"thursday", {2026, 1, 8, 12, 30, 59, 4}, "USTTIME<26*01*08*04*12*30*59>"},
    {"friday", {2026, 1, 9, 17, 45, 1, 5}, "USTTIME<26*01*09*05*17*45*01>"},
    {"saturday", {2026, 1, 10, 20, 9, 30, 6}, "USTTIME<26*01*10*06*20*09*30>"},
    {"midnight", {2026, 3, 18, 0, 0, 0, 3}, "USTTIME<26*03*18*03*00*00*00>"},
    {"last_second_of_a_day", {2026, 3, 17, 23, 59, 59, 2}, "USTTIME<26*03*17*02*23*59*59>"},
    {"last_second_of_the_year", {2025, 12, 31, 23, 59, 59, 3}, "USTTIME<25*12*31*03*23*59*59>"},
    {"new_year", {2026, 1, 1, 0, 0, 0, 4}, "USTTIME<26*01*01*04*00*00*00>"},
    {"new_century_year_00", {2100, 1, 1, 0, 0, 0, 5}, "USTTIME<00*01*01*05*00*00*00>"},
    {"year_with_leading_zero", {2009, 2, 28, 8, 7, 6, 6}, "USTTIME<09*02*28*06*08*07*06>"},
};

INSTANTIATE_TEST_SUITE_P(Times, TimeTest, ::testing::ValuesIn(kTimes),
                         [](const auto& info) { return std::string(info.param.label); });

// --- Round trip ------------------------------------------------------------------------------

// The device reports the command's settings back in the same layout, only with the quads
// unpadded: both the command and that reply must parse to what the operator typed.
TEST(RoundTripTest, EveryPartValueComesBack) {
    for (int v = 0; v < 256; ++v) {
        // Each part of each address runs through 0..255; the four addresses differ.
        std::array<std::string, 4> dotted;
        std::array<config::HexQuads, 4> quads;
        for (int a = 0; a < 4; ++a) {
            for (int i = 0; i < 4; ++i)
                dotted[a] += (i ? "." : "") + std::to_string((v + 64 * i + 16 * a) % 256);
            const auto q = config::DottedToHexQuads(dotted[a]);
            ASSERT_TRUE(q.has_value()) << dotted[a];
            quads[a] = *q;
        }
        const std::string port = std::to_string(v * 257);
        for (const auto& text :
             {config::BuildConfigCommand(port, "4000", quads[0].padded, quads[1].padded,
                                         quads[2].padded, quads[3].padded, "M"),
              config::BuildConfigCommand(port, "4000", quads[0].hex, quads[1].hex, quads[2].hex,
                                         quads[3].hex, "M")}) {
            SCOPED_TRACE(text);
            const config::ConfigReplyFields want{port,      "4000",    dotted[0], dotted[1],
                                                 dotted[2], dotted[3], "M"};
            EXPECT_EQ(Tied(config::ParseConfigReply(text)), Tied(want));
        }
    }
}

TEST(RoundTripTest, EveryPortComesBack) {
    for (int port = 0; port <= 65535; ++port) {
        const std::string text = std::to_string(port);
        const auto fields = config::ParseConfigReply(
            config::BuildConfigCommand(text, text, "1.1.1.1", "1.1.1.1", "1.1.1.1", "1.1.1.1", ""));
        ASSERT_EQ(fields.telemetryPort, text);
        ASSERT_EQ(fields.h323Port, text);
    }
}

}  // namespace
