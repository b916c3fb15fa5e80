#include "config/codec.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>

#include "base/error.h"

namespace {

using Text = std::optional<std::string>;
constexpr std::nullopt_t kAbsent = std::nullopt;

// The device's sample reply and what the operator should see for it.
const std::string kSample =
    "<1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>";
const config::ConfigReplyFields kSampleFields{"6024",
                                              "6025",
                                              "192.168.119.1",
                                              "192.168.119.141",
                                              "192.168.119.240",
                                              "255.255.255.0",
                                              "00-AC-6E-24-18-02"};

// The sample with only its MAC: every numeric group absent.
config::ConfigReplyFields MacOnly(std::string mac) {
    return {kAbsent, kAbsent, kAbsent, kAbsent, kAbsent, kAbsent, std::move(mac)};
}

// The sample's fields with every group from `first` on absent (0 = telemetry port ...).
config::ConfigReplyFields SampleUpTo(int first) {
    config::ConfigReplyFields f = kSampleFields;
    std::optional<std::string>* groups[] = {&f.telemetryPort, &f.h323Port,          &f.gateway,
                                            &f.ipAddress,     &f.handsetController, &f.netMask};
    for (int i = first; i < 6; ++i) groups[i]->reset();
    return f;
}

void ExpectFields(const config::ConfigReplyFields& got, const config::ConfigReplyFields& want) {
    EXPECT_EQ(got.telemetryPort, want.telemetryPort);
    EXPECT_EQ(got.h323Port, want.h323Port);
    EXPECT_EQ(got.gateway, want.gateway);
    EXPECT_EQ(got.ipAddress, want.ipAddress);
    EXPECT_EQ(got.handsetController, want.handsetController);
    EXPECT_EQ(got.netMask, want.netMask);
    EXPECT_EQ(got.mac, want.mac);
}

// --- Configuration reply ---------------------------------------------------------------------

struct ReplyCase {
    const char* label;
    std::string line;
    config::ConfigReplyFields want;
};

class ReplyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyTest, Parses) {
    ExpectFields(config::ParseConfigReply(GetParam().line), GetParam().want);
}

const ReplyCase kReplies[] = {
    {"sample", kSample, kSampleFields},
    {"text_before_open_joins_telemetry_field_and_fails",
     "192.168.1.1#<1788#1789#C0.A8.D.1#7F-DC-6E-24-18-0C>", MacOnly("7F-DC-6E-24-18-0C")},
    {"hex_text_before_open_joins_telemetry_field",
     "AB<1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>",
     [] {
         auto f = kSampleFields;
         f.telemetryPort = "11212680";  // 0xAB1788
         return f;
     }()},
    {"every_open_dropped_from_first_field",
     "<<17<88<#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>",
     kSampleFields},
    {"open_in_second_field_is_ordinary_and_fails",
     "<1788#<1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>", SampleUpTo(1)},
    {"no_open_at_all", "1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>",
     kSampleFields},
    {"cut_short_after_gateway",
     "<1788#1789#C0.A8.77.1>",
     {"6024", "6025", kAbsent, kAbsent, kAbsent, kAbsent, "1"}},
    {"empty_line", "", MacOnly("")},
    {"no_separator_at_all_is_all_mac",
     "\xC4\xE0\xED\xED\xFB\xE5 \xEE\xF2 \xF1\xE5\xF0\xE2\xE5\xF0\xE0:",  // "Данные от сервера:"
     MacOnly("\xC4\xE0\xED\xED\xFB\xE5 \xEE\xF2 \xF1\xE5\xF0\xE2\xE5\xF0\xE0:")},
    {"text_after_close_ignored", kSample + "1#2#3.4.5.6>x", kSampleFields},
    {"lower_case_digits",
     "<1788#1789#c0.a8.77.1#c0.A8.77.8d#C0.a8.77.f0#ff.ff.ff.0#00-ac-6e-24-18-02>",
     [] {
         auto f = kSampleFields;
         f.mac = "00-ac-6e-24-18-02";  // the MAC is kept as sent
         return f;
     }()},
    {"telemetry_fails",
     "<17G8#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>", SampleUpTo(0)},
    {"h323_fails", "<1788#17 89#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>",
     SampleUpTo(1)},
    {"gateway_fails_in_its_last_part",
     "<1788#1789#C0.A8.77.1Z#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>", SampleUpTo(2)},
    {"ip_address_fails_in_its_first_part",
     "<1788#1789#C0.A8.77.1#-C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>", SampleUpTo(3)},
    {"handset_controller_fails_on_an_empty_part",
     "<1788#1789#C0.A8.77.1#C0.A8.77.8D#C0..77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>", SampleUpTo(4)},
    {"net_mask_fails_on_a_fifth_part",
     "<1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0.0#00-AC-6E-24-18-02>",
     SampleUpTo(5)},
    {"mac_without_close_runs_to_the_end",
     "<1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02", kSampleFields},
    {"empty_mac", "<1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#>",
     [] {
         auto f = kSampleFields;
         f.mac = "";
         return f;
     }()},
    {"mac_in_code_page_1251_kept_byte_for_byte",
     "<1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#\xCC\xC0\xCA-\x98\xFF>",
     [] {
         auto f = kSampleFields;
         f.mac = "\xCC\xC0\xCA-\x98\xFF";
         return f;
     }()},
    {"several_lines_stop_at_first_close",
     kSample + "\r\n<1#2#3.4.5.6#7.8.9.A#B.C.D.E#F.F.F.F#second>", kSampleFields},
    {"line_break_inside_a_field_fails_it_and_mac_spans_it",
     "<1788#17\r\n89#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC\r\n-6E>",
     [] {
         auto f = SampleUpTo(1);
         f.mac = "00-AC\r\n-6E";
         return f;
     }()},
    {"empty_telemetry_field",
     "<#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>", SampleUpTo(0)},
    {"leading_blank_fails_unlike_plain_numbers",
     "< 1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>", SampleUpTo(0)},
    {"plus_sign_fails",
     "<+1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>", SampleUpTo(0)},
    {"hex_prefix_in_field_fails",
     "<0x1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>",
     SampleUpTo(0)},
    {"dollar_in_field_fails",
     "<$1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>", SampleUpTo(0)},
    {"leading_zeros_and_32_bit_values",
     "<0001788#FFFFFFFF#0FFFFFFFF.7FFFFFFF.80000000.0#0.00.000.0000#1.1.1.1#0.0.0.0#m>",
     {"6024", "-1", "-1.2147483647.-2147483648.0", "0.0.0.0", "1.1.1.1", "0.0.0.0", "m"}},
    {"value_of_2_pow_32_fails",
     "<1788#100000000#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>",
     SampleUpTo(1)},
    {"parts_above_255_are_kept",
     "<1788#1789#12C.1.1.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>",
     [] {
         auto f = kSampleFields;
         f.gateway = "300.1.1.1";
         return f;
     }()},
};

