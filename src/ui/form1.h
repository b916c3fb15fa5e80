#pragma once

// The one window of the program. Data flows one way through it: a datagram reaches
// UDPServerUDPRead, which clears Memo1 and adds the message as its only line; that change
// runs Memo1Change, which in programming mode hands the line to the read side (Panel4): it
// parses the newest replies with config::ParseConfigReply when it is next shown. Button6 copies the
// read side to the write side (Panel7), whose decimal addresses follow into hex quads as they are
// typed; Button5 sends them back with config::BuildConfigCommand. Handlers live in one file per
// area: form1_startup.cpp, form1_config.cpp, form1_transport.cpp, form1_udp.cpp, form1_tcp.cpp;
// form1_layout.cpp builds the controls.

#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QWidget>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/application.h"
#include "app/env.h"
#include "app/error_box.h"
#include "app/ip_watch.h"
#include "net/async_lookup.h"
#include "net/tcp_client.h"
#include "net/udp_client.h"
#include "net/udp_server.h"
#include "ui/memo.h"
#include "ui/texts.h"
#include "ui/widgets.h"

namespace ui {

class TForm1 : public app::MainWindow {
    Q_OBJECT
public:
    explicit TForm1(app::Env& env, QWidget* parent = nullptr);
    ~TForm1() override;

    // Ends the components, the most recently created first; may fail (a fatal error).
    void Shutdown() override;

    // Information area
    TLabel* Label1 = nullptr;
    TLabel* HostNameLabel = nullptr;
    QListWidget* ListBox1 = nullptr;
    TLabel* Label2 = nullptr;
    TLabel* HostAddressLabel = nullptr;
    TLabel* Label3 = nullptr;
    TLabel* PortLabel = nullptr;
    TLabel* Label4 = nullptr;
    TLabel* DestinationLabel = nullptr;
    TLabel* Label5 = nullptr;
    TLabel* BufferSizeLabel = nullptr;
    QTabWidget* PageControl1 = nullptr;
    QPushButton* BitBtn1 = nullptr;
    TStatusBar* StatusBar1 = nullptr;

    // "Work Socket"
    TTabSheet* TabSheet1 = nullptr;
    TMemo* Memo1 = nullptr;
    TPanel* Panel1 = nullptr;
    QRadioButton* RadioButton_UDP = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QRadioButton* RadioButtonTCP = nullptr;
    QCheckBox* CheckBox6 = nullptr;
    QRadioButton* RadioButton_IndyTCP = nullptr;
    TPanel* Panel2 = nullptr;
    TLabel* Label7 = nullptr;
    QPushButton* Button2 = nullptr;
    QLineEdit* Edit2 = nullptr;
    QPushButton* Button3 = nullptr;
    QLineEdit* Edit3 = nullptr;
    TLabel* Label6 = nullptr;
    TPanel* Panel3 = nullptr;
    QPushButton* Button1 = nullptr;
    QLineEdit* Edit1 = nullptr;

    // "Настройка сети"
    TTabSheet* TabSheet2 = nullptr;
    QPushButton* Button11 = nullptr;
    QCheckBox* CheckBox3 = nullptr;
    TPanel* Panel6 = nullptr;
    TPanel* Panel5 = nullptr;  // connection strip
    TPanel* Panel8 = nullptr;
    QCheckBox* CheckBox4 = nullptr;
    QLineEdit* Edit13 = nullptr;
    TPanel* Panel9 = nullptr;
    QCheckBox* CheckBox5 = nullptr;
    QLineEdit* Edit15 = nullptr;
    QCheckBox* CheckBox2 = nullptr;
    QLineEdit* Edit5 = nullptr;
    TLabel* Label8 = nullptr;
    TPanel* Panel4 = nullptr;  // read side
    TLabel* Label17 = nullptr;
    QLineEdit* Edit4 = nullptr;
    QLineEdit* Edit11 = nullptr;
    QLineEdit* Edit17 = nullptr;
    TLabel* Label10 = nullptr;
    TLabel* Label15 = nullptr;
    QLineEdit* Edit8 = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    TLabel* Label18 = nullptr;
    TLabel* Label25 = nullptr;
    TLabel* Label19 = nullptr;
    TLabel* Label26 = nullptr;
    TLabel* Label24 = nullptr;
    TLabel* Label31 = nullptr;
    TLabel* Label20 = nullptr;
    TLabel* Label27 = nullptr;
    TLabel* Label21 = nullptr;
    TLabel* Label28 = nullptr;
    TLabel* Label22 = nullptr;
    TLabel* Label29 = nullptr;
    TLabel* Label23 = nullptr;
    TLabel* Label30 = nullptr;
    TLabel* Label11 = nullptr;
    QLineEdit* Edit18 = nullptr;
    TLabel* Label32 = nullptr;
    QLineEdit* Edit26 = nullptr;
    TLabel* Label36 = nullptr;
    QLineEdit* Edit7 = nullptr;
    TLabel* Label9 = nullptr;
    TBevel* Bevel3 = nullptr;
    TLabel* Label33 = nullptr;
    QLineEdit* Edit19 = nullptr;
    QPushButton* Button4 = nullptr;
    QPushButton* Button6 = nullptr;
    TPanel* Panel7 = nullptr;  // write side
    QLineEdit* Edit6 = nullptr;
    QLineEdit* Edit12 = nullptr;
    TLabel* Label12 = nullptr;
    TLabel* Label16 = nullptr;
    QLineEdit* Edit9 = nullptr;
    QLineEdit* Edit16 = nullptr;
    QLineEdit* Edit14 = nullptr;
    TLabel* Label13 = nullptr;
    QLineEdit* Edit20 = nullptr;
    QLineEdit* Edit21 = nullptr;
    QLineEdit* Edit22 = nullptr;
    TLabel* Label34 = nullptr;
    QLineEdit* Edit27 = nullptr;
    QLineEdit* Edit28 = nullptr;
    QLineEdit* Edit29 = nullptr;
    TLabel* Label37 = nullptr;
    QLineEdit* Edit10 = nullptr;
    TLabel* Label14 = nullptr;
    TBevel* Bevel2 = nullptr;
    TLabel* Label35 = nullptr;
    QLineEdit* Edit23 = nullptr;
    QLineEdit* Edit24 = nullptr;
    QLineEdit* Edit25 = nullptr;
    QPushButton* Button5 = nullptr;
    QCheckBox* CheckBox7 = nullptr;

