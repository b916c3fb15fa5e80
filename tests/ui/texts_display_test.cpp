// A received message as the memos show it, built in one pass, against the two passes it
// replaced (decode, then map control characters): every byte, alone and next to line breaks.
#include <QTest>

#include <string>

#include "app/text.h"
#include "ui/texts.h"

namespace {

QString TwoPassDisplayText(std::string_view message) {
    const QString text = app::ToQString(message);
    const auto special = [](char16_t c) {
        return (c < 0x20 && c != u'\n' && c != u'\t') || c == 0x7F;
    };
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c == u'\r') {
            if (i + 1 < text.size() && text[i + 1] == u'\n') continue;
            out += u'\n';
        } else if (special(c)) {
            out += QChar(c == 0x7F ? char16_t(0x2421) : char16_t(0x2400 + c));
        } else {
            out += QChar(c);
        }
    }
    return out;
}

}  // namespace

class TextsDisplayTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyByteShowsAsBefore_data() {
        QTest::addColumn<QByteArray>("pattern");  // "b" stands for the byte under test
        QTest::newRow("alone") << QByteArray("b");
        QTest::newRow("between letters") << QByteArray("ab z");
        QTest::newRow("before a line feed") << QByteArray("b\n");
        QTest::newRow("after a carriage return") << QByteArray("\rb");
        QTest::newRow("before a carriage return, at the end") << QByteArray("xb\r");
        QTest::newRow("between CR LF pairs") << QByteArray("\r\nb\r\n");
        QTest::newRow("twice") << QByteArray("bb");
    }
    void everyByteShowsAsBefore() {
        QFETCH(QByteArray, pattern);
        for (int b = 0; b < 256; ++b) {
            std::string message;
            for (const char c : pattern) message.push_back(c == 'b' ? char(b) : c);
            const QString shown = ui::DisplayText(message);
            const QString expected = TwoPassDisplayText(message);
            QVERIFY2(shown == expected,
                     qPrintable(QStringLiteral("byte 0x%1: got %2, expected %3")
                                    .arg(QString::number(b, 16), shown, expected)));
            // What the memo shows goes back to the bytes that arrived, line breaks aside.
            if (b != '\r')
                QCOMPARE(ui::MessageBytes(shown).find(char(b)) != std::string::npos, true);
        }
    }

    void longMessagesOfAllBytesShowAsBefore() {
        std::string message;
        for (int round = 0; round < 8; ++round) {
            for (int b = 0; b < 256; ++b) message.push_back(char((b * 37 + round * 11) & 0xFF));
        }
        message += "\r\r\n\n\r";
        QCOMPARE(ui::DisplayText(message), TwoPassDisplayText(message));
        QCOMPARE(ui::DisplayText(std::string()), QString());
    }
};

QTEST_MAIN(TextsDisplayTest)
#include "texts_display_test.moc"
