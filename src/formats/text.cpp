#include "formats/text.h"

#include <array>
#include <cstdint>

#include "base/int_conv.h"

namespace formats {
namespace {

// 0x80..0xBF; 0x98 has no character and stands for U+0098, so every byte maps both ways.
constexpr std::array<char16_t, 64> kHigh = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
    0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
    0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};

char32_t CodePoint(unsigned char byte) {
    if (byte < 0x80) return byte;
    if (byte < 0xC0) return kHigh[byte - 0x80];
    return 0x0410 + (byte - 0xC0);  // А..я in order
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | c >> 6);
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xE0 | c >> 12);
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

std::optional<unsigned char> ByteOf(char32_t c) {
    if (c < 0x80) return static_cast<unsigned char>(c);
    if (c >= 0x0410 && c <= 0x044F) return static_cast<unsigned char>(0xC0 + (c - 0x0410));
    for (std::size_t i = 0; i < kHigh.size(); ++i)
        if (kHigh[i] == c) return static_cast<unsigned char>(0x80 + i);
    return std::nullopt;
}

// C0, DEL, and 0x98, which stands for a C1 control.
bool IsControl(unsigned char b) {
    return b < 0x20 || b == 0x7F || b == 0x98;
}

void AppendHex(std::string& out, unsigned char b) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += "\\x";
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
}

}  // namespace

std::string Utf8FromCp1251(std::string_view bytes) {
    std::string out;
    for (unsigned char b : bytes) AppendUtf8(out, CodePoint(b));
    return out;
}

std::string Printable(std::string_view bytes) {
    std::string out;
    for (unsigned char b : bytes) {
        if (IsControl(b)) {
            AppendHex(out, b);
        } else {
            AppendUtf8(out, CodePoint(b));
        }
    }
    return out;
}

std::string Quoted(std::string_view bytes) {
    if (!bytes.empty() && bytes.find_first_of(" =;\"'\\") == std::string_view::npos)
        return Printable(bytes);
    std::string out = "\"";
    for (unsigned char b : bytes) {
        if (b == '"' || b == '\\') out += '\\';
        if (IsControl(b)) {
            AppendHex(out, b);
        } else {
            AppendUtf8(out, CodePoint(b));
        }
    }
    return out + '"';
}

std::string Escaped(std::string_view utf8) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        const bool continuation = b == '\n' && utf8.substr(i + 1, 2) == "  ";
        if ((b < 0x20 && !continuation) || b == 0x7F) {
            AppendHex(out, b);
        } else {
            out += char(b);
        }
    }
    return out;
}

std::string CsvCellOf(std::string_view cp1251) {
    std::string out;
    for (unsigned char b : cp1251) {
        if (IsControl(b) || b == '\\') {
            AppendHex(out, b);
        } else {
            AppendUtf8(out, CodePoint(b));
        }
    }
    return out;
}

std::string TextOfCsvCell(std::string_view cell) {
    std::string out;
    for (std::size_t i = 0; i < cell.size(); ++i) {
        const int high = i + 3 < cell.size() && cell[i] == '\\' && cell[i + 1] == 'x'
                             ? base::HexDigit(cell[i + 2])
                             : -1;
        const int low = high >= 0 ? base::HexDigit(cell[i + 3]) : -1;
        if (low < 0) {
            out += cell[i];
            continue;
        }
        AppendUtf8(out, CodePoint(static_cast<unsigned char>(high << 4 | low)));
        i += 3;
    }
    return out;
}

std::optional<std::string> Cp1251FromUtf8(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : 0;
        if (length == 0 || i + length > text.size()) return std::nullopt;
        char32_t c = length == 1 ? lead : length == 2 ? lead & 0x1F : lead & 0x0F;
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return std::nullopt;
            c = c << 6 | (next & 0x3F);
        }
        if ((length == 2 && c < 0x80) || (length == 3 && c < 0x800)) return std::nullopt;
        const auto byte = ByteOf(c);
        if (!byte) return std::nullopt;
        out += char(*byte);
        i += std::size_t(length);
    }
    return out;
}

}  // namespace formats
