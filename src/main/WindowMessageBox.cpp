#include "main/WindowMessageBox.h"

#include <QMessageBox>

namespace messagebox {

namespace {
std::function<void(const QString&, const QString&)>& Handler() {
    static std::function<void(const QString&, const QString&)> handler;
    return handler;
}
} // namespace

void Show(QWidget* parent, const QString& title, const QString& text) {
    if (Handler()) {
        Handler()(title, text);
        return;
    }
    QString shown = text;
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QMessageBox box(QMessageBox::NoIcon, title, shown, QMessageBox::Ok, parent);
    // The text carries bytes from the card: never let "<b>" in a name turn it
    // into markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void SetHandler(std::function<void(const QString&, const QString&)> handler) {
    Handler() = std::move(handler);
}

} // namespace messagebox
