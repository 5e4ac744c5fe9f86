#include "main/MainForm.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    SetApplicationNames();
    // Ties the window to the installed dravik.desktop, whose icon and name a
    // Wayland desktop shows for it.
    QGuiApplication::setDesktopFileName(QStringLiteral("dravik"));
    TMainForm MainForm;
    MainForm.show();
    return QApplication::exec();
}
