// The antsim program as a process, the way end-to-end tests use it: the
// ready line, a host on the linked pseudo-terminal, a clean end on every
// ending signal, vanishing, refusing a name that is in use and taking over one
// a killed simulator left behind.
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QByteArray kResetFrame = QByteArray::fromHex("a4014a00ef");
const QByteArray kStartupFrame = QByteArray::fromHex("a4016f20ea");

// Reads what arrives on fd within timeoutMs; stops early once `until` bytes
// are in. Sets *hungUp when the other side is gone.
QByteArray readFor(int fd, int timeoutMs, qsizetype until, bool *hungUp = nullptr)
{
    QByteArray bytes;
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired() && bytes.size() < until) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(deadline.remainingTime())) <= 0)
            break;
        char buffer[256];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            if (hungUp)
                *hungUp = true;
            break;
        }
        bytes.append(buffer, n);
    }
    return bytes;
}

} // namespace

class TestAntSimProgram : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void answersAndEndsCleanly();
    void endsCleanlyOnSignal_data();
    void endsCleanlyOnSignal();
    void vanishes();
    void refusesNameInUse();
    void replacesKilledSimulatorsLink();
    void helpAndBadOptions();

private:
    // Starts antsim and waits for its ready line; returns the link path.
    QString start(QProcess &process, const QStringList &arguments);
    int openHost(const QString &path);

    std::unique_ptr<QTemporaryDir> m_runtime;
};

void TestAntSimProgram::init()
{
    m_runtime = std::make_unique<QTemporaryDir>();
    QVERIFY(m_runtime->isValid());
}

QString TestAntSimProgram::start(QProcess &process, const QStringList &arguments)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime->path());
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(ANTSIM_PATH), arguments);
    if (!process.waitForStarted())
        return {};
    QDeadlineTimer deadline(10000);
    while (!process.canReadLine() && !deadline.hasExpired() && process.state() == QProcess::Running)
        process.waitForReadyRead(int(deadline.remainingTime()));
    const QString line = QString::fromLocal8Bit(process.readLine()).trimmed();
    return line.startsWith(QStringLiteral("ready ")) ? line.mid(6) : QString();
}

int TestAntSimProgram::openHost(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY);
    termios raw = {};
    if (fd >= 0 && ::tcgetattr(fd, &raw) == 0) {
        ::cfmakeraw(&raw);
        ::tcsetattr(fd, TCSANOW, &raw);
    }
    return fd;
}

