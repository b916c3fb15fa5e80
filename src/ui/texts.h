#pragma once

#include <QLineEdit>
#include <QString>
#include <QStringView>
#include <string>
#include <string_view>

namespace ui {

// The one place where an edit's text crosses between Qt and the program's 8-bit texts.
std::string TextOf(const QLineEdit* edit);
void SetTextOf(QLineEdit* edit, std::string_view text);

// A received message as the memos show it: line breaks stay, other control bytes become
// visible symbols, so that a NUL cannot cut the line.
QString DisplayText(std::string_view message);
// The same, appended to `out`.
void DisplayTextInto(QString& out, std::string_view message);

// DisplayText(prefix + message) for a message already shown as `shown`: the message is not
// gone over a second time.
QString PrefixedDisplayText(std::string_view prefix, std::string_view message,
                            const QString& shown);

// The bytes behind a memo's text: the symbols DisplayText shows for control bytes become
// those bytes again, so that what is parsed and sent back is what arrived.
std::string MessageBytes(QStringView shown);

}  // namespace ui
