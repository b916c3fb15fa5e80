// What both transports share: the mode radio buttons, "Передать Серверу", and clearing the
// memo of all messages.
#include "ui/form1.h"

namespace ui {

void TForm1::RadioButton_UDPClick() {
    Button2->setEnabled(false);
    Button3->setEnabled(false);
    UDPClient->SetActive(true);
    CheckBox1->setEnabled(true);
}

void TForm1::RadioButtonTCPClick() {
    Button2->setEnabled(true);
    Button3->setEnabled(true);
    UDPClient->SetActive(false);
    CheckBox1->setEnabled(false);
}

void TForm1::RadioButton_IndyTCPClick() {
    UDPClient->SetActive(false);
    CheckBox1->setEnabled(RadioButton_UDP->isChecked());
}

void TForm1::Button1Click() {
    if (RadioButton_UDP->isChecked()) UDPClient->Send(TextOf(Edit1));
    SendOverTcp();
}

void TForm1::Button8Click() {
    Memo2->Clear();
}

}  // namespace ui