INSTANTIATE_TEST_SUITE_P(Replies, ReplyTest, ::testing::ValuesIn(kReplies),
                         [](const auto& info) { return std::string(info.param.label); });

// --- Dotted conversion -----------------------------------------------------------------------

struct DottedCase {
    const char* label;
    std::string text;
    std::optional<config::HexQuads> want;  // nullopt with an error text: must throw
    std::string error = {};                // the text named by the error, if any
    bool throws = false;
};

DottedCase Quads(const char* label, std::string text, std::string hex, std::string padded) {
    return {label, std::move(text), config::HexQuads{std::move(hex), std::move(padded)}};
}
DottedCase Nothing(const char* label, std::string text) {
    return {label, std::move(text), {}};
}
DottedCase Fails(const char* label, std::string text, std::string named) {
    return {label, std::move(text), {}, std::move(named), true};
}

class DottedTest : public ::testing::TestWithParam<DottedCase> {};

TEST_P(DottedTest, Converts) {
    const DottedCase& c = GetParam();
    if (c.throws) {
        try {
            const auto got = config::DottedToHexQuads(c.text);
            FAIL() << "no error; result " << (got ? got->hex + " / " + got->padded : "nothing");
        } catch (const base::Error& e) {
            EXPECT_EQ(std::string(e.what()), "'" + c.error + "' is not a valid integer value");
        }
        return;
    }
    const auto got = config::DottedToHexQuads(c.text);
    ASSERT_EQ(got.has_value(), c.want.has_value());
    if (got) {
        EXPECT_EQ(got->hex, c.want->hex);
        EXPECT_EQ(got->padded, c.want->padded);
    }
}

