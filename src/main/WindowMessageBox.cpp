#include "main/WindowMessageBox.h"

#include <QMessageBox>
#include <QPushButton>

namespace messagebox {

namespace {
std::function<void(const QString&, const QString&, TIcon)>& Handler() {
    static std::function<void(const QString&, const QString&, TIcon)> handler;
    return handler;
}

std::function<bool(const QString&)>& ButtonAnswer() {
    static std::function<bool(const QString&)> answer;
    return answer;
}

QMessageBox::Icon BoxIcon(TIcon icon) {
    switch (icon) {
    case TIcon::Information:
        return QMessageBox::Information;
    case TIcon::Warning:
        return QMessageBox::Warning;
    case TIcon::Critical:
        return QMessageBox::Critical;
    case TIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}
} // namespace

void Show(QWidget* parent, const QString& title, const QString& text, TIcon icon) {
    if (Handler()) {
        Handler()(title, text, icon);
        return;
    }
    QString shown = text;
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QMessageBox box(BoxIcon(icon), title, shown, QMessageBox::Ok, parent);
    // The text carries bytes from the card: never let "<b>" in a name turn it
    // into markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

bool ShowWithButton(QWidget* parent, const QString& title, const QString& text, TIcon icon,
                    const QString& button) {
    if (Handler() || ButtonAnswer()) {
        if (Handler()) {
            Handler()(title, text, icon);
        }
        return ButtonAnswer() && ButtonAnswer()(button);
    }
    QString shown = text;
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QMessageBox box(BoxIcon(icon), title, shown, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    const QAbstractButton* extra = box.addButton(button, QMessageBox::ActionRole);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
    return box.clickedButton() == extra;
}

void SetButtonAnswer(std::function<bool(const QString&)> answer) {
    ButtonAnswer() = std::move(answer);
}

void SetHandler(std::function<void(const QString&, const QString&)> handler) {
    if (!handler) {
        Handler() = {};
        return;
    }
    Handler() = [handler = std::move(handler)](const QString& title, const QString& text, TIcon) {
        handler(title, text);
    };
}

void SetIconHandler(std::function<void(const QString&, const QString&, TIcon)> handler) {
    Handler() = std::move(handler);
}

} // namespace messagebox
