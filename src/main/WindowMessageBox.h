// The modal message box, behind a seam that tests can answer.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace messagebox {

// A modal box without an icon and with one OK button. `text` is plain text,
// never markup; its carriage returns are shown as line breaks.
void Show(QWidget* parent, const QString& title, const QString& text);

// Replaces the box: `handler` gets the title and the text (carriage returns as
// given) instead. An empty handler brings the real box back.
void SetHandler(std::function<void(const QString& title, const QString& text)> handler);

} // namespace messagebox
