// The window hands the capture of its environment to its sockets: the listener's datagrams
// and echoes land in the file.
#include <QTest>

#include <algorithm>
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

// A window whose environment records into a file of its own.
struct CaptureEnv : FakeEnv {
    CaptureDir tmp;
    std::unique_ptr<capture::Recorder> recorder = std::make_unique<capture::Recorder>(tmp.options);
    capture::Recorder* Capture() override { return recorder.get(); }

    // Closes the file and reads it back.
    std::vector<std::string> Read(const std::string& fields) {
        recorder.reset();
        return Tshark(tmp.options.path, "-T fields " + fields);
    }
};

}  // namespace

class Form1CaptureTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void listenerTrafficIsRecorded() {
        CaptureEnv env;
        const QByteArray text("\xCF\xF0\xE8\xE2\xE5\xF2");  // "Привет" in code page 1251
        QByteArray echo;
        std::uint16_t port = 0, peerPort = 0;
        {
            auto form = Shown(env);
            QCOMPARE(form->UDPClient->Capture, env.recorder.get());
            QCOMPARE(form->Client1->Capture, env.recorder.get());
            port = Listen(*form);
            const Peer peer;
            peerPort = peer.port();
            QVERIFY(peer.SendTo(text, "127.0.0.1", port));
            const auto got = peer.Await();
            QVERIFY(got);
            echo = got->bytes;
        }
        const std::string p = std::to_string(port), q = std::to_string(peerPort);
        const std::vector<std::string> expected = {
            "127.0.0.1\t" + q + "\t127.0.0.1\t" + p + "\t" + Hex(text.toStdString()),
            "127.0.0.1\t" + p + "\t127.0.0.1\t" + q + "\t" + Hex(echo.toStdString()),
        };
        QCOMPARE(env.Read("-e ip.src -e udp.srcport -e ip.dst -e udp.dstport -e udp.payload"),
                 expected);
    }

    // A client made while the window runs ("dynamic" mode) records its connection too.
    void dynamicTcpClientIsRecorded() {
        CaptureEnv env;
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
            TcpConnection conn;
            QVERIFY(SpinUntil([&] { return (conn = server.Accept(0)).ok(); }));
            QVERIFY(SpinUntil([&] { return client->Active(); }));
            QVERIFY(conn.Send("from the peer"));
            QVERIFY(SpinUntil([&] { return form->Memo1->Text().contains(u"from the peer"); }));
        }
        const auto rows = env.Read("-e ip.dst -e tcp.dstport -e tcp.payload");
        QVERIFY(rows.size() >= 4);
        QCOMPARE(rows.front(), "127.0.0.8\t" + std::to_string(server.port()) + "\t");  // the SYN
        QVERIFY(std::find(rows.begin(), rows.end(),
                          "127.0.0.1\t" + Split(rows[1])[1] + "\t" + Hex("from the peer")) !=
                rows.end());
    }
};

QTEST_MAIN(Form1CaptureTest)
#include "form1_capture_test.moc"
