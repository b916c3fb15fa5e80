// Builds every control of the window from one table, in layout order.
#include <QApplication>
#include <QPalette>
#include <QScreen>
#include <algorithm>
#include <limits>
#include <map>
#include <variant>
#include <vector>

#include "app/text.h"
#include "ui/form1.h"

namespace ui {
namespace {

using Member = std::variant<TLabel * TForm1::*, QListWidget * TForm1::*, QTabWidget * TForm1::*,
                            QPushButton * TForm1::*, TStatusBar * TForm1::*, TTabSheet * TForm1::*,
                            TMemo * TForm1::*, TPanel * TForm1::*, QRadioButton * TForm1::*,
                            QCheckBox * TForm1::*, QLineEdit * TForm1::*, QGroupBox * TForm1::*,
                            TBevel * TForm1::*>;

enum Flags : unsigned {
    kDisabled = 1,
    kLight = 2,    // cl3DLight; every other edit has clWindow
    kChecked = 4,  // ticked or selected
    kBold = 8,     // the small bold font of the field captions
};

struct Row {
    Member member;
    const char* name;
    const char* parent;  // "" for the window itself
    int left, top, width, height;
    const char* text;  // caption or default text
    int tab;           // -1 for controls that take no focus
    unsigned flags;
    void (TForm1::*on)();
    // Accessible name: nullptr for the control's own caption, "@Label" for that label's
    // caption, "@Label#hex" / "@Label#pad" for the two hexadecimal columns, else the text.
    const char* speak;
};

#define M(name) &TForm1::name, #name

const char* const kLayoutRectProperty = "orvanLayoutRect";

QString SpokenCaption(QString caption) {
    caption.replace(QStringLiteral("-\r\n"), QString());
    return caption.simplified();
}

using T = TForm1;
// clang-format off
const Row kRows[] = {
    // member                    parent          left top  wid  hgt  text                                    tab flags                 on
    {M(Label1),                  "",              12,   8,  54, 13, "Host name:",                            -1, 0,                    nullptr, nullptr},
    {M(HostNameLabel),           "",              94,   8,  54, 13, "Host name:",                            -1, 0,                    nullptr, nullptr},
    {M(ListBox1),                "",             368,   8, 121, 73, "",                                       3, 0,                    nullptr, "Клиенты TCP"},
    {M(Label2),                  "",              12,  24,  85, 13, "Stack Local Host:",                     -1, 0,                    nullptr, nullptr},
    {M(HostAddressLabel),        "",              94,  24,  65, 13, "Host address:",                         -1, 0,                    nullptr, nullptr},
    {M(Label3),                  "",              12,  41,  22, 13, "Port:",                                 -1, 0,                    nullptr, nullptr},
    {M(PortLabel),               "",              94,  41,  22, 13, "Port:",                                 -1, 0,                    nullptr, nullptr},
    {M(Label4),                  "",              12,  57,  54, 13, "Local Host:",                           -1, 0,                    nullptr, nullptr},
    {M(DestinationLabel),        "",              94,  57,  96, 13, "Destination address:",                  -1, 0,                    nullptr, nullptr},
    {M(Label5),                  "",              12,  72,  49, 13, "Buffer size",                           -1, 0,                    nullptr, nullptr},
    {M(BufferSizeLabel),         "",              94,  72,  49, 13, "Buffer size",                           -1, 0,                    nullptr, nullptr},
    {M(PageControl1),            "",               7,  89, 494, 624, "",                                      2, 0,                    nullptr, nullptr},
    {M(BitBtn1),                 "",             426, 727,  70, 23, "Выход",                                  0, 0,                    &T::BitBtn1Click, nullptr},
    {M(StatusBar1),              "",               0, 757, 513, 19, "",                                      -1, 0,                    nullptr, nullptr},
    {M(TabSheet1),               "PageControl1",   0,   0,   0,  0, "Work Socket",                            0, 0,                    nullptr, nullptr},
    {M(TabSheet2),               "PageControl1",   0,   0,   0,  0, "Настройка сети",                         1, 0,                    nullptr, nullptr},
    {M(TabSheet3),               "PageControl1",   0,   0,   0,  0, "Stream Work Socket +",                   2, 0,                    nullptr, nullptr},

    {M(Memo1),                   "TabSheet1",      7,  15, 462, 149, "Данные от сервера:",                    0, 0,                    &T::Memo1Change, "Данные от сервера: последнее сообщение"},
    {M(Panel1),                  "TabSheet1",     15, 178, 454, 76, "",                                       1, 0,                    nullptr, nullptr},
    {M(Panel2),                  "TabSheet1",     15, 260, 454, 68, "",                                       2, 0,                    nullptr, nullptr},
    {M(Edit3),                   "TabSheet1",     52, 337,  46, 21, "6022",                                   4, 0,                    &T::Edit3Change, "@Label6"},
    {M(Label6),                  "TabSheet1",     20, 340,  22, 11, "Port:",                                 -1, kBold,                nullptr, nullptr},
    {M(Panel3),                  "TabSheet1",     15, 364, 454, 38, "",                                       3, 0,                    nullptr, nullptr},
    {M(RadioButton_UDP),         "Panel1",         7,   7, 165, 16, "UDP (Client - Server)",                  0, kChecked,             &T::RadioButton_UDPClick, nullptr},
    {M(CheckBox1),               "Panel1",       247,   7, 106, 16, "Вкл. приём UDP",                         3, kDisabled,            &T::CheckBox1Click, nullptr},
    {M(RadioButtonTCP),          "Panel1",         7,  30, 165, 16, "TCP (Socket: Client - Server)",          1, 0,                    &T::RadioButtonTCPClick, nullptr},
    {M(CheckBox6),               "Panel1",       247,  31, 186, 16, "Вкл. создание RunTimerSocket",           4, 0,                    &T::CheckBox1Click, nullptr},
    {M(RadioButton_IndyTCP),     "Panel1",         7,  52, 172, 16, "TCP (Indi Socket: Client - Server)",     2, kDisabled,            &T::RadioButton_IndyTCPClick, nullptr},
    {M(Label7),                  "Panel2",         7,   7,  65, 13, "Final address:",                        -1, 0,                    nullptr, nullptr},
    {M(Button2),                 "Panel2",       253,   7, 171, 24, "Подключиться только для TCP",            1, 0,                    &T::Button2Click, nullptr},
    {M(Edit2),                   "Panel2",         7,  25, 113, 21, "192.168.119.141",                        0, 0,                    &T::Edit2Change, "@Label7"},
    {M(Button3),                 "Panel2",       253,  37, 171, 23, "Отключиться только для TCP",             2, 0,                    &T::Button3Click, nullptr},
    {M(Button1),                 "Panel3",       342,   7, 105, 24, "Передать Серверу",                       1, 0,                    &T::Button1Click, nullptr},
    {M(Edit1),                   "Panel3",         7,  10, 321, 21, "TEST",                                   0, 0,                    nullptr, "Текст для передачи"},

    {M(Button11),                "TabSheet2",    352,   0, 121, 15, "Переподключиться",                       2, 0,                    &T::Button11Click, nullptr},
    {M(CheckBox3),               "TabSheet2",     22,   0, 219, 16, " Включить режим программирования",       1, 0,                    &T::CheckBox3Click, nullptr},
    {M(Panel6),                  "TabSheet2",      7,  15, 474, 578, "",                                      0, 0,                    nullptr, nullptr},
    {M(Panel5),                  "Panel6",         7,   7, 458, 68, "",                                       0, 0,                    nullptr, nullptr},
    {M(Panel4),                  "Panel6",         7,  82, 458, 207, "",                                      1, 0,                    nullptr, nullptr},
    {M(Button6),                 "Panel6",        15, 296, 149, 23, "Синхронизировать данные",                3, 0,                    &T::Button6Click, nullptr},
    {M(Panel7),                  "Panel6",         0, 328, 458, 241, "",                                      2, 0,                    nullptr, nullptr},
    {M(Panel8),                  "Panel5",       130,   7, 159, 53, "",                                       2, 0,                    nullptr, nullptr},
    {M(Panel9),                  "Panel5",       302,   7, 150, 53, "",                                       3, kDisabled,            nullptr, nullptr},
    {M(CheckBox2),               "Panel5",        12,  15, 109, 16, "Изменить порт",                          1, 0,                    &T::CheckBox2Click, nullptr},
    {M(Edit5),                   "Panel5",        45,  35,  45, 21, "4000",                                   0, kDisabled | kLight,   &T::Edit3Change, "@Label8"},
    {M(Label8),                  "Panel5",        12,  40,  22, 11, "Port:",                                 -1, kBold,                nullptr, nullptr},
    {M(CheckBox4),               "Panel8",         7,   7, 146, 16, "Изменить IP UDP Server",                 0, 0,                    &T::CheckBox4Click, nullptr},
    {M(Edit13),                  "Panel8",         7,  28,  98, 21, "192.168.1.1",                            1, kDisabled | kLight,   nullptr, "@CheckBox4"},
    {M(CheckBox5),               "Panel9",         7,   7, 135, 16, "Изменить IP UDP Client",                 0, 0,                    nullptr, nullptr},
    {M(Edit15),                  "Panel9",         7,  28,  98, 21, "192.168.1.2",                            1, kDisabled | kLight,   nullptr, "@CheckBox5"},

    {M(Label17),                 "Panel4",       312,   6,  66, 22, "Port command\r\n      (UDP):",          -1, kBold,                nullptr, nullptr},
    {M(Edit4),                   "Panel4",        97,   7,  38, 21, "0",                                      0, kDisabled | kLight,   nullptr, "@Label10"},
    {M(Edit11),                  "Panel4",       230,   7,  38, 21, "0",                                      4, kDisabled | kLight,   nullptr, "@Label15"},
    {M(Edit17),                  "Panel4",       382,   7,  38, 21, "0",                                      6, kDisabled | kLight,   nullptr, "@Label17"},
    {M(Label10),                 "Panel4",        12,  12,  67, 11, "Port Telemetry:",                       -1, kBold,                nullptr, nullptr},
    {M(Label15),                 "Panel4",       176,  12,  47, 11, "Port H323:",                            -1, kBold,                nullptr, nullptr},
    {M(Edit8),                   "Panel4",        75,  37, 127, 21, "0.0.0.0",                                3, kDisabled | kLight,   nullptr, "@Label11"},
    {M(GroupBox1),               "Panel4",       248,  40, 201, 113, "Дата / Время",                          7, 0,                    nullptr, nullptr},
    {M(Label18),                 "GroupBox1",     12,  28,  20, 11, "Год:",                                  -1, kBold,                nullptr, nullptr},
    {M(Label25),                 "GroupBox1",     44,  28,  10, 11, "ГГ",                                    -1, kBold,                nullptr, nullptr},
    {M(Label19),                 "GroupBox1",     92,  28,  31, 11, "Месяц:",                                -1, kBold,                nullptr, nullptr},
    {M(Label26),                 "GroupBox1",    136,  28,  14, 11, "ММ",                                    -1, kBold,                nullptr, nullptr},
    {M(Label24),                 "GroupBox1",    204,  52,  44, 11, "Секунды:",                              -1, kBold,                nullptr, nullptr},
    {M(Label31),                 "GroupBox1",    252,  52,  14, 11, "СС",                                    -1, kBold,                nullptr, nullptr},
    {M(Label20),                 "GroupBox1",     12,  55,  25, 11, "День:",                                 -1, kBold,                nullptr, nullptr},
    {M(Label27),                 "GroupBox1",     44,  55,  12, 11, "ДД",                                    -1, kBold,                nullptr, nullptr},
    {M(Label21),                 "GroupBox1",     92,  55,  61, 11, "День недели:",                          -1, kBold,                nullptr, nullptr},
    {M(Label28),                 "GroupBox1",    156,  55,  13, 11, "ДН",                                    -1, kBold,                nullptr, nullptr},
    {M(Label22),                 "GroupBox1",     12,  84,  27, 11, "Часы:",                                 -1, kBold,                nullptr, nullptr},
    {M(Label29),                 "GroupBox1",     44,  84,  12, 11, "ЧЧ",                                    -1, kBold,                nullptr, nullptr},
    {M(Label23),                 "GroupBox1",     92,  84,  38, 11, "Минуты:",                               -1, kBold,                nullptr, nullptr},
    {M(Label30),                 "GroupBox1",    144,  84,  14, 11, "ММ",                                    -1, kBold,                nullptr, nullptr},
    {M(Label11),                 "Panel4",        12,  42,  42, 11, "IP Адрес:",                             -1, kBold,                nullptr, nullptr},
    {M(Edit18),                  "Panel4",        75,  67, 127, 21, "0.0.0.0",                                8, kDisabled | kLight,   nullptr, "@Label32"},
    {M(Label32),                 "Panel4",        12,  72,  42, 11, "IP Шлюз:",                              -1, kBold,                nullptr, nullptr},
    {M(Edit26),                  "Panel4",        75,  98, 127, 21, "0.0.0.0",                               10, kDisabled | kLight,   nullptr, "@Label36"},
    {M(Label36),                 "Panel4",        12, 104,  53, 11, "Маска сети:",                           -1, kBold,                nullptr, nullptr},
    {M(Edit7),                   "Panel4",        74, 130, 127, 21, "00:00:00:00:00:00",                      2, kDisabled | kLight,   nullptr, "@Label9"},
    {M(Label9),                  "Panel4",        12, 137,  52, 11, "MAC Адрес:",                            -1, kBold,                nullptr, nullptr},
    {M(Bevel3),                  "Panel4",         8, 162, 225,  3, "",                                      -1, 0,                    nullptr, nullptr},
    {M(Label33),                 "Panel4",         8, 174,  60, 22, "IP контрол-\r\nлера трубки:",           -1, kBold,                nullptr, nullptr},
    {M(Edit19),                  "Panel4",        74, 175, 126, 21, "0.0.0.0",                                9, kDisabled | kLight,   nullptr, "@Label33"},
    {M(Button4),                 "Panel4",       327, 176, 120, 23, "Получить данные",                        1, 0,                    &T::Button4Click, nullptr},

    {M(Edit6),                   "Panel7",        97,  10,  38, 21, "0",                                      1, kLight,               nullptr, "@Label12"},
    {M(Edit12),                  "Panel7",       238,  10,  38, 21, "0",                                      4, kDisabled | kLight,   nullptr, "@Label16"},
    {M(Label12),                 "Panel7",        12,  14,  67, 11, "Port Telemetry:",                       -1, kBold,                nullptr, nullptr},
    {M(Label16),                 "Panel7",       183,  14,  47, 11, "Port H323:",                            -1, kBold,                nullptr, nullptr},
    {M(Edit9),                   "Panel7",        75,  40, 118, 21, "0.0.0.0",                                2, kLight,               &T::Edit9Change, "@Label13"},
    {M(Edit16),                  "Panel7",       202,  40, 118, 21, "0.0.0.0",                                5, kDisabled | kLight,   nullptr, "@Label13#hex"},
    {M(Edit14),                  "Panel7",       330,  40, 119, 21, "0.0.0.0",                                6, kDisabled | kLight,   nullptr, "@Label13#pad"},
    {M(Label13),                 "Panel7",        12,  44,  42, 11, "IP Адрес:",                             -1, kBold,                nullptr, nullptr},
    {M(Edit20),                  "Panel7",        75,  69, 118, 21, "0.0.0.0",                                8, kLight,               &T::Edit20Change, "@Label34"},
    {M(Edit21),                  "Panel7",       202,  69, 118, 21, "0.0.0.0",                                9, kDisabled | kLight,   nullptr, "@Label34#hex"},
    {M(Edit22),                  "Panel7",       330,  69, 119, 21, "0.0.0.0",                               10, kDisabled | kLight,   nullptr, "@Label34#pad"},
    {M(Label34),                 "Panel7",        12,  74,  42, 11, "IP Шлюз:",                              -1, kBold,                nullptr, nullptr},
    {M(Edit27),                  "Panel7",        75,  98, 118, 21, "0.0.0.0",                               14, kLight,               &T::Edit27Change, "@Label37"},
    {M(Edit28),                  "Panel7",       202,  98, 118, 21, "0.0.0.0",                               15, kDisabled | kLight,   nullptr, "@Label37#hex"},
    {M(Edit29),                  "Panel7",       330,  98, 119, 21, "0.0.0.0",                               16, kDisabled | kLight,   nullptr, "@Label37#pad"},
    {M(Label37),                 "Panel7",        12, 103,  53, 11, "Маска сети:",                           -1, kBold,                nullptr, nullptr},
    {M(Edit10),                  "Panel7",        74, 128, 127, 21, "00:00:00:00:00:00",                      3, kLight,               nullptr, "@Label14"},
    {M(Label14),                 "Panel7",        12, 133,  52, 11, "MAC Адрес:",                            -1, kBold,                nullptr, nullptr},
    {M(Bevel2),                  "Panel7",        16, 163, 385,  3, "",                                      -1, 0,                    nullptr, nullptr},
    {M(Label35),                 "Panel7",        12, 180,  60, 22, "IP контрол-\r\nлера трубки:",           -1, kBold,                nullptr, nullptr},
    {M(Edit23),                  "Panel7",        75, 181, 118, 21, "0.0.0.0",                               11, kLight,               &T::Edit23Change, "@Label35"},
    {M(Edit24),                  "Panel7",       202, 181, 118, 21, "0.0.0.0",                               12, kDisabled | kLight,   nullptr, "@Label35#hex"},
    {M(Edit25),                  "Panel7",       330, 181, 119, 21, "0.0.0.0",                               13, kDisabled | kLight,   nullptr, "@Label35#pad"},
    {M(Button5),                 "Panel7",       335, 209, 112, 23, "Заменить данные",                        0, 0,                    &T::Button5Click, nullptr},
    {M(CheckBox7),               "Panel7",        12, 216, 193, 17, " Синхронизировать дату и время",         7, kChecked,             nullptr, nullptr},

    {M(Memo2),                   "TabSheet3",      7,  15, 462, 357, "Данные от сервера:",                    0, 0,                    nullptr, "Данные от сервера: все сообщения"},
    {M(Button8),                 "TabSheet3",    312, 383, 142, 23, "Очистить окно",                          1, 0,                    &T::Button8Click, nullptr},
};
// clang-format on

// The layout's sizes were measured in narrow bitmap fonts. Liberation Sans Narrow (Debian's
// fonts-liberation, which the package depends on) has Cyrillic and fits every caption in them:
// at 11 px its capitals are as tall as the layout's, at 10 px bold the two-line captions fit.
QFont WindowFont() {
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans Narrow"),
                      QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("DejaVu Sans")});
    font.setPixelSize(11);
    return font;
}

