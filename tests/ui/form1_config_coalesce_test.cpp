// Replies reach the read side once per frame: a burst lays each edit out at most once, with
// the same texts as one write per reply would leave, and whatever reads or edits the read
// side first sees the latest values.
#include <QSignalSpy>
#include <QTest>

#include "support/fake_env.h"
#include "support/form_support.h"
#include "ui/form1.h"

using namespace testing_support;
using ui::TForm1;

namespace {

QList<QLineEdit*> ReadEdits(const TForm1& f) {
    return {f.Edit4, f.Edit11, f.Edit18, f.Edit8, f.Edit19, f.Edit26, f.Edit7};
}

QStringList Texts(const QList<QLineEdit*>& edits) {
    QStringList texts;
    for (const QLineEdit* e : edits) texts.append(e->text());
    return texts;
}

// What the listener does with a datagram: Memo1 gets it as its one line.
void Receive(TForm1& form, const QString& line) {
    form.Memo1->ClearSilently();
    form.Memo1->AddLine(line);
}

std::unique_ptr<TForm1> Programming(FakeEnv& env) {
    auto form = Shown(env);
    form->CheckBox3->click();
    return form;
}

}  // namespace

class Form1ConfigCoalesceTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void aBurstEndsAsOneWritePerReplyWould_data() {
        QTest::addColumn<QStringList>("replies");
        const QString sample = QStringLiteral(
            "<1788#1789#C0.A8.77.1#C0.A8.77.8D#C0.A8.77.F0#FF.FF.FF.0#00-AC-6E-24-18-02>");
        QTest::newRow("full replies, each port different")
            << QStringList{sample, QStringLiteral("<1#2#1.2.3.4#5.6.7.8#9.A.B.C#D.E.F.0#m1>"),
                           QStringLiteral("<3#4#1.2.3.5#5.6.7.9#9.A.B.D#D.E.F.1#m2>")};
        QTest::newRow("a cut reply keeps the later groups of the one before")
            << QStringList{sample, QStringLiteral("<10#20#C0.A8.77.1>")};
        QTest::newRow("other text after a reply changes the MAC only")
            << QStringList{sample, QStringLiteral("hello"), QStringLiteral("#0000000042|abc")};
        QTest::newRow("the same reply again") << QStringList{sample, sample, sample};
        QStringList flood;
        for (int i = 0; i < 200; ++i)
            flood.append(QStringLiteral("<%1#%2#C0.A8.%3.1#A.B.C.D#1.1.1.1#FF.0.0.0#mac%4>")
                             .arg(i + 1, 0, 16)
                             .arg(i % 7 + 1, 0, 16)
                             .arg(i % 3, 0, 16)
                             .arg(i));
        QTest::newRow("a flood of replies") << flood;
    }
    void aBurstEndsAsOneWritePerReplyWould() {
        QFETCH(QStringList, replies);
        FakeEnv stepEnv, burstEnv;
        auto step = Programming(stepEnv);
        auto burst = Programming(burstEnv);

        QStringList expected = Texts(ReadEdits(*step));
        for (const QString& reply : replies) {
            Receive(*step, reply);
            step->FlushReadSide();
        }
        expected = Texts(ReadEdits(*step));

        QList<QSharedPointer<QSignalSpy>> spies;
        for (QLineEdit* e : ReadEdits(*burst))
            spies.append(QSharedPointer<QSignalSpy>::create(e, &QLineEdit::textChanged));
        const QStringList before = Texts(ReadEdits(*burst));
        for (const QString& reply : replies) Receive(*burst, reply);
        burst->FlushReadSide();

        QCOMPARE(Texts(ReadEdits(*burst)), expected);
        for (qsizetype i = 0; i < spies.size(); ++i) {
            QCOMPARE(spies[i]->count(), expected[i] == before[i] ? 0 : 1);
        }
        QCOMPARE(burstEnv.beeps, int(replies.size()));  // every reply still beeps
    }

    void theReadSideCatchesUpOnItsOwn() {
        FakeEnv env;
        auto form = Programming(env);
        Receive(*form, QStringLiteral("<1788#1789#"));
        QTRY_COMPARE(form->Edit4->text(), QStringLiteral("6024"));
        QCOMPARE(form->Edit11->text(), QStringLiteral("6025"));
    }

    void synchroniseCopiesTheLatestReply() {
        FakeEnv env;
        auto form = Programming(env);
        Receive(*form, QStringLiteral("<1788#1789#C0.A8.77.1#C0.A8.77.8D#1.2.3.4#FF.0.0.0#mac>"));
        form->Button6->click();
        QCOMPARE(form->Edit6->text(), QStringLiteral("6024"));
        QCOMPARE(form->Edit9->text(), QStringLiteral("192.168.119.141"));
        QCOMPARE(form->Edit16->text(), QStringLiteral("C0.A8.77.8D"));  // its conversion ran
        QCOMPARE(form->Edit10->text(), QStringLiteral("mac"));
    }

    void typingIntoAReadSideEditStartsFromTheLatestReply() {
        FakeEnv env;
        auto form = Programming(env);
        form->show();
        Receive(*form, QStringLiteral("<1788#"));
        form->Edit4->setFocus();
        QTest::keyClick(form->Edit4, Qt::Key_End);
        QTest::keyClicks(form->Edit4, QStringLiteral("7"));
        QCOMPARE(form->Edit4->text(), QStringLiteral("60247"));
    }

    void reconnectIsNotUndoneByAReplyParsedBeforeIt() {
        FakeEnv env;
        auto form = Programming(env);
        const QStringList initial = Texts(ReadEdits(*form));
        Receive(*form, QStringLiteral("<1788#1789#C0.A8.77.1#C0.A8.77.8D#1.2.3.4#FF.0.0.0#mac>"));
        form->Button11->click();
        form->FlushReadSide();
        QCOMPARE(Texts(ReadEdits(*form)), initial);
    }
};

QTEST_MAIN(Form1ConfigCoalesceTest)
#include "form1_config_coalesce_test.moc"