    // "Stream Work Socket +"
    TTabSheet* TabSheet3 = nullptr;
    TMemo* Memo2 = nullptr;
    QPushButton* Button8 = nullptr;

    // Non-visual components
    net::TIdUDPClient* UDPClient = nullptr;
    net::TIdUDPServer* UDPServer = nullptr;
    net::TClientSocket* Client1 = nullptr;
    app::TIdIPWatch* IdIPWatch1 = nullptr;

    // form1_startup.cpp
    void FormCreate();
    void FormShow();
    void BitBtn1Click();

    // form1_transport.cpp
    void RadioButton_UDPClick();
    void RadioButtonTCPClick();
    void RadioButton_IndyTCPClick();
    void Button1Click();
    void Button8Click();

    // form1_udp.cpp
    void Edit2Change();
    void Edit3Change();
    void CheckBox1Click();
    void UDPServerUDPRead(net::TIdUDPServer& sender, std::string_view data,
                          net::TIdSocketHandle& binding);

    // form1_tcp.cpp
    void Button2Click();
    void Button3Click();
    void Client1Connect(net::TClientSocket& sender, net::TCustomWinSocket& socket);
    void Client1Disconnect(net::TClientSocket& sender, net::TCustomWinSocket& socket);
    void Client1Read(net::TClientSocket& sender, net::TCustomWinSocket& socket);
    void Client1Error(net::TClientSocket& sender, net::TCustomWinSocket& socket,
                      net::TErrorEvent errorEvent, int& errorCode);
    void TCPClient1Connect(net::TClientSocket& sender, net::TCustomWinSocket& socket);
    void TCPClientDisconnect(net::TClientSocket& sender, net::TCustomWinSocket& socket);
    void TCPClientError(net::TClientSocket& sender, net::TCustomWinSocket& socket,
                        net::TErrorEvent errorEvent, int& errorCode);
    void TCPSocketClientOnRead(net::TClientSocket& sender, net::TCustomWinSocket& socket);
    std::string SubstitutionIP();

    // form1_config.cpp
    void CheckBox3Click();
    void Button4Click();
    void Memo1Change();
    void Button6Click();
    void Edit9Change();
    void Edit20Change();
    void Edit23Change();
    void Edit27Change();
    void Button5Click();
    void Button11Click();
    void CheckBox2Click();
    void CheckBox4Click();
    // Parsed replies reach the read side once per frame; this writes the latest ones now, for
    // whatever reads the read side's edits.
    void FlushReadSide();

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    using Handler = void (TForm1::*)();

    void BuildLayout();       // form1_layout.cpp
    void CreateComponents();  // form1_layout.cpp
    // form1_startup.cpp
    void StartupLookupDone(const net::LookupResult& result);
    // form1_udp.cpp
    void WireUDPServer();
    void LocalLookupDone(const net::LookupResult& result);
    void Listen(const std::vector<std::string>& addresses, const std::string& portText);
    void ChangeListener(std::function<void()> change);
    // form1_tcp.cpp
    void WireTcpClient(net::TClientSocket& client, bool dynamic);
    void SendOverTcp();  // the TCP part of Button1Click
    net::TClientSocket* DynamicClient(const std::string& name) const;
    // Newest first; with keepClient1 the clients made at run time only.
    void EndTcpClients(bool keepClient1 = false) noexcept;
    void Wire(QObject* control, Handler handler);
    template <class F>
    void Guard(F&& handler) noexcept {
        app::Guarded(env_, std::forward<F>(handler));
    }

    class ReadSide;  // form1_config.cpp
    ReadSide* readSide_ = nullptr;
    app::Env& env_;
    bool shown_ = false;
    // The local address list that the last answered lookup of the host's name gave (start-up's
    // or the IP watcher's); nullopt until one has answered, empty when the first one failed.
    std::optional<std::vector<std::string>> localAddresses_;
    // From a tick of "Вкл. приём UDP" that came before any list until the next answer, every
    // change of the listener waits here in click order; the answer carries them out, so that
    // reception ends as it would have had the answer come first.
    std::optional<std::deque<std::function<void()>>> listenerChanges_;
    net::LookupTicket startupLookup_;
};

}  // namespace ui
