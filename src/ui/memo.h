#pragma once

#include <QPlainTextEdit>
#include <QString>

namespace ui {

// A multi-line memo whose change notification counts what the operator types and what a
// handler adds, but not a clearing done by the system.
class TMemo : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TMemo(QWidget* parent);
    void ClearSilently();
    void AddLine(const QString& line);  // one change notification
    QString FirstLine() const;          // the text up to the first line break

Q_SIGNALS:
    void Changed();
};

}  // namespace ui
