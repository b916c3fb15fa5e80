// The device exchange on "Настройка сети": programming mode, request, reply, synchronise,
// live address conversion, replace, reconnect.
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/int_conv.h"
#include "config/codec.h"
#include "ui/form1.h"

namespace ui {
namespace {

// Shows the two hexadecimal forms of a dotted input; nothing changes when there is no result.
void ShowQuads(const QLineEdit* input, QLineEdit* hex, QLineEdit* padded) {
    if (const auto quads = config::DottedToHexQuads(TextOf(input))) {
        SetTextOf(hex, quads->hex);
        SetTextOf(padded, quads->padded);
    }
}

constexpr int kFrameMs = 16;

}  // namespace

// Replies wait here for the next frame, merged as the edits would take them: a flood of
// replies then lays the read side out once per frame, with the latest values, instead of once
// per datagram. They are parsed then too, newest first, and only as far back as a field is
// still missing, so that a flood parses about one reply per frame. Whatever reads or edits the
// read side flushes first.
class TForm1::ReadSide : public QObject {
public:
    explicit ReadSide(TForm1& form) : QObject(&form), form_(form), edits_(Edits(form)) {
        timer_.setSingleShot(true);
        timer_.setInterval(kFrameMs);
        connect(&timer_, &QTimer::timeout, this, [this] { form_.Guard([this] { Flush(); }); });
        for (QLineEdit* edit : edits_) edit->installEventFilter(this);
    }

    void Take(QStringView reply) {
        if (ends_.size() == kMaxHeld) Resolve();
        replies_.append(reply);
        ends_.push_back(replies_.size());
        // Not restarted: a steady flood must not hold the screen back.
        if (!timer_.isActive()) timer_.start();
    }