const DottedCase kDotted[] = {
    Quads("two_digit_parts", "192.168.119.141", "C0.A8.77.8D", "C0.A8.77.8D"),
    Quads("one_digit_part_padded", "192.168.119.1", "C0.A8.77.1", "C0.A8.77.01"),
    Quads("zero_padded", "255.255.255.0", "FF.FF.FF.0", "FF.FF.FF.00"),
    Quads("sixteen_is_not_padded", "10.0.0.16", "A.0.0.10", "0A.00.00.10"),
    Quads("all_zero", "0.0.0.0", "0.0.0.0", "00.00.00.00"),
    Quads("fifteen_padded", "15.16.255.256", "F.10.FF.100", "0F.10.FF.100"),
    Quads("no_0_to_255_limit", "300.1.1.1", "12C.1.1.1", "12C.01.01.01"),
    Quads("no_dot_repeats_the_text", "5", "5.5.5.5", "05.05.05.05"),
    Quads("one_dot_repeats_the_rest", "192.168", "C0.A8.A8.A8", "C0.A8.A8.A8"),
    Quads("two_dots_repeat_the_rest", "192.168.1", "C0.A8.1.1", "C0.A8.01.01"),
    Quads("leading_blank_allowed", " 192.168.1.1", "C0.A8.1.1", "C0.A8.01.01"),
    Quads("blank_after_a_dot_allowed", "1. 2.  3.   4", "1.2.3.4", "01.02.03.04"),
    Quads("signs_allowed", "+1.-0.+16.2", "1.0.10.2", "01.00.10.02"),
    Quads("hex_prefixes_read", "$FF.x1F.0x10.X0a", "FF.1F.10.A", "FF.1F.10.0A"),
    Quads("leading_zeros_read_as_decimal", "010.08.0192.000", "A.8.C0.0", "0A.08.C0.00"),
    Quads("negative_is_8_digits_and_padded_to_9", "-1.0.0.0", "FFFFFFFF.0.0.0",
          "0FFFFFFFF.00.00.00"),
    Quads("negative_in_last_part", "1.1.1.-16", "1.1.1.FFFFFFF0", "01.01.01.0FFFFFFF0"),
    Quads("int_max_8_digits", "2147483647.0.0.0", "7FFFFFFF.0.0.0", "7FFFFFFF.00.00.00"),
    Quads("int_min_9_digits_padded", "0.0.0.-2147483648", "0.0.0.80000000", "00.00.00.080000000"),
    Quads("hex_all_ones_is_negative", "$FFFFFFFF.1.1.1", "FFFFFFFF.1.1.1", "0FFFFFFFF.01.01.01"),
    Nothing("trailing_dot", "192.168.1."),
    Nothing("empty", ""),
    Nothing("leading_dot", ".1.2.3"),
    Nothing("empty_middle_part", "1..2.3"),
    Nothing("dots_only", "..."),
    Nothing("empty_part_wins_over_bad_part", "bad..1.1"),
    Fails("fifth_part_stays_in_the_fourth", "1.2.3.4.5", "4.5"),
    Fails("trailing_dot_after_four_parts", "192.168.1.1.", "1."),
    Fails("trailing_blank", "192.168.1.1 ", "1 "),
    Fails("blank_before_a_dot", "1 .2.3.4", "1 "),
    Fails("blank_only", " ", " "),
    Fails("first_bad_part_named", "1.b.3.d", "b"),
    Fails("letters", "a.b.c.d", "a"),
    Fails("above_int_max", "2147483648.0.0.0", "2147483648"),
    Fails("nine_hex_digits", "$100000000.0.0.0", "$100000000"),
    Fails("code_page_1251_letters", "1.2.3.\xE0", "\xE0"),
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
    const CommandCase& c = GetParam();
    const auto& f = c.fields;
    if (!c.throws) {
        EXPECT_EQ(config::BuildConfigCommand(f[0], f[1], f[2], f[3], f[4], f[5], f[6]), c.want);
        return;
    }
    try {
        const auto got = config::BuildConfigCommand(f[0], f[1], f[2], f[3], f[4], f[5], f[6]);
        FAIL() << "built " << got;
    } catch (const base::Error& e) {
        EXPECT_EQ(std::string(e.what()), "'" + c.want + "' is not a valid integer value");
    }
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
    {"sunday_afternoon", {2026, 12, 6, 13, 22, 45, 7}, "USTTIME<26*12*06*07*13*22*45>"},
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

// --- Round trips -----------------------------------------------------------------------------

// The device stores the command's settings and reports them back in the same layout: the
// command itself must parse to what the operator typed, and so must the reply the device sends,
// which differs only in carrying the quads without leading zeros (built here by the same
// function, which takes quads as they stand).
TEST(RoundTripTest, EveryPartValueComesBack) {
    for (int v = 0; v < 256; ++v) {
        // Each part of each address runs through 0..255; the four addresses differ.
        std::array<std::string, 4> dotted;
        std::array<config::HexQuads, 4> quads;
        for (int a = 0; a < 4; ++a) {
            for (int i = 0; i < 4; ++i) {
                if (i > 0) dotted[a] += '.';
                dotted[a] += std::to_string((v + 64 * i + 16 * a) % 256);
            }
            const auto q = config::DottedToHexQuads(dotted[a]);
            ASSERT_TRUE(q.has_value()) << dotted[a];
            quads[a] = *q;
        }
        const std::string port = std::to_string(v * 257);
        const std::string command = config::BuildConfigCommand(
            port, "4000", quads[0].padded, quads[1].padded, quads[2].padded, quads[3].padded, "M");
        const std::string reply = config::BuildConfigCommand(
            port, "4000", quads[0].hex, quads[1].hex, quads[2].hex, quads[3].hex, "M");
        for (const auto& text : {command, reply}) {
            SCOPED_TRACE(text);
            ExpectFields(config::ParseConfigReply(text),
                         {port, "4000", dotted[0], dotted[1], dotted[2], dotted[3], "M"});
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
