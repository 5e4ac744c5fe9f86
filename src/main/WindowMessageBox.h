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

// Replaces the box: `handler` gets the title and the text (carriage returns as
// given) instead. An empty handler brings the real box back.
void SetHandler(std::function<void(const QString& title, const QString& text)> handler);
// The same, with the box's icon.
void SetIconHandler(
    std::function<void(const QString& title, const QString& text, TIcon icon)> handler);

} // namespace messagebox