void TestAntSimProgram::answersAndEndsCleanly()
{
    QProcess sim;
    const QString path = start(sim, {"--name", "e2e-a", "--time-scale", "10"});
    QCOMPARE(path, m_runtime->path() + QStringLiteral("/pulvane/sticks/e2e-a"));
    QVERIFY(QFileInfo(path).symLinkTarget().startsWith(QStringLiteral("/dev/pts/")));

    const int host = openHost(path);
    QVERIFY(host >= 0);
    QCOMPARE(::write(host, kResetFrame.constData(), 5), ssize_t(5));
    QCOMPARE(readFor(host, 5000, 5), kStartupFrame);
    ::close(host);

    sim.terminate(); // SIGTERM
    QVERIFY(sim.waitForFinished(10000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    const QStringList lines = QString::fromLocal8Bit(sim.readAllStandardOutput()).split(u'\n');
    QVERIFY(lines.filter(QRegularExpression(QStringLiteral("^reset t=\\d+\\.\\d{3}$"))).size() ==
            1);
    QVERIFY(lines.filter(QRegularExpression(QStringLiteral("^summary .*frames-in=1 frames-out=1 ")))
                .size() == 1);
    QVERIFY(lines.contains(QStringLiteral("end")));
    QVERIFY(!QFileInfo(path).isSymLink());
}

void TestAntSimProgram::endsCleanlyOnSignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGHUP, its terminal closed") << SIGHUP;
    QTest::newRow("SIGPIPE, its reader gone") << SIGPIPE;
    QTest::newRow("SIGQUIT") << SIGQUIT;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGUSR1") << SIGUSR1;
}

void TestAntSimProgram::endsCleanlyOnSignal()
{
    QFETCH(int, signal);
    QProcess sim;
    const QString path = start(sim, {"--name", "e2e-s"});
    QVERIFY(!path.isEmpty());
    ::kill(pid_t(sim.processId()), signal);
    QVERIFY(sim.waitForFinished(10000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QVERIFY(!QFileInfo(path).isSymLink());
    QVERIFY(QDir(QFileInfo(path).path())
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)
                .isEmpty());
}

void TestAntSimProgram::vanishes()
{
    QProcess sim;
    const QString path = start(sim, {"--name", "e2e-v", "--time-scale", "10", "--vanish-at", "2"});
    QVERIFY(!path.isEmpty());
    const int host = openHost(path);
    QVERIFY(host >= 0);
    bool hungUp = false;
    readFor(host, 10000, 1 << 20, &hungUp);
    QVERIFY(hungUp);
    ::close(host);
    QVERIFY(sim.waitForFinished(10000));
    QCOMPARE(sim.exitCode(), 0);
    const QStringList lines = QString::fromLocal8Bit(sim.readAllStandardOutput()).split(u'\n');
    QCOMPARE(lines.filter(QRegularExpression(QStringLiteral("^vanished t=2\\.\\d{3}$"))).size(), 1);
    QVERIFY(!QFileInfo(path).isSymLink());
}

void TestAntSimProgram::refusesNameInUse()
{
    QProcess first;
    QVERIFY(!start(first, {"--name", "e2e-n"}).isEmpty());
    QProcess second;
    QVERIFY(start(second, {"--name", "e2e-n"}).isEmpty());
    second.waitForFinished(10000);
    QCOMPARE(second.state(), QProcess::NotRunning);
    QCOMPARE(second.exitCode(), 1);
    QVERIFY(second.readAllStandardError().contains("in use"));
    first.terminate();
    QVERIFY(first.waitForFinished(10000));
    QCOMPARE(first.exitCode(), 0);
}

// SIGKILL leaves the link behind, leading to a pseudo-terminal number the next
// terminal opened gets. The next simulator under that name takes it over.
void TestAntSimProgram::replacesKilledSimulatorsLink()
{
    QProcess killed;
    const QString path = start(killed, {"--name", "e2e-k"});
    QVERIFY(!path.isEmpty());
    killed.kill();
    QVERIFY(killed.waitForFinished(10000));
    QVERIFY(QFileInfo(path).isSymLink());
    // Someone's terminal on the pseudo-terminal the link names, if the number
    // came free; else the link already leads nowhere.
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(terminal >= 0);

    QProcess next;
    QCOMPARE(start(next, {"--name", "e2e-k"}), path);
    const int host = openHost(path);
    QVERIFY(host >= 0);
    QCOMPARE(::write(host, kResetFrame.constData(), 5), ssize_t(5));
    QCOMPARE(readFor(host, 5000, 5), kStartupFrame);
    ::close(host);
    ::close(terminal);
    next.terminate();
    QVERIFY(next.waitForFinished(10000));
    QCOMPARE(next.exitCode(), 0);
}

void TestAntSimProgram::helpAndBadOptions()
{
    QProcess help;
    help.start(QStringLiteral(ANTSIM_PATH), {"--help"});
    QVERIFY(help.waitForFinished(10000));
    QCOMPARE(help.exitCode(), 0);
    QVERIFY(help.readAllStandardOutput().contains("--vanish-at"));

    QProcess bad;
    bad.start(QStringLiteral(ANTSIM_PATH), {"--belt", "dist=1"});
    QVERIFY(bad.waitForFinished(10000));
    QCOMPARE(bad.exitCode(), 2);
    QVERIFY(bad.readAllStandardError().contains("dev="));
}

QTEST_GUILESS_MAIN(TestAntSimProgram)
#include "tst_antsimprogram.moc"