QFont SmallBoldFont(const QFont& windowFont) {
    QFont font = windowFont;
    font.setPixelSize(10);
    font.setBold(true);
    return font;
}

struct Built {
    std::map<std::string_view, QWidget*> byName;
    std::vector<std::pair<QWidget*, const Row*>> controls;  // in layout order
};

QWidget* CreateControl(TForm1& form, const Row& row, QWidget* parent) {
    const QString text = QString::fromUtf8(row.text);
    return std::visit(
        [&](auto member) -> QWidget* {
            using W = std::remove_pointer_t<std::remove_reference_t<decltype(form.*member)>>;
            W* widget = nullptr;
            if constexpr (std::is_same_v<W, TTabSheet>) {
                widget = new W;
                static_cast<QTabWidget*>(parent)->addTab(widget, text);
            } else {
                widget = new W(parent);
                widget->setGeometry(row.left, row.top, row.width, row.height);
            }
            if constexpr (std::is_same_v<W, TLabel>) {
                widget->SetCaption(text);
            } else if constexpr (std::is_same_v<W, QLineEdit>) {
                widget->setMaxLength(std::numeric_limits<int>::max());  // no limit, as typed
                widget->setText(text);
                SetColour(widget, row.flags & kLight ? Colour::Light3D : Colour::Window);
            } else if constexpr (std::is_same_v<W, TMemo>) {
                widget->setPlainText(text);
            } else if constexpr (std::is_same_v<W, QListWidget>) {
                // One line per item: laying out a long list then costs no text shaping.
                widget->setUniformItemSizes(true);
            } else if constexpr (std::is_same_v<W, QGroupBox>) {
                widget->setTitle(text);
            } else if constexpr (std::is_base_of_v<QAbstractButton, W>) {
                widget->setText(text);
                widget->setChecked(row.flags & kChecked);
            }
            form.*member = widget;
            return widget;
        },
        row.member);
}

