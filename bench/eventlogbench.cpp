// How the EventLog's append cost and memory grow with the log, beside the
// pane it replaced (one text block per line, bench/beforelog.h).
//
// Fills a pane set up like the window's log to 1 thousand, 100 thousand and
// 1 million lines and, at each size, times single appends: once without
// giving the event loop a turn (the document work alone) and once with the
// repaint that follows every append in the running program. Memory is the
// growth of the resident set divided by the lines added. Each pane runs in a
// process of its own, so that neither inherits the other's heap.
//
//   QT_QPA_PLATFORM=offscreen eventlogbench [--pane before|after] [--lines N]
#include "beforelog.h"
#include "eventlog.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextStream>
#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

long residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLong() * sysconf(_SC_PAGESIZE) : 0;
}

// A line of the length and shape the finder writes for a received broadcast.
QString logLine(qint64 n)
{
    return QStringLiteral("Rx[%1] - [00][%2][%3][%4][%5][%6][%7][%8]")
        .arg(n % 100, 2, 10, QLatin1Char('0'))
        .arg(n & 0xFF, 2, 16, QLatin1Char('0'))
        .arg((n >> 8) & 0xFF, 2, 16, QLatin1Char('0'))
        .arg((n >> 16) & 0xFF, 2, 16, QLatin1Char('0'))
        .arg(n % 7, 2, 16, QLatin1Char('0'))
        .arg(n % 13, 2, 16, QLatin1Char('0'))
        .arg(n % 31, 2, 16, QLatin1Char('0'))
        .arg(60 + n % 120, 2, 16, QLatin1Char('0'))
        .toUpper();
}

// Median cost in microseconds of one append, over `count` appends.
template <class Log> double medianAppendMicros(Log &log, qint64 &next, int count, bool repaint)
{
    std::vector<double> samples;
    samples.reserve(count);
    QElapsedTimer timer;
    for (int i = 0; i < count; ++i) {
        const QString line = logLine(next++);
        timer.start();
        log.appendLine(line);
        if (repaint)
            QCoreApplication::processEvents();
        samples.push_back(timer.nsecsElapsed() / 1000.0);
    }
    std::nth_element(samples.begin(), samples.begin() + count / 2, samples.end());
    return samples[count / 2];
}

template <class Log> void run(const QString &name, qint64 maxLines)
{
    QPlainTextEdit pane;
    pane.resize(265, 164);
    pane.setLineWrapMode(QPlainTextEdit::WidgetWidth);
    pane.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    pane.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Log log(pane);
    pane.show();
    QCoreApplication::processEvents();

    constexpr int kSamples = 2000;
    qint64 next = 0;
    const long rssStart = residentBytes();

    QTextStream out(stdout);
    for (const qint64 size : {qint64(1000), qint64(100000), qint64(1000000)}) {
        if (size > maxLines)
            break;
        while (next < size) {
            log.appendLine(logLine(next++));
            if (next % 1000 == 0)
                QCoreApplication::processEvents();
        }
        QCoreApplication::processEvents();
        const long rss = residentBytes();
        const double perLine = double(rss - rssStart) / double(next);
        const qint64 lines = next;
        // Sampled after the memory reading so the samples do not count in it.
        const double alone = medianAppendMicros(log, next, kSamples, false);
        const double painted = medianAppendMicros(log, next, kSamples, true);
        out << qSetFieldWidth(6) << name << qSetFieldWidth(0) << "  " << qSetFieldWidth(9) << lines
            << qSetFieldWidth(0) << "  " << qSetFieldWidth(9) << QString::number(alone, 'f', 1)
            << qSetFieldWidth(0) << "  " << qSetFieldWidth(17) << QString::number(painted, 'f', 1)
            << qSetFieldWidth(0) << "  " << qSetFieldWidth(7)
            << QString::number(rss / 1048576.0, 'f', 1) << qSetFieldWidth(0) << "  "
            << qSetFieldWidth(14) << QString::number(perLine, 'f', 0) << qSetFieldWidth(0)
            << Qt::endl;
    }

    // A user reading the whole log: every page drawn once, top to bottom.
    QScrollBar *bar = pane.verticalScrollBar();
    bar->setValue(0);
    QCoreApplication::processEvents();
    int pages = 1;
    for (; bar->value() < bar->maximum(); ++pages) {
        bar->setValue(bar->value() + bar->pageStep());
        QCoreApplication::processEvents();
    }
    const long rss = residentBytes();
    out << qSetFieldWidth(6) << name << qSetFieldWidth(0) << "  read through, " << pages
        << " pages:  rss_MiB " << QString::number(rss / 1048576.0, 'f', 1) << ", bytes_per_line "
        << QString::number(double(rss - rssStart) / double(next), 'f', 0) << Qt::endl;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    qint64 maxLines = 1000000;
    if (const int i = args.indexOf(QStringLiteral("--lines")); i > 0 && i + 1 < args.size())
        maxLines = args.at(i + 1).toLongLong();
    if (const int i = args.indexOf(QStringLiteral("--pane")); i > 0 && i + 1 < args.size()) {
        if (args.at(i + 1) == QLatin1String("before"))
            run<BeforeLog>(QStringLiteral("before"), maxLines);
        else
            run<pulvane::ui::EventLog>(QStringLiteral("after"), maxLines);
        return 0;
    }

    return runEachPane(
        QStringLiteral("pane        lines  append_us  append+repaint_us  rss_MiB  bytes_per_line"),
        {QStringLiteral("--lines"), QString::number(maxLines)});
}
