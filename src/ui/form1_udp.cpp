// The UDP side: destination edits, reception switch, received datagrams.
#include <memory>
#include <mutex>

#include "app/echo.h"
#include "app/text.h"
#include "base/error.h"
#include "base/int_conv.h"
#include "ui/form1.h"

namespace ui {
namespace {

// The host name that echo replies carry: the listener's thread reads it for every reply, the
// interface thread sets it whenever the IP watcher reads the name.
class EchoName {
public:
    void Set(const std::string& name) {
        const std::lock_guard lock(mutex_);
        if (name_ != name) name_ = name;
    }
    void Reply(std::string& reply, std::string_view datagram) const {
        const std::lock_guard lock(mutex_);
        app::EchoReplyInto(reply, name_, datagram);
    }

private:
    mutable std::mutex mutex_;
    std::string name_;
};

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

void TForm1::UDPServerUDPRead(net::TIdUDPServer&, std::string_view data, net::TIdSocketHandle&) {
    // Its echo reply has gone already, from the listener's thread (WireUDPServer). Each memo
    // decodes the bytes into its own buffer: a flood allocates nothing per datagram.
    Memo1->ClearSilently();
    Memo1->AddMessage(data);
    Memo2->AddMessage(data);
}

void TForm1::WireUDPServer() {
    UDPServer->OnUDPRead = [this](net::TIdUDPServer& sender, std::string_view data,
                                  net::TIdSocketHandle& binding) {
        UDPServerUDPRead(sender, data, binding);
    };
    // What goes wrong with a received datagram is never shown.
    UDPServer->OnUDPReadFailed = [](std::exception_ptr) {};
    // Answering on the listener's thread lets replies leave while the window is still drawing
    // the datagrams before. What the socket cannot take at once is dropped, as every echo
    // failure is, rather than holding the listener while the send buffer drains.
    auto name = std::make_shared<EchoName>();
    name->Set(IdIPWatch1->LocalHostName());
    IdIPWatch1->OnHostName = [name](const std::string& hostName) {
        try {
            name->Set(hostName);
        } catch (...) {
            // Out of memory for the name: the replies keep the last one.
        }
    };
    UDPServer->SetAnswer([name](std::string_view data, bool fromOwnSocket, std::string& reply) {
        if (!app::AnswersDatagram(data, fromOwnSocket)) return false;
        name->Reply(reply, data);
        return true;
    });
}

}  // namespace ui
