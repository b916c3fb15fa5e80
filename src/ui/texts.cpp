#include "ui/texts.h"

#include <algorithm>
#include <array>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "app/text.h"

namespace ui {

std::string TextOf(const QLineEdit* edit) {
    return app::FromQString(edit->text());
}

void SetTextOf(QLineEdit* edit, std::string_view text) {
    // Setting the same text again still lays the edit out anew.
    const QString value = app::ToQString(text);
    if (edit->text() != value) edit->setText(value);
}

namespace {

// What each byte shows as: its code page 1251 character, or for a control byte other than
// the line break and the tab, its visible symbol (U+2400 + byte, U+2421 for DEL).
struct DisplayTable {
    std::array<char16_t, 256> chars{};
    DisplayTable() {
        std::array<char, 256> bytes;
        for (std::size_t b = 0; b < bytes.size(); ++b) bytes[b] = static_cast<char>(b);
        const QString decoded = app::ToQString(std::string_view(bytes.data(), bytes.size()));
        for (std::size_t b = 0; b < chars.size(); ++b) {
            chars[b] = decoded[static_cast<qsizetype>(b)].unicode();
            if (b < 0x20 && b != '\n' && b != '\t') chars[b] = char16_t(0x2400 + b);
        }
        chars[0x7F] = 0x2421;
    }
};

const DisplayTable kDisplay;

}  // namespace

QString DisplayText(std::string_view message) {
    QString text;
    text.reserve(static_cast<qsizetype>(message.size()));  // exactly: long reads are common
    DisplayTextInto(text, message);
    return text;
}

void DisplayTextInto(QString& text, std::string_view message) {
    // One pass: decoding and the control symbols come from the same table; "\r\n" and a lone
    // "\r" become one line break. Runs of printable ASCII, most of any message, widen sixteen
    // bytes at a time.
    const qsizetype before = text.size();
    text.resize(before + static_cast<qsizetype>(message.size()));
    char16_t* out = reinterpret_cast<char16_t*>(text.data()) + before;
    char16_t* const begin = out;
    const auto* in = reinterpret_cast<const unsigned char*>(message.data());
    const auto* const end = in + message.size();
    while (in != end) {
#ifdef __SSE2__
        if (end - in >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
            // Signed: bytes from 0x80 up count as below 0x20 too.
            const __m128i special = _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
                                                 _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)));
            if (_mm_movemask_epi8(special) == 0) {
                const __m128i zero = _mm_setzero_si128();
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(v, zero));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(v, zero));
                in += 16;
                out += 16;
                continue;
            }
        }
        const auto* const stop = end - in >= 16 ? in + 16 : end;
#else
        const auto* const stop = end;
#endif
        for (; in != stop; ++in) {
            if (*in != '\r') {
                *out++ = kDisplay.chars[*in];
            } else if (in + 1 == end || in[1] != '\n') {
                *out++ = u'\n';
            }
        }
    }
    text.truncate(before + (out - begin));
}

QString PrefixedDisplayText(std::string_view prefix, std::string_view message,
                            const QString& shown) {
    // A "\r" at the prefix's end and a "\n" at the message's start are one line break together.
    if (prefix.ends_with('\r') && message.starts_with('\n')) {
        return DisplayText(std::string(prefix).append(message));
    }
    return DisplayText(prefix) + shown;
}

std::string MessageBytes(QStringView shown) {
    const auto symbol = [](char16_t c) { return (c >= 0x2400 && c < 0x2420) || c == 0x2421; };
    // Most replies are ASCII: those narrow as they are.
    if (std::all_of(shown.begin(), shown.end(), [](QChar c) { return c.unicode() < 0x80; })) {
        std::string bytes(static_cast<std::size_t>(shown.size()), '\0');
        std::transform(shown.begin(), shown.end(), bytes.begin(),
                       [](QChar c) { return static_cast<char>(c.unicode()); });
        return bytes;
    }
    QString text = shown.toString();
    if (std::none_of(text.cbegin(), text.cend(), [&](QChar c) { return symbol(c.unicode()); })) {
        return app::FromQString(text);
    }
    for (QChar& c : text) {
        const char16_t u = c.unicode();
        if (symbol(u)) c = QChar(u == 0x2421 ? char16_t(0x7F) : char16_t(u - 0x2400));
    }
    return app::FromQString(text);
}

}  // namespace ui
