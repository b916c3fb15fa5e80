// The UDP side: destination edits, reception switch, received datagrams.
#include "app/echo.h"
#include "app/text.h"
#include "base/error.h"
#include "base/int_conv.h"
#include "ui/form1.h"

namespace ui {

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
        ChangeListener([this] { UDPServer->SetActive(false); });
        return;
    }
    // The first local address is the last lookup's; before any lookup has answered, the tick
    // waits for the answer rather than for the name server.
    if (!localAddresses_ && !listenerChanges_) listenerChanges_.emplace();
    ChangeListener([this, portText = TextOf(Edit3)] { Listen(*localAddresses_, portText); });
}

void TForm1::ChangeListener(std::function<void()> change) {
    if (listenerChanges_) {
        listenerChanges_->push_back(std::move(change));
    } else {
        change();
    }
}

void TForm1::Listen(const std::vector<std::string>& addresses, const std::string& portText) {
    if (addresses.empty()) throw base::Error("List index out of bounds (0)");
    UDPServer->AddBinding(addresses.front(), UDPServer->DefaultPort);
    UDPServer->AddBinding("", base::StrToInt(portText));
    UDPServer->SetActive(true);
}

void TForm1::LocalLookupDone(const net::LookupResult& result) {
    Guard([&] {
        // A failed lookup leaves the last list as it was.
        if (result.error == 0) localAddresses_ = app::DottedAddresses(result.addresses);
    });
    // The first answer makes a list even when it failed (an empty one), so that a later tick
    // fails or listens at once instead of waiting.
    if (!localAddresses_) localAddresses_.emplace();
    // Each change fails on its own, as each click would have; a click during a box joins the
    // end of the queue.
    while (listenerChanges_ && !listenerChanges_->empty()) {
        const std::function<void()> change = std::move(listenerChanges_->front());
        listenerChanges_->pop_front();
        Guard(change);
    }
    listenerChanges_.reset();
}

void TForm1::UDPServerUDPRead(net::TIdUDPServer&, std::string_view data,
                              net::TIdSocketHandle& binding) {
    const QString message = DisplayText(data);
    Memo1->ClearSilently();
    Memo1->AddLine(message);
    Memo2->AddLine(message);
    if (!app::AnswersDatagram(data, UDPServer->IsOwnAddress(binding.PeerIP, binding.PeerPort))) {
        return;
    }
    // What the socket cannot take at once is dropped, as every echo failure is, rather than
    // holding the window while the send buffer drains.
    binding.ReplyToSender(app::EchoReply(IdIPWatch1->LocalHostName(), data));
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
