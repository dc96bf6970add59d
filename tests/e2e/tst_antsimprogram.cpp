// The antsim program as a process, the way end-to-end tests use it: the
// ready line, a host on the linked pseudo-terminal, a clean end on every
// ending signal, vanishing, refusing a name that is in use, taking over one a
// killed simulator left behind, and listing the sticks Pulvane would find.
#include "antsimprocess.h"
#include "testenv.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace pulvane::test;

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

// What `antsim --list-sticks` prints: the sticks Pulvane would find, which
// scripts/run.sh asks before it starts a simulator of its own.
QStringList listedSticks()
{
    QProcess list;
    list.start(QStringLiteral(ANTSIM_PATH), {"--list-sticks"});
    list.waitForFinished(10000);
    return QString::fromLocal8Bit(list.readAllStandardOutput()).split(u'\n');
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
    void listSticksSaysWhatItPassesOverOnce();

private:
    int openHost(const QString &path);

    std::optional<PrivateRuntime> m_runtime;
};

void TestAntSimProgram::init()
{
    m_runtime.emplace();
    QVERIFY(m_runtime->isValid());
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
    AntSimProcess sim(QStringLiteral(ANTSIM_PATH));
    const QString path = sim.start({"--name", "e2e-a", "--time-scale", "10"});
    QCOMPARE(path, m_runtime->path() + QStringLiteral("/pulvane/sticks/e2e-a"));
    QVERIFY(QFileInfo(path).symLinkTarget().startsWith(QStringLiteral("/dev/pts/")));
    QVERIFY(listedSticks().contains(
        QStringLiteral("virtual stick e2e-a (%1)").arg(QFileInfo(path).symLinkTarget())));

    const int host = openHost(path);
    QVERIFY(host >= 0);
    QCOMPARE(::write(host, kResetFrame.constData(), 5), ssize_t(5));
    QCOMPARE(readFor(host, 5000, 5), kStartupFrame);
    ::close(host);

    sim.process().terminate(); // SIGTERM
    QVERIFY(sim.process().waitForFinished(10000));
    const SimOutput out = sim.output();
    QCOMPARE(sim.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.process().exitCode(), 0);
    QVERIFY(
        out.lines.filter(QRegularExpression(QStringLiteral("^reset t=\\d+\\.\\d{3}$"))).size() ==
        1);
    QCOMPARE(out.value(QStringLiteral("summary"), QStringLiteral("frames-in")), 1.0);
    QCOMPARE(out.value(QStringLiteral("summary"), QStringLiteral("frames-out")), 1.0);
    QVERIFY(out.lines.contains(QStringLiteral("end")));
    QVERIFY(!QFileInfo(path).isSymLink());
    QVERIFY(listedSticks().filter(QStringLiteral("e2e-a")).isEmpty());
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
    AntSimProcess sim(QStringLiteral(ANTSIM_PATH));
    const QString path = sim.start({"--name", "e2e-s"});
    QVERIFY(!path.isEmpty());
    ::kill(pid_t(sim.pid()), signal);
    QVERIFY(sim.process().waitForFinished(10000));
    QCOMPARE(sim.process().exitStatus(), QProcess::NormalExit);
    QVERIFY(!QFileInfo(path).isSymLink());
    QVERIFY(QDir(QFileInfo(path).path())
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)
                .isEmpty());
}

void TestAntSimProgram::vanishes()
{
    AntSimProcess sim(QStringLiteral(ANTSIM_PATH));
    const QString path = sim.start({"--name", "e2e-v", "--time-scale", "10", "--vanish-at", "2"});
    QVERIFY(!path.isEmpty());
    const int host = openHost(path);
    QVERIFY(host >= 0);
    bool hungUp = false;
    readFor(host, 10000, 1 << 20, &hungUp);
    QVERIFY(hungUp);
    ::close(host);
    QVERIFY(sim.process().waitForFinished(10000));
    QCOMPARE(sim.process().exitCode(), 0);
    const QStringList lines = sim.output().lines;
    QCOMPARE(lines.filter(QRegularExpression(QStringLiteral("^vanished t=2\\.\\d{3}$"))).size(), 1);
    QVERIFY(!QFileInfo(path).isSymLink());
}

void TestAntSimProgram::refusesNameInUse()
{
    AntSimProcess first(QStringLiteral(ANTSIM_PATH));
    QVERIFY(!first.start({"--name", "e2e-n"}).isEmpty());
    AntSimProcess second(QStringLiteral(ANTSIM_PATH));
    second.process().setProcessChannelMode(QProcess::SeparateChannels);
    QVERIFY(second.start({"--name", "e2e-n"}).isEmpty());
    second.process().waitForFinished(10000);
    QCOMPARE(second.process().state(), QProcess::NotRunning);
    QCOMPARE(second.process().exitCode(), 1);
    QVERIFY(second.process().readAllStandardError().contains("in use"));
    first.process().terminate();
    QVERIFY(first.process().waitForFinished(10000));
    QCOMPARE(first.process().exitCode(), 0);
}

// SIGKILL leaves the link behind, leading to a pseudo-terminal number the next
// terminal opened gets. The next simulator under that name takes it over.
void TestAntSimProgram::replacesKilledSimulatorsLink()
{
    AntSimProcess killed(QStringLiteral(ANTSIM_PATH));
    const QString path = killed.start({"--name", "e2e-k"});
    QVERIFY(!path.isEmpty());
    killed.process().kill();
    QVERIFY(killed.process().waitForFinished(10000));
    QVERIFY(QFileInfo(path).isSymLink());
    // Someone's terminal on the pseudo-terminal the link names, if the number
    // came free; else the link already leads nowhere.
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(terminal >= 0);

    AntSimProcess next(QStringLiteral(ANTSIM_PATH));
    QCOMPARE(next.start({"--name", "e2e-k"}), path);
    const int host = openHost(path);
    QVERIFY(host >= 0);
    QCOMPARE(::write(host, kResetFrame.constData(), 5), ssize_t(5));
    QCOMPARE(readFor(host, 5000, 5), kStartupFrame);
    ::close(host);
    ::close(terminal);
    next.process().terminate();
    QVERIFY(next.process().waitForFinished(10000));
    QCOMPARE(next.process().exitCode(), 0);
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

// Standard error carries the line as it is (no category before it), once.
void TestAntSimProgram::listSticksSaysWhatItPassesOverOnce()
{
    QProcess list;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PULVANE_STICKS"), QStringLiteral("/nonexistent-stick"));
    list.setProcessEnvironment(environment);
    list.start(QStringLiteral(ANTSIM_PATH), {"--list-sticks"});
    QVERIFY(list.waitForFinished(10000));
    QCOMPARE(list.readAllStandardError(),
             QByteArray("Named stick /nonexistent-stick skipped: its target is gone\n"));
}

QTEST_GUILESS_MAIN(TestAntSimProgram)
#include "tst_antsimprogram.moc"
