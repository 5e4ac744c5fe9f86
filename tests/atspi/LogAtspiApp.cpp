// The main window for the screen-reader test: on the in-memory PC/SC library,
// its log filled past the visible part with known lines, among them letters
// outside ASCII. Once the watchers' first reports are in (no new line for a
// second), writes every log line to the file named by its argument, one a line
// in UTF-8, then prints "ready" and runs until its standard input closes, when
// it closes the window as a user would: the interfaces the screen reader got
// are let go with it.
#include "main/MainForm.h"

#include <QApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <unistd.h>

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: log_atspi_app LINES_FILE\n");
        return 2;
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Dravik"));
    TMainForm form(FAKEPCSC_PATH);
    form.AddLog("Čitač kartica: Šđ ŽćČ");
    form.AddLog("");
    for (int i = 0; i < 300; ++i) {
        form.AddLog("Data: line " + std::to_string(i));
    }
    form.show();

    const QString path = QString::fromLocal8Bit(argv[1]);
    qsizetype count = -1;
    int quiet = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const QStringList now = form.LogLines();
        quiet = now.size() == count ? quiet + 1 : 0;
        count = now.size();
        if (quiet < 10) {
            return;
        }
        poll.stop();
        QFile lines(path);
        if (!lines.open(QIODevice::WriteOnly)) {
            QApplication::exit(1);
            return;
        }
        for (const QString& line : now) {
            lines.write(line.toUtf8() + '\n');
        }
        lines.close();
        std::printf("ready\n");
        std::fflush(stdout);
    });
    poll.start(100);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char byte = 0;
        if (read(STDIN_FILENO, &byte, 1) <= 0) {
            input.setEnabled(false);
            form.close();
            QApplication::quit();
        }
    });
    return QApplication::exec();
}