    void Flush() {
        timer_.stop();
        Resolve();
        for (std::size_t i = 0; i < edits_.size(); ++i) {
            if (std::optional<std::string> value = std::exchange(pending_[i], std::nullopt)) {
                SetTextOf(edits_[i], *value);
            }
        }
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::KeyPress:
            case QEvent::InputMethod:
            case QEvent::MouseButtonPress:
            case QEvent::ShortcutOverride:
            case QEvent::FocusIn:
                form_.Guard([this] { Flush(); });
                break;
            default:
                break;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    // In the order the edits are written: the six numeric settings, the MAC last.
    static std::array<QLineEdit*, 7> Edits(const TForm1& f) {
        return {f.Edit4, f.Edit11, f.Edit18, f.Edit8, f.Edit19, f.Edit26, f.Edit7};
    }

    // What taking each held reply in turn would leave in pending_: a field from the newest
    // reply that has it, the MAC from the newest.
    void Resolve() {
        std::array<bool, 6> found{};
        std::size_t missing = found.size();
        for (std::size_t k = ends_.size(); k-- > 0 && missing > 0;) {
            const qsizetype start = k == 0 ? 0 : ends_[k - 1];
            config::ConfigReplyFields fields = config::ParseConfigReply(
                MessageBytes(QStringView(replies_).mid(start, ends_[k] - start)));
            if (k + 1 == ends_.size()) pending_.back() = std::move(fields.mac);
            std::optional<std::string>* const values[] = {
                &fields.telemetryPort, &fields.h323Port,          &fields.gateway,
                &fields.ipAddress,     &fields.handsetController, &fields.netMask,
            };
            for (std::size_t i = 0; i < found.size(); ++i) {
                if (found[i] || !*values[i]) continue;
                pending_[i] = std::move(*values[i]);
                found[i] = true;
                --missing;
            }
        }
        replies_.resize(0);  // its capacity stays for the next frame's replies
        ends_.clear();
    }

    // Replies held before they are parsed at once: a bound for a frame that comes late.
    static constexpr std::size_t kMaxHeld = 4096;

    TForm1& form_;
    const std::array<QLineEdit*, 7> edits_;
    std::array<std::optional<std::string>, 7> pending_;
    QString replies_;  // the held replies back to back, oldest first
    std::vector<qsizetype> ends_;
    QTimer timer_;
};

void TForm1::FlushReadSide() {
    if (readSide_ != nullptr) readSide_->Flush();
}

void TForm1::CheckBox3Click() {
    const bool on = CheckBox3->isChecked();
    for (QLineEdit* edit : {Edit4, Edit11, Edit8, Edit7, Edit6, Edit12, Edit9, Edit10, Edit18,
                            Edit19, Edit20, Edit23, Edit26, Edit27}) {
        SetEditEnabled(edit, on);
    }
}

void TForm1::Button4Click() {
    if (!CheckBox3->isChecked() || !RadioButton_UDP->isChecked()) return;
    UDPClient->Host = TextOf(Edit13);
    UDPClient->Port = base::StrToInt(TextOf(Edit5));
    // Behind a tick that waits for the first lookup this waits too: the listener's bindings
    // then come in click order, as they would have after an instant answer.
    ChangeListener([this, host = UDPClient->Host, port = UDPClient->Port] {
        UDPServer->AddBinding("", port);
        UDPServer->SetActive(true);
        // To where it was addressed at the click, whatever the edits have said since.
        const std::string nowHost = std::exchange(UDPClient->Host, host);
        const std::int32_t nowPort = std::exchange(UDPClient->Port, port);
        const auto restore = [&] {
            UDPClient->Host = nowHost;
            UDPClient->Port = nowPort;
        };
        try {
            UDPClient->Send(config::RequestText());
        } catch (...) {
            restore();
            throw;
        }
        restore();
        // What the read side showed came from the device asked before, perhaps another one:
        // it must not pass for this one's when nothing answers.
        FlushReadSide();
        for (QLineEdit* edit : {Edit4, Edit11, Edit18, Edit8, Edit19, Edit26, Edit7}) edit->clear();
    });
}

void TForm1::Memo1Change() {
    if (!CheckBox3->isChecked()) return;
    env_.Beep();
    if (readSide_ == nullptr) readSide_ = new ReadSide(*this);
    readSide_->Take(Memo1->FirstLineView());
}

void TForm1::Button6Click() {
    // A copy that changes a decimal input runs its conversion through its change handler.
    const std::pair<const QLineEdit*, QLineEdit*> copies[] = {
        {Edit4, Edit6},   {Edit8, Edit9},   {Edit7, Edit10},  {Edit11, Edit12},
        {Edit18, Edit20}, {Edit26, Edit27}, {Edit19, Edit23},
    };
    FlushReadSide();
    for (const auto& [from, to] : copies) to->setText(from->text());
}

void TForm1::Edit9Change() {
    ShowQuads(Edit9, Edit16, Edit14);
}
void TForm1::Edit20Change() {
    ShowQuads(Edit20, Edit21, Edit22);
}
void TForm1::Edit23Change() {
    ShowQuads(Edit23, Edit24, Edit25);
}
void TForm1::Edit27Change() {
    ShowQuads(Edit27, Edit28, Edit29);
}

void TForm1::Button5Click() {
    if (!CheckBox3->isChecked()) return;
    Memo1->ClearSilently();
    if (RadioButton_UDP->isChecked()) {
        UDPClient->Send(config::BuildConfigCommand(TextOf(Edit6), TextOf(Edit12), TextOf(Edit22),
                                                   TextOf(Edit14), TextOf(Edit25), TextOf(Edit29),
                                                   TextOf(Edit10)));
        // A reply that arrived meanwhile is shown, and parsed, before the pause.
        UDPServer->Settle();
        QCoreApplication::processEvents();
        FlushReadSide();
    }
    if (CheckBox7->isChecked()) {
        env_.Pause(500);
        UDPClient->Send(config::BuildTimeCommand(env_.LocalTime()));
        env_.Beep();
    }
}

void TForm1::Button11Click() {
    if (!RadioButton_UDP->isChecked()) return;
    FlushReadSide();  // a reply parsed before the reset must not land after it
    const std::pair<QLineEdit*, const char*> resets[] = {
        {Edit4, "0"},
        {Edit11, "0"},
        {Edit17, "0"},
        {Edit8, "0.0.0.0"},
        {Edit18, "0.0.0.0"},
        {Edit26, "0.0.0.0"},
        {Edit7, "00:00:00:00:00:00"},
        {Edit19, "0.0.0.0"},
    };
    for (const auto& [edit, text] : resets) SetTextOf(edit, text);
    UDPClient->SetActive(false);
    Button11->hide();
    env_.Pause(500);
    UDPClient->SetActive(true);
    Button11->show();
}

void TForm1::CheckBox2Click() {
    SetEditEnabled(Edit5, CheckBox2->isChecked());
}

void TForm1::CheckBox4Click() {
    SetEditEnabled(Edit13, CheckBox4->isChecked());
}

}  // namespace ui
