// The UDP side: destination edits, reception switch, received datagrams.
#include "app/text.h"
#include "base/error.h"
#include "base/int_conv.h"
#include "ui/form1.h"

namespace ui {
namespace {

bool IsEchoReply(std::string_view data) {
    return data.starts_with("Replied from ") && data.ends_with('"');
}

}  // namespace

void TForm1::Edit2Change() {
    UDPClient->Host = TextOf(Edit2);
}

void TForm1::Edit3Change() {
    // Serves Edit5 too, and still follows Edit3.
    const std::string text = TextOf(Edit3);
    if (text.empty()) return;
    PortLabel->SetCaption(Edit3->text());
    UDPClient->Port = base::StrToInt(text);
}

void TForm1::CheckBox1Click() {
    // Serves CheckBox6 too, and still follows CheckBox1.
    if (!CheckBox1->isChecked()) {
        UDPServer->SetActive(false);
        return;
    }
    const std::vector<std::string> addresses = env_.LocalAddresses();
    if (addresses.empty()) throw base::Error("List index out of bounds (0)");
    UDPServer->AddBinding(addresses.front(), UDPServer->DefaultPort);
    UDPServer->AddBinding("", base::StrToInt(TextOf(Edit3)));
    UDPServer->SetActive(true);
}

void TForm1::UDPServerUDPRead(net::TIdUDPServer&, std::string_view data,
                              net::TIdSocketHandle& binding) {
    const QString message = DisplayText(data);
    Memo1->ClearSilently();
    Memo1->AddLine(message);
    Memo2->AddLine(message);
    // An echo of an echo, or of the listener's own socket, would answer itself without end
    // (one forged sender address is enough).
    if (IsEchoReply(data) || UDPServer->IsOwnAddress(binding.PeerIP, binding.PeerPort)) return;
    std::string reply = "Replied from " + env_.LocalHostName() + " to \"";
    reply.append(data);
    reply.push_back('"');
    // What the socket cannot take at once is dropped, as every echo failure is, rather than
    // holding the window while the send buffer drains.
    binding.SendTo(reply, binding.PeerIP, binding.PeerPort, false);
}

void TForm1::WireUDPServer() {
    UDPServer->OnUDPRead = [this](net::TIdUDPServer& sender, std::string_view data,
                                  net::TIdSocketHandle& binding) {
        UDPServerUDPRead(sender, data, binding);
    };
    // What goes wrong with a received datagram, its echo reply included, is never shown.
    UDPServer->OnUDPReadFailed = [](std::exception_ptr) {};
}

}  // namespace ui
