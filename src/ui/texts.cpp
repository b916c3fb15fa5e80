#include "ui/texts.h"

#include <algorithm>

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

QString DisplayText(std::string_view message) {
    QString text = app::ToQString(message);
    const auto special = [](char16_t c) {
        return (c < 0x20 && c != u'\n' && c != u'\t') || c == 0x7F;
    };
    // Most messages hold no control character: look before building another text.
    const QChar* in = text.constData();
    const qsizetype size = text.size();
    qsizetype i = 0;
    while (i < size && !special(in[i].unicode())) ++i;
    if (i == size) return text;
    QString out;
    out.reserve(size);
    out.append(in, i);
    for (; i < size; ++i) {
        const char16_t c = in[i].unicode();
        if (c == u'\r') {
            if (i + 1 < size && in[i + 1] == u'\n') continue;
            out += u'\n';
        } else if (special(c)) {
            out += QChar(c == 0x7F ? char16_t(0x2421) : char16_t(0x2400 + c));
        } else {
            out += QChar(c);
        }
    }
    return out;
}

std::string MessageBytes(const QString& shown) {
    const auto symbol = [](char16_t c) { return (c >= 0x2400 && c < 0x2420) || c == 0x2421; };
    if (std::none_of(shown.begin(), shown.end(), [&](QChar c) { return symbol(c.unicode()); })) {
        return app::FromQString(shown);
    }
    QString text = shown;
    for (QChar& c : text) {
        const char16_t u = c.unicode();
        if (symbol(u)) c = QChar(u == 0x2421 ? char16_t(0x7F) : char16_t(u - 0x2400));
    }
    return app::FromQString(text);
}

}  // namespace ui