Built CreateControls(TForm1& form) {
    const QFont smallBold = SmallBoldFont(form.font());
    Built built;
    built.byName.emplace("", &form);
    for (const Row& row : kRows) {
        QWidget* w = CreateControl(form, row, built.byName.at(row.parent));
        w->setObjectName(QString::fromLatin1(row.name));
        if (row.flags & kDisabled) w->setEnabled(false);
        if (row.flags & kBold) w->setFont(smallBold);
        // Labels size themselves to their captions; what the layout gave them stays readable.
        w->setProperty(kLayoutRectProperty, QRect(row.left, row.top, row.width, row.height));
        built.byName[row.name] = w;
        built.controls.emplace_back(w, &row);
    }
    return built;
}

// What a screen reader says for a control; empty when the row names no label or button, so
// that a wrong reference fails the accessibility test instead of start-up.
QString SpokenName(const Row& row, QWidget* w, const Built& built) {
    if (!row.speak) {
        auto* button = qobject_cast<QAbstractButton*>(w);
        return button ? SpokenCaption(button->text()) : QString();
    }
    const QString speak = QString::fromUtf8(row.speak);
    if (!speak.startsWith(u'@')) return speak;
    const QStringList ref = speak.mid(1).split(u'#');
    const auto found = built.byName.find(ref[0].toStdString());
    if (found == built.byName.end()) return {};
    QString caption;
    if (auto* label = dynamic_cast<const TLabel*>(found->second)) caption = label->Caption();
    if (auto* box = qobject_cast<const QAbstractButton*>(found->second)) caption = box->text();
    caption = SpokenCaption(caption);
    if (caption.isEmpty() || ref.size() == 1) return caption;
    return caption + (ref[1] == u"hex" ? QStringLiteral(" шестнадцатеричный")
                                       : QStringLiteral(" шестнадцатеричный с ведущими нулями"));
}

