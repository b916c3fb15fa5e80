// The window as the operator first meets it: start-up labels, texts that are easy to get
// wrong, initial states and colours, focus order, and the exit.
#include <QApplication>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <memory>

#include "app/application.h"
#include "app/text.h"
#include "base/error.h"
#include "support/fake_env.h"
#include "support/form_support.h"
#include "ui/form1.h"

using testing_support::FakeEnv;
using testing_support::Shown;
using ui::TForm1;

namespace {

// The one fatal box, naming `text` on a line of its own.
bool OneFatalBox(const FakeEnv& env, const std::string& text) {
    return env.boxes.size() == 1 && env.boxes[0].kind == app::BoxKind::Fatal &&
           env.boxes[0].caption == "Application Error" &&
           env.boxes[0].text.find("\r\n" + text + "\r\n") != std::string::npos;
}

}  // namespace

class Form1StartupTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void labelsFollowTheHost_data() {
        QTest::addColumn<QStringList>("addresses");
        QTest::addColumn<bool>("resolves");
        QTest::addColumn<QString>("hostAddress");
        QTest::addColumn<QString>("destination");
        QTest::newRow("one address keeps the destination caption")
            << QStringList{QStringLiteral("127.0.0.1")} << true << QStringLiteral("127.0.0.1")
            << QStringLiteral("Destination address:");
        QTest::newRow("two addresses fill both")
            << QStringList{QStringLiteral("10.0.0.5"), QStringLiteral("192.168.1.7")} << true
            << QStringLiteral("10.0.0.5") << QStringLiteral("192.168.1.7");
        QTest::newRow("no address keeps both captions")
            << QStringList{} << true << QStringLiteral("Host address:")
            << QStringLiteral("Destination address:");
        QTest::newRow("name that does not resolve keeps both captions")
            << QStringList{} << false << QStringLiteral("Host address:")
            << QStringLiteral("Destination address:");
    }
    void labelsFollowTheHost() {
        QFETCH(QStringList, addresses);
        QFETCH(bool, resolves);
        QFETCH(QString, hostAddress);
        QFETCH(QString, destination);
        FakeEnv env;
        env.hostName = app::Cp1251("стенд-1");
        env.addresses.emplace();
        for (const QString& a : addresses) env.addresses->push_back(a.toStdString());
        if (!resolves) env.addresses.reset();

        auto form = Shown(env);
        QCOMPARE(form->HostNameLabel->text(), QStringLiteral("стенд-1"));
        QCOMPARE(form->HostAddressLabel->text(), hostAddress);
        QCOMPARE(form->PortLabel->text(), QStringLiteral("6104"));
        QCOMPARE(form->DestinationLabel->text(), destination);
        QCOMPARE(form->BufferSizeLabel->text(), QStringLiteral("8192"));
        QVERIFY2(env.boxes.empty(), env.boxes.empty() ? "" : env.boxes[0].text.c_str());
    }

    void textsThatAreEasyToGetWrong() {
        FakeEnv env;
        auto form = Shown(env);
        QCOMPARE(form->windowTitle(), QStringLiteral("Velmar Soft Orvan v1.9.1"));
        QCOMPARE(form->Label17->Caption(), QStringLiteral("Port command\r\n      (UDP):"));
        QCOMPARE(form->Label33->Caption(), QStringLiteral("IP контрол-\r\nлера трубки:"));
        QCOMPARE(form->Label35->Caption(), QStringLiteral("IP контрол-\r\nлера трубки:"));
        QCOMPARE(form->CheckBox3->text(), QStringLiteral(" Включить режим программирования"));
        QCOMPARE(form->CheckBox7->text(), QStringLiteral(" Синхронизировать дату и время"));
        QCOMPARE(form->RadioButton_IndyTCP->text(),
                 QStringLiteral("TCP (Indi Socket: Client - Server)"));
        // The start text of the first panel uses Latin T, C, P; later texts use Cyrillic.
        QCOMPARE(app::FromQString(form->StatusBar1->PanelText(0)),
                 app::Cp1251("Отключен") + " TCP");
        QCOMPARE(form->StatusBar1->PanelText(1), QStringLiteral("Нет клиента TCP"));
        // The two panels side by side, 160 and 846 wide with their gaps.
        const auto panels = form->StatusBar1->findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
        QCOMPARE(panels.size(), 2);
        QCOMPARE(panels[0]->x(), 0);
        QCOMPARE(panels[0]->width() + 2, 160);
        QCOMPARE(panels[1]->x(), 160);
        QCOMPARE(panels[1]->width() + 2, 846);
        QCOMPARE(form->Memo1->Text(), QStringLiteral("Данные от сервера:"));
        QCOMPARE(form->Memo2->Text(), QStringLiteral("Данные от сервера:"));
        QCOMPARE(form->PageControl1->count(), 3);
        QCOMPARE(form->PageControl1->tabText(0), QStringLiteral("Work Socket"));
        QCOMPARE(form->PageControl1->tabText(1), QStringLiteral("Настройка сети"));
        QCOMPARE(form->PageControl1->tabText(2), QStringLiteral("Stream Work Socket +"));
        QCOMPARE(form->PageControl1->currentWidget(), form->TabSheet2);
        // Two-line captions show two lines, the second indented by its own spaces.
        QCOMPARE(form->Label17->text(), QStringLiteral("Port command\n      (UDP):"));
        QVERIFY(form->Label17->height() > form->Label10->height());
    }

    void statesAndColoursAtStart() {
        FakeEnv env;
        auto form = Shown(env);
        QVERIFY(!form->Button2->isEnabled() && !form->Button3->isEnabled());
        QVERIFY(form->CheckBox1->isEnabled());
        QVERIFY(form->UDPClient->Active());
        QVERIFY(!form->UDPServer->Active());
        QVERIFY(!form->RadioButton_IndyTCP->isEnabled());
        QVERIFY(form->RadioButton_UDP->isChecked());
        QVERIFY(form->CheckBox7->isChecked());
        QVERIFY(!form->CheckBox3->isChecked());
        QVERIFY(!form->Panel9->isEnabled());
        QVERIFY(!form->CheckBox5->isEnabled());
        QVERIFY(!form->Edit15->isEnabled());

        const QColor window = QApplication::palette().color(QPalette::Base);
        const QColor light = QApplication::palette().color(QPalette::Midlight);
        QVERIFY(window != light);
        // Six write-side inputs take typing although drawn light.
        for (QLineEdit* e :
             {form->Edit6, form->Edit9, form->Edit10, form->Edit20, form->Edit23, form->Edit27}) {
            QVERIFY2(e->isEnabled(), qPrintable(e->objectName()));
            QCOMPARE(e->palette().color(QPalette::Base), light);
        }
        for (QLineEdit* e : {form->Edit4, form->Edit11, form->Edit17, form->Edit8, form->Edit18,
                             form->Edit26, form->Edit7, form->Edit19, form->Edit12, form->Edit16,
                             form->Edit14, form->Edit21, form->Edit22, form->Edit28, form->Edit29,
                             form->Edit24, form->Edit25, form->Edit5, form->Edit13}) {
            QVERIFY2(!e->isEnabled(), qPrintable(e->objectName()));
            QCOMPARE(e->palette().color(QPalette::Disabled, QPalette::Base), light);
        }
        for (QLineEdit* e : {form->Edit1, form->Edit2, form->Edit3}) {
            QCOMPARE(e->palette().color(QPalette::Base), window);
        }
        QTest::keyClicks(form->Edit9, QStringLiteral("10"));
        QCOMPARE(form->Edit9->text(), QStringLiteral("0.0.0.010"));
    }

    void focusRunsThroughTheWriteSideInTabOrder() {
        FakeEnv env;
        auto form = Shown(env);
        QList<QWidget*> order;
        QWidget* w = form->Button5;
        do {
            if (w->parentWidget() == form->Panel7 && w->isEnabled() &&
                (w->focusPolicy() & Qt::TabFocus)) {
                order.append(w);
            }
            w = w->nextInFocusChain();
        } while (w != form->Button5);
        const QList<QWidget*> expected{form->Button5,   form->Edit6,  form->Edit9,  form->Edit10,
                                       form->CheckBox7, form->Edit20, form->Edit23, form->Edit27};
        QCOMPARE(order, expected);
        // The write side comes after the read side, which comes after the connection strip.
        QList<QWidget*> panels;
        w = form->Edit5;
        for (int guard = 0; guard < 500 && panels.size() < 3; ++guard, w = w->nextInFocusChain()) {
            QWidget* p = w->parentWidget();
            if ((p == form->Panel5 || p == form->Panel4 || p == form->Panel7) &&
                !panels.contains(p)) {
                panels.append(p);
            }
        }
        QCOMPARE(panels, (QList<QWidget*>{form->Panel5, form->Panel4, form->Panel7}));
    }

    void accessibleNamesSpeakTheCaptions() {
        FakeEnv env;
        auto form = Shown(env);
        QCOMPARE(form->Edit9->accessibleName(), QStringLiteral("IP Адрес:"));
        QVERIFY(form->Edit16->accessibleName().startsWith(QStringLiteral("IP Адрес: ")));
        QVERIFY(form->Edit14->accessibleName().startsWith(QStringLiteral("IP Адрес: ")));
        QVERIFY(form->Edit16->accessibleName() != form->Edit14->accessibleName());
        QCOMPARE(form->Edit19->accessibleName(), QStringLiteral("IP контроллера трубки:"));
        QCOMPARE(form->Edit17->accessibleName(), QStringLiteral("Port command (UDP):"));
        QCOMPARE(form->Button5->accessibleName(), QStringLiteral("Заменить данные"));
        QCOMPARE(form->CheckBox3->accessibleName(),
                 QStringLiteral("Включить режим программирования"));
        // Every control that takes input has something to say.
        const auto widgets = form->findChildren<QWidget*>();
        for (QWidget* w : widgets) {
            if (qobject_cast<QLineEdit*>(w) || qobject_cast<QAbstractButton*>(w) ||
                qobject_cast<QPlainTextEdit*>(w) || qobject_cast<QListWidget*>(w)) {
                if (w->objectName().isEmpty()) continue;  // parts of composite widgets
                QVERIFY2(!w->accessibleName().isEmpty(), qPrintable(w->objectName()));
            }
        }
    }

    void editsTakeTextOfAnyLength() {
        FakeEnv env;
        auto form = Shown(env);
        const QString pasted(100000, u'7');
        for (QLineEdit* edit : form->findChildren<QLineEdit*>()) {
            if (edit->objectName().isEmpty()) continue;  // parts of composite widgets
            edit->setText(pasted);
            QVERIFY2(edit->text() == pasted, qPrintable(edit->objectName()));
        }
    }

    void markupIsShownAsTyped() {
        FakeEnv env;
        auto form = Shown(env);
        const QString markup = QStringLiteral("<h1><i>x</i></h1>");
        form->Edit3->setText(markup);
        form->StatusBar1->SetPanelText(0, markup);
        // Read as markup, the text would be one large "x", far narrower than its characters.
        QCOMPARE(form->PortLabel->text(), markup);
        QVERIFY(form->PortLabel->width() >=
                form->PortLabel->fontMetrics().horizontalAdvance(markup));
        const auto* panel = form->StatusBar1->findChildren<QLabel*>().front();
        QCOMPARE(panel->text(), markup);
        QVERIFY(panel->sizeHint().width() >= panel->fontMetrics().horizontalAdvance(markup));
    }

    void resizingMovesOnlyTheStatusBar() {
        FakeEnv env;
        auto form = Shown(env);
        const QRect button = form->BitBtn1->geometry();
        const QRect pages = form->PageControl1->geometry();
        QCOMPARE(form->StatusBar1->geometry(), QRect(0, 757, 513, 19));
        form->resize(700, 900);
        QCOMPARE(form->BitBtn1->geometry(), button);
        QCOMPARE(form->PageControl1->geometry(), pages);
        QCOMPARE(form->StatusBar1->geometry(), QRect(0, 881, 700, 19));
    }

    void exitButtonEndsTheProgramWithZero() {
        FakeEnv env;
        TForm1* built = nullptr;
        QTimer::singleShot(0, [&] { QTest::mouseClick(built->BitBtn1, Qt::LeftButton); });
        const int code = app::RunApplication(env, [&] {
            auto form = std::make_unique<TForm1>(env);
            built = form.get();
            return form;
        });
        QCOMPARE(code, 0);
        QVERIFY(env.boxes.empty());
    }

    void errorWhileBuildingIsFatal() {
        FakeEnv env;
        const int code = app::RunApplication(env, []() -> std::unique_ptr<app::MainWindow> {
            throw base::Error("Cannot allocate socket.");
        });
        QCOMPARE(code, 1);
        QVERIFY(OneFatalBox(env, "Cannot allocate socket."));
    }

    void shutdownStepDecidesTheExitCode_data() {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<int>("code");
        QTest::newRow("normal end") << QString() << 0;
        QTest::newRow("failure at shutdown") << QStringLiteral("Disk full") << 1;
    }

    void shutdownStepDecidesTheExitCode() {
        QFETCH(QString, failure);
        QFETCH(int, code);
        struct Window : app::MainWindow {
            std::string failure;
            bool* destroyed = nullptr;
            void Shutdown() override {
                if (!failure.empty()) throw base::Error(failure);
            }
            ~Window() override { *destroyed = true; }
        };
        FakeEnv env;
        bool destroyed = false;
        QTimer::singleShot(0, [] { QApplication::quit(); });
        const int result = app::RunApplication(env, [&] {
            auto window = std::make_unique<Window>();
            window->failure = failure.toStdString();
            window->destroyed = &destroyed;
            return window;
        });
        QCOMPARE(result, code);
        QVERIFY(destroyed);
        QVERIFY(code == 0 ? env.boxes.empty() : OneFatalBox(env, "Disk full."));
    }
};

QTEST_MAIN(Form1StartupTest)
#include "form1_startup_test.moc"
