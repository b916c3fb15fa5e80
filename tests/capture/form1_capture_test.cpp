// The window hands the capture of its environment to its sockets: the listener's datagrams
// and echoes land in the file.
#include <QTest>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

#include "capture/recorder.h"
#include "support/event_loop.h"
#include "support/fake_env.h"
#include "support/form_support.h"
#include "support/loopback_peer.h"
#include "support/tcp_peer.h"
#include "tshark.h"
#include "ui/form1.h"

using namespace testing_support;

namespace {

class CaptureEnv : public FakeEnv {
public:
    capture::Recorder* recorder = nullptr;
    capture::Recorder* Capture() override { return recorder; }
};

}  // namespace

class Form1CaptureTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void listenerTrafficIsRecorded() {
        char dir[] = "/tmp/capture_form.XXXXXX";
        QVERIFY(::mkdtemp(dir) != nullptr);
        const std::string path = std::string(dir) + "/window.pcapng";
        capture::Options options;
        options.path = path;
        options.program = "orvan";
        options.application = "orvan test";
        auto recorder = std::make_unique<capture::Recorder>(options);
        CaptureEnv env;
        env.recorder = recorder.get();
        const QByteArray text("\xCF\xF0\xE8\xE2\xE5\xF2");  // "Привет" in code page 1251
        QByteArray echo;
        std::uint16_t port = 0, peerPort = 0;
        {
            auto form = Shown(env);
            QCOMPARE(form->UDPClient->Capture, recorder.get());
            QCOMPARE(form->Client1->Capture, recorder.get());
            port = Listen(*form);
            const Peer peer;
            peerPort = peer.port();
            QVERIFY(peer.SendTo(text, "127.0.0.1", port));
            const auto got = peer.Await();
            QVERIFY(got);
            echo = got->bytes;
        }
        recorder.reset();
        const auto rows = Tshark(path,
                                 "-T fields -e ip.src -e udp.srcport -e ip.dst "
                                 "-e udp.dstport -e udp.payload");
        const std::string p = std::to_string(port), q = std::to_string(peerPort);
        const std::vector<std::string> expected = {
            "127.0.0.1\t" + q + "\t127.0.0.1\t" + p + "\t" + Hex(text.toStdString()),
            "127.0.0.1\t" + p + "\t127.0.0.1\t" + q + "\t" + Hex(echo.toStdString()),
        };
        QCOMPARE(rows, expected);
        std::system(("rm -rf '" + std::string(dir) + "'").c_str());
    }

    // A client made while the window runs ("dynamic" mode) records its connection too.
    void dynamicTcpClientIsRecorded() {
        char dir[] = "/tmp/capture_form.XXXXXX";
        QVERIFY(::mkdtemp(dir) != nullptr);
        const std::string path = std::string(dir) + "/tcp.pcapng";
        capture::Options options;
        options.path = path;
        options.program = "orvan";
        options.application = "orvan test";
        auto recorder = std::make_unique<capture::Recorder>(options);
        CaptureEnv env;
        env.recorder = recorder.get();
        const TcpServer server("127.0.0.8");
        {
            auto form = Shown(env);
            EnterMode(*form, Tcp);
            form->CheckBox6->click();
            form->Edit2->setText(QStringLiteral("127.0.0.8"));
            form->Edit3->setText(QString::number(server.port()));
            form->Button2->click();
            auto* client = form->findChild<net::TClientSocket*>(QStringLiteral("Client127_0_0_8"));
            QVERIFY(client != nullptr);
            QCOMPARE(client->Capture, recorder.get());
            TcpConnection conn;
            QVERIFY(SpinUntil([&] { return (conn = server.Accept(0)).ok(); }));
            QVERIFY(SpinUntil([&] { return client->Active(); }));
            QVERIFY(conn.Send("from the peer"));
            QVERIFY(SpinUntil([&] { return form->Memo1->Text().contains(u"from the peer"); }));
        }
        recorder.reset();
        const auto rows = Tshark(path, "-T fields -e ip.dst -e tcp.dstport -e tcp.payload");
        QVERIFY(rows.size() >= 4);
        const std::string p = std::to_string(server.port());
        QCOMPARE(rows.front(), "127.0.0.8\t" + p + "\t");  // the SYN
        QVERIFY(std::find(rows.begin(), rows.end(),
                          "127.0.0.1\t" + Split(rows[1])[1] + "\t" + Hex("from the peer")) !=
                rows.end());
        std::system(("rm -rf '" + std::string(dir) + "'").c_str());
    }
};

QTEST_MAIN(Form1CaptureTest)
#include "form1_capture_test.moc"