void NameForScreenReaders(const Built& built) {
    for (const auto& [w, row] : built.controls) {
        const QString name = SpokenName(*row, w, built);
        if (!name.isEmpty()) w->setAccessibleName(name);
    }
}

// Keyboard focus runs depth-first through the containers, each in its own tab order.
void ChainFocus(const Built& built, const QWidget* pages) {
    std::map<const QWidget*, std::vector<std::pair<int, QWidget*>>> byContainer;
    for (const auto& [w, row] : built.controls) {
        if (row->tab >= 0) byContainer[built.byName.at(row->parent)].emplace_back(row->tab, w);
    }
    std::vector<QWidget*> chain;
    const auto walk = [&](const auto& self, const QWidget* container) -> void {
        auto it = byContainer.find(container);
        if (it == byContainer.end()) return;
        auto& children = it->second;
        std::stable_sort(children.begin(), children.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [tab, child] : children) {
            if (byContainer.count(child)) {
                if (child == pages) chain.push_back(child);
                self(self, child);
            } else if (child->focusPolicy() != Qt::NoFocus) {
                chain.push_back(child);
            }
        }
    };
    walk(walk, built.byName.at(""));
    for (std::size_t i = 1; i < chain.size(); ++i) QWidget::setTabOrder(chain[i - 1], chain[i]);
}

}  // namespace

