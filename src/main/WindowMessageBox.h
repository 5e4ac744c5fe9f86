// The modal message box, behind a seam that tests can answer.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace messagebox {

enum class TIcon { None, Information, Warning, Critical };

// A modal box with one OK button. `text` is plain text, never markup; its
// carriage returns are shown as line breaks.
void Show(QWidget* parent, const QString& title, const QString& text, TIcon icon = TIcon::None);
// The same box with a second button, `button`, beside OK: true when that one
// was pressed.
bool ShowWithButton(QWidget* parent, const QString& title, const QString& text, TIcon icon,
                    const QString& button);

// Replaces the box: `handler` gets the title and the text (carriage returns as
// given) instead. An empty handler brings the real box back.
void SetHandler(std::function<void(const QString& title, const QString& text)> handler);
// The same, with the box's icon.
void SetIconHandler(
    std::function<void(const QString& title, const QString& text, TIcon icon)> handler);

// Answers ShowWithButton's second button instead of the user: `answer` gets
// the button's text. The title and text still reach a handler set above; with
// neither set, the real box shows. An empty answer brings the user back.
void SetButtonAnswer(std::function<bool(const QString& button)> answer);

} // namespace messagebox
