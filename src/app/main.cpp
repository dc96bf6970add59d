// The program: one window over the ANT sticks of this machine, running until
// that window has closed.
#include "antlibrary.h"
#include "ending.h"
#include "messagelog.h"
#include "serialline.h"
#include "stickopen.h"
#include "tform1.h"

#include <QApplication>
#include <QDir>
#include <QIcon>

#include <cstdlib>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Standard error (and on Windows the diagnostics file) for every line.
    pulvane::ant::MessageLog log;
    // However the program is ended from outside, its serial lines are closed
    // first, and with them go their lock files: at exit(), which Qt calls
    // when the display connection breaks, and on the ending signals, after
    // which the program ends as the signal would.
    std::atexit(pulvane::stick::closeSerialLines);
    pulvane::host::Ending ending(pulvane::host::Ending::Signals::Interrupting, [](int signal) {
        pulvane::stick::closeSerialLines();
        pulvane::host::Ending::endAs(signal);
    });
    QIcon icon; // every size of the program's icon, as drawn for it
    for (const QFileInfo &size : QDir(QStringLiteral(":/icons")).entryInfoList())
        icon.addFile(size.filePath());
    QApplication::setWindowIcon(icon);
    // Declared before the window, which still stops the stick while it is
    // destroyed.
    pulvane::stick::SystemStickProvider sticks;
    pulvane::ant::AntLibrary ant(sticks);
    pulvane::TForm1 form(ant);
    form.show();
    return app.exec();
}
