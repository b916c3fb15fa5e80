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

    void everyByteAtEveryPlaceOfAPlainRun() {
        // Plain runs take a faster road than the other bytes: a byte anywhere in a long run,
        // at either edge of a block of sixteen, must come out the same.
        const std::string run = "The quick brown fox jumps over the lazy dog 0123456789";
        for (int b = 0; b < 256; ++b) {
            for (std::size_t at = 0; at <= run.size(); ++at) {
                std::string message = run;
                message.insert(at, 1, char(b));
                QVERIFY2(
                    ui::DisplayText(message) == TwoPassDisplayText(message),
                    qPrintable(
                        QStringLiteral("byte 0x%1 at %2").arg(QString::number(b, 16)).arg(at)));
            }
        }
    }

    void aPrefixedMessageShowsAsTheWholeText_data() {
        QTest::addColumn<QByteArray>("prefix");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("host and text") << QByteArray("srv") << QByteArray("abc");
        QTest::newRow("empty prefix") << QByteArray() << QByteArray("abc\r\n");
        QTest::newRow("empty message") << QByteArray("srv\r") << QByteArray();
        QTest::newRow("CR and LF across the join") << QByteArray("srv\r") << QByteArray("\nabc");
        QTest::newRow("CR before other text") << QByteArray("srv\r") << QByteArray("\rabc");
        QTest::newRow("control and high bytes") << QByteArray("\x01\xC0") << QByteArray("\x7F\xFF");
    }
    void aPrefixedMessageShowsAsTheWholeText() {
        QFETCH(QByteArray, prefix);
        QFETCH(QByteArray, message);
        const std::string p = prefix.toStdString(), m = message.toStdString();
        QCOMPARE(ui::PrefixedDisplayText(p, m, ui::DisplayText(m)), ui::DisplayText(p + m));
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
