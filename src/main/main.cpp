#include "main/MainForm.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Dravik"));
    TMainForm MainForm;
    MainForm.show();
    return QApplication::exec();
}
