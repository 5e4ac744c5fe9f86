// What a screen reader sees of the message log: a list whose children are the
// log's lines, as it sees the lines of a QListView. Qt's own factory knows only
// its own views and gives any other item view a bare scroll area, with no line
// in it.
#pragma once

#include <QAccessibleInterface>

class QObject;

namespace logaccessible {

// Registers the factory that gives every TLogView its interface; safe to call
// more than once.
void Install();

} // namespace logaccessible