void TForm1::BuildLayout() {
    setFont(WindowFont());
    // The style greys disabled text to about 1.1:1 on the light edits and 1.6:1 on the
    // panels. The values in disabled edits are read (the hexadecimal columns above all): dark
    // enough for 4.5:1 on the light colour, while the light colour itself marks them as not
    // taking input. Disabled captions stay grey, at 3:1 or more.
    QPalette shades = palette();
    shades.setColor(QPalette::Disabled, QPalette::Text, QColor(0x20, 0x20, 0x20));
    shades.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x70, 0x70, 0x70));
    shades.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x70, 0x70, 0x70));
    setPalette(shades);
    const Built built = CreateControls(*this);
    NameForScreenReaders(built);
    ChainFocus(built, PageControl1);
    for (const auto& [w, row] : built.controls) {
        if (row->on) Wire(w, row->on);
    }
    PageControl1->setCurrentWidget(TabSheet2);
    StatusBar1->SetPanelText(TStatusBar::kConnectionPanel, QStringLiteral("Отключен TCP"));
    StatusBar1->SetPanelText(TStatusBar::kClientPanel, QStringLiteral("Нет клиента TCP"));
}

void TForm1::CreateComponents() {
    UDPClient = new net::TIdUDPClient(this);
    UDPClient->setObjectName(QStringLiteral("UDPClient"));
    UDPClient->Host = "192.168.13.41";
    UDPClient->Port = 6104;
    UDPClient->Capture = env_.Capture();

    UDPServer = new net::TIdUDPServer(this);
    UDPServer->setObjectName(QStringLiteral("UDPServer"));
    UDPServer->Capture = env_.Capture();  // DefaultPort keeps the component's 8090

    Client1 = new net::TClientSocket(env_.Lookup(), this);
    Client1->setObjectName(QStringLiteral("Client1"));
    Client1->Port = 0;
    Client1->Capture = env_.Capture();
    WireTcpClient(*Client1, false);

    IdIPWatch1 = new app::TIdIPWatch(env_, this);
    IdIPWatch1->setObjectName(QStringLiteral("IdIPWatch1"));
    IdIPWatch1->OnLookupDone = [this](const net::LookupResult& result) { LocalLookupDone(result); };
    IdIPWatch1->SetActive(true);  // HistoryFilename keeps the component's "iphist.dat"
    WireUDPServer();              // its echo replies name the host as the watcher reads it
}

void TForm1::Wire(QObject* control, Handler handler) {
    const auto run = [this, handler] { Guard([&] { (this->*handler)(); }); };
    if (auto* radio = qobject_cast<QRadioButton*>(control)) {
        connect(radio, &QRadioButton::toggled, this, [run](bool on) {
            if (on) run();
        });
    } else if (auto* box = qobject_cast<QCheckBox*>(control)) {
        connect(box, &QCheckBox::toggled, this, run);
    } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        connect(button, &QAbstractButton::clicked, this, run);
    } else if (auto* edit = qobject_cast<QLineEdit*>(control)) {
        connect(edit, &QLineEdit::textChanged, this, run);
    } else if (auto* memo = qobject_cast<TMemo*>(control)) {
        connect(memo, &TMemo::Changed, this, run);
    }
}

}  // namespace ui
