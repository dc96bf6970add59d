// Holds one serial line open until the process is ended from outside, for the
// tests of what an ending releases. argv[1]: the tty. Prints "open" once the
// line is held; a line "exit" on standard input ends it through exit(1), as
// Qt ends a program whose display connection broke.
#include "serialline_linux.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    pulvane::stick::SerialTransport line(QString::fromLocal8Bit(argv[1]), 57600,
                                       QStringLiteral("held line"));
    QString why;
    if (!line.open(&why)) {
        std::fprintf(stderr, "%s\n", qPrintable(why));
        return 2;
    }
    std::puts("open");
    std::fflush(stdout);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [] {
        char text[16] = {};
        if (::read(STDIN_FILENO, text, sizeof text - 1) > 0 && QByteArray(text).startsWith("exit"))
            std::exit(1);
    });
    return app.exec();
}
