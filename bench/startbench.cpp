// What START costs on the window's thread when it finds no stick: the four
// attempts it makes (ANT_Init 0 to 3 through the program's own
// SystemStickProvider, as the finder drives them), each START timed from its
// first attempt to its last, with every scan of the machine and every line
// for the diagnostics in it. Prints the median, fastest and slowest of the
// runs in milliseconds.
//
//   startbench [runs]      (default 20; the first START is not counted)
//
// On Windows run it under Wine with and without a libusb0.dll in System32
// (scripts/bench-windows.sh; docs/performance.md).
#include "stickopen.h"
#include "stickprovider.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

#include <algorithm>
#include <cstdlib>
#include <vector>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
    // The lines START writes are part of its cost, but not of the output.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    pulvane::stick::SystemStickProvider provider;
    std::vector<double> ms;
    for (int run = 0; run <= runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        for (int index = 0; index < pulvane::ant::kStickIndexes; ++index)
            if (provider.openStick(index, 57600))
                return 2; // a stick is plugged in: nothing to time
        if (run > 0)
            ms.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    const double median =
        ms.size() % 2 ? ms[ms.size() / 2] : (ms[ms.size() / 2 - 1] + ms[ms.size() / 2]) / 2;
    QTextStream(stdout) << QStringLiteral("START without a stick: median %1 ms, fastest %2, "
                                          "slowest %3 (%4 runs)\n")
                               .arg(median, 0, 'f', 1)
                               .arg(ms.front(), 0, 'f', 1)
                               .arg(ms.back(), 0, 'f', 1)
                               .arg(runs);
    return 0;
}
