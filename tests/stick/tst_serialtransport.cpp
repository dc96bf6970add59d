#include "antframe.h"
#include "antlibrary.h"
#include "antmessages.h"
#include "serialline_linux.h"
#include "sticklist.h"
#include "stickopen.h"
#include "testenv.h"
#include "virtualsticks.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <array>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace pulvane::ant;
using namespace pulvane::stick;

namespace {

// The other end of a virtual stick: the master side of a pseudo-terminal.
class PtyMaster
{
public:
    PtyMaster()
    {
        m_fd = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_fd < 0 || ::grantpt(m_fd) != 0 || ::unlockpt(m_fd) != 0)
            return;
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
        m_slave = QString::fromLocal8Bit(::ptsname(m_fd));
    }
    ~PtyMaster() { close(); }
    PtyMaster(const PtyMaster &) = delete;
    PtyMaster &operator=(const PtyMaster &) = delete;

    bool isValid() const { return m_fd >= 0 && !m_slave.isEmpty(); }
    QString slave() const { return m_slave; }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    bool write(const QByteArray &bytes)
    {
        return ::write(m_fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }
    // Everything read so far (non-blocking).
    QByteArray readAll()
    {
        std::array<char, 256> chunk;
        ssize_t n = 0;
        while ((n = ::read(m_fd, chunk.data(), chunk.size())) > 0)
            m_received.append(chunk.data(), n);
        return m_received;
    }

private:
    int m_fd = -1;
    QString m_slave;
    QByteArray m_received;
};

// A process that has tty as its standard input: with session, the leader of a
// session of its own, which takes tty as its controlling terminal as a login's
// shell does (a session leader that opens a terminal without O_NOCTTY takes
// it); without, a job still holding the terminal of a session that has ended.
std::unique_ptr<QProcess> holderOn(const QString &tty, bool session)
{
    auto holder = std::make_unique<QProcess>();
    const QStringList command{QStringLiteral("sh"), QStringLiteral("-c"),
                              QStringLiteral("exec sleep 60 <%1").arg(tty)};
    holder->start(session ? QStringLiteral("setsid") : command.first(),
                  session ? command : command.mid(1));
    if (!holder->waitForStarted())
        return nullptr;
    const QString input = QStringLiteral("/proc/%1/fd/0").arg(holder->processId());
    for (int i = 0; i < 200; ++i) {
        if (QFileInfo(input).symLinkTarget() == tty)
            return holder;
        QTest::qWait(10);
    }
    return nullptr;
}

// The lock file Qt SerialPort keeps for a tty while it is open.
QString lockFileOf(const QString &tty)
{
    return QStringLiteral("/var/lock/LCK..") + QString(tty).remove(0, 5).replace('/', '_');
}

} // namespace

class TestSerialTransport : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void virtualDirectoryFromEnvironment();
    void discoveryOrderAndDanglingLinks();
    void skipsWhatIsNoStick_data();
    void skipsWhatIsNoStick();
    void namedSticksAreVetted_data();
    void namedSticksAreVetted();
    void openedDeviceIsTheOneVetted();
    void consoleDevices_data();
    void consoleDevices();
    void busyNamesTheLockHolder();
    void ignoresDirectoryOthersControl_data();
    void ignoresDirectoryOthersControl();
    void libraryOverPty();
    void garbageIsDropped();
    void secondOpenIsRefused();
    void ptyClosedMidRun();
    void endingReleasesTheLine_data();
    void endingReleasesTheLine();
    void lockOfEndedProgram_data();
    void lockOfEndedProgram();

private:
    QString link(const QString &name, const QString &target);
    // Index of a virtual entry in the full list (real sticks come first).
    int indexOf(const QString &name);

    std::optional<pulvane::test::PrivateRuntime> m_runtime;
    QString m_sticks;
};

void TestSerialTransport::init()
{
    m_runtime.emplace();
    QVERIFY(m_runtime->isValid());
    m_sticks = m_runtime->path() + QStringLiteral("/pulvane/sticks");
    QVERIFY(QDir().mkpath(m_sticks));
}

QString TestSerialTransport::link(const QString &name, const QString &target)
{
    const QString path = m_sticks + QLatin1Char('/') + name;
    if (!QFile::link(target, path))
        return {};
    return path;
}

int TestSerialTransport::indexOf(const QString &name)
{
    const QList<StickLocation> sticks = findSticks();
    for (int i = 0; i < sticks.size(); ++i)
        if (sticks[i].kind == StickLocation::Kind::Virtual &&
            QFileInfo(sticks[i].path).fileName() == name)
            return i;
    return -1;
}

void TestSerialTransport::virtualDirectoryFromEnvironment()
{
    QCOMPARE(virtualStickDirectory(), m_sticks);
    qunsetenv("XDG_RUNTIME_DIR");
    QCOMPARE(virtualStickDirectory(), QStringLiteral("/tmp/pulvane-%1/sticks").arg(::getuid()));
}

void TestSerialTransport::discoveryOrderAndDanglingLinks()
{
    PtyMaster a, b, c;
    QVERIFY(a.isValid() && b.isValid() && c.isValid());
    QVERIFY(!link(QStringLiteral("m-stick"), b.slave()).isEmpty());
    QVERIFY(!link(QStringLiteral("b-stick"), a.slave()).isEmpty());
    QVERIFY(!link(QStringLiteral("x-stick"), c.slave()).isEmpty());
    QVERIFY(!link(QStringLiteral("a-dangling"), m_sticks + QStringLiteral("/nowhere")).isEmpty());
    QFile plain(m_sticks + QStringLiteral("/c-plain-file"));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();

    QStringList names;
    for (const StickLocation &s : virtualSticks(m_sticks))
        names << QFileInfo(s.path).fileName();
    QCOMPARE(names, (QStringList{"b-stick", "m-stick", "x-stick"}));

    // The virtual entries close the full list, in the same order.
    const QList<StickLocation> all = findSticks();
    QVERIFY(all.size() >= 3);
    QCOMPARE(QFileInfo(all.last().path).fileName(), QStringLiteral("x-stick"));
    QCOMPARE(indexOf(QStringLiteral("b-stick")) + 1, indexOf(QStringLiteral("m-stick")));

    // A pseudo-terminal closed since it was linked leaves a dangling entry.
    b.close();
    names.clear();
    for (const StickLocation &s : virtualSticks(m_sticks))
        names << QFileInfo(s.path).fileName();
    QCOMPARE(names, (QStringList{"b-stick", "x-stick"}));
}

// Each entry would come before a working stick and, taken for a stick, use up
// a device number or lead START into something that never answers.
void TestSerialTransport::skipsWhatIsNoStick_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("lock");
    QTest::addColumn<bool>("kept");

    for (const char *device : {"/dev/null", "/dev/zero", "/dev/full", "/dev/urandom", "/dev/ptmx"})
        QTest::newRow(device) << device << "" << false;
    QTest::newRow("another user's pseudo-terminal") << "otherUsersPty"
                                                    << "" << false;
    QTest::newRow("a killed simulator's pseudo-terminal") << "pty"
                                                          << "left over" << false;
    QTest::newRow("a live simulator's pseudo-terminal") << "pty"
                                                        << "held" << true;
    QTest::newRow("a pseudo-terminal linked by hand") << "pty"
                                                      << "" << true;
    QTest::newRow("a session's terminal linked by hand") << "session"
                                                         << "" << false;
}

void TestSerialTransport::skipsWhatIsNoStick()
{
    QFETCH(QString, target);
    QFETCH(QString, lock);
    QFETCH(bool, kept);

    PtyMaster stick, entry;
    QVERIFY(stick.isValid() && entry.isValid());
    QVERIFY(!link(QStringLiteral("z-stick"), stick.slave()).isEmpty());
    if (target == "otherUsersPty") {
        if (::getuid() != 0)
            QSKIP("giving a pseudo-terminal to another user needs root");
        QCOMPARE(::chown(QFile::encodeName(entry.slave()).constData(), 65534, 65534), 0);
    }
    std::unique_ptr<QProcess> session;
    if (target == "session")
        QVERIFY((session = holderOn(entry.slave(), true)));
    if (target.startsWith("/dev/"))
        QVERIFY(!link(QStringLiteral("a-entry"), target).isEmpty());
    else
        QVERIFY(!link(QStringLiteral("a-entry"), entry.slave()).isEmpty());
    QFile lockFile(simulatorLockPath(m_sticks, QStringLiteral("a-entry")));
    if (!lock.isEmpty())
        QVERIFY(lockFile.open(QIODevice::WriteOnly));
    if (lock == "held")
        QCOMPARE(::flock(lockFile.handle(), LOCK_EX | LOCK_NB), 0);

    if (!kept)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Virtual stick a-entry skipped: "));
    QStringList names;
    for (const StickLocation &s : virtualSticks(m_sticks))
        names << QFileInfo(s.path).fileName();
    const QStringList expected = kept ? QStringList{"a-entry", "z-stick"} : QStringList{"z-stick"};
    QCOMPARE(names, expected);
}

// A port named in PULVANE_STICKS is vetted as a virtual entry is: START never
// writes the reset and the network key into someone's terminal, and what
// fails takes no device number.
void TestSerialTransport::namedSticksAreVetted_data()
{
    // reason, a pattern: %1 the named path, %2 the pty, %3 the folder linked from.
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<int>("owner");
    QTest::addColumn<QString>("reason");
    for (const char *device : {"/dev/tty", "/dev/ptmx", "/dev/null"})
        QTest::newRow(device) << device << 0 << -1 << "%1 is no serial port or pseudo-terminal";
    QTest::newRow("a session's terminal")
        << "session" << 0 << -1 << "%2 is the terminal of a session";
    QTest::newRow("a job's terminal, its session ended")
        << "job" << 0 << -1 << "%2 is the terminal of \\S+ \\(\\d+\\)";
    QTest::newRow("a pseudo-terminal of ours") << "pty" << 0 << -1 << "";
    QTest::newRow("linked in a shared folder by another user")
        << "link" << 01777 << 65534
        << "%1 belongs to user 65534, in %3, which other users may write";
    QTest::newRow("linked in a folder others may write")
        << "link" << 0777 << -1 << "%1 is in %3, which other users may write";
}

void TestSerialTransport::namedSticksAreVetted()
{
    QFETCH(QString, target);
    QFETCH(int, folderMode);
    QFETCH(int, owner);
    QFETCH(QString, reason);
    if (owner >= 0 && ::getuid() != 0)
        QSKIP("handing a link to another user needs root");
    PtyMaster named, after;
    QVERIFY(named.isValid() && after.isValid());
    std::unique_ptr<QProcess> holder;
    if (target == "session" || target == "job")
        QVERIFY((holder = holderOn(named.slave(), target == "session")));
    const QString folder = m_runtime->path() + QStringLiteral("/shared");
    const QString path = folderMode                   ? folder + QStringLiteral("/stick")
                         : target.startsWith("/dev/") ? target
                                                      : named.slave();
    if (folderMode) {
        const QByteArray name = QFile::encodeName(folder);
        QVERIFY(QDir().mkpath(folder) && QFile::link(named.slave(), path));
        QCOMPARE(::chmod(name.constData(), mode_t(folderMode)), 0);
        QVERIFY(owner < 0 || ::lchown(QFile::encodeName(path).constData(), owner, owner) == 0);
    }
    qputenv("PULVANE_STICKS", QFile::encodeName(path + QLatin1Char(':') + after.slave()));
    reason.replace("%1", QRegularExpression::escape(path))
        .replace("%2", QRegularExpression::escape(named.slave()))
        .replace("%3", QRegularExpression::escape(folder));
    if (!reason.isEmpty())
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^Named stick .* skipped: " + reason + '$'));
    const QList<StickLocation> sticks = findSticks();
    qunsetenv("PULVANE_STICKS");
    QStringList listed;
    for (const StickLocation &stick : sticks)
        if (stick.kind == StickLocation::Kind::Virtual)
            listed << stick.path;
    const QStringList expected =
        reason.isEmpty() ? QStringList{path, after.slave()} : QStringList{after.slave()};
    QCOMPARE(listed, expected);
    // Opening vets again, on what it opens: a path may change after the list.
    SerialTransport line(path, 57600, QStringLiteral("named"));
    QString why;
    QCOMPARE(line.open(&why), reason.isEmpty());
    QVERIFY2(QRegularExpression('^' + reason + '$').match(why).hasMatch(), qPrintable(why));
}

// The descriptor opened must be the device the path leads to when it is
// vetted: a link switched to another pseudo-terminal in between is refused.
void TestSerialTransport::openedDeviceIsTheOneVetted()
{
    PtyMaster first, second;
    const QString path = link(QStringLiteral("stick"), first.slave());
    const int fd = ::open(QFile::encodeName(first.slave()).constData(), O_RDWR | O_NOCTTY);
    QString why;
    bool missing = false;
    QVERIFY2(vetOpenedDevice(fd, path, &why, &missing), qPrintable(why));
    QVERIFY(QFile::remove(path) && QFile::link(second.slave(), path));
    QVERIFY(!vetOpenedDevice(fd, path, &why, &missing));
    ::close(fd);
    QCOMPARE(why, path + QStringLiteral(" changed while it was opened"));
}

void TestSerialTransport::consoleDevices_data()
{
    QTest::addColumn<QByteArray>("consoles");
    QTest::addColumn<QList<dev_t>>("devices");
    QTest::newRow("a terminal and a serial console")
        << QByteArray("tty0 -WU (EC p  ) 4:1\nttyS0                -W- (EC  p a)    4:64\n")
        << QList<dev_t>{makedev(4, 1), makedev(4, 64)};
    QTest::newRow("a line cut short") << QByteArray("ttyS0 -W- (EC") << QList<dev_t>{};
}

void TestSerialTransport::consoleDevices()
{
    QFETCH(QByteArray, consoles);
    QFETCH(QList<dev_t>, devices);
    QCOMPARE(pulvane::stick::consoleDevices(consoles), devices);
}

// Without XDG_RUNTIME_DIR the directory is under /tmp, where anyone may have
// made it first and linked their own pseudo-terminal into it.
void TestSerialTransport::ignoresDirectoryOthersControl_data()
{
    QTest::addColumn<QString>("setup");
    QTest::newRow("writable by others") << "sticksOpen";
    QTest::newRow("parent writable by others") << "parentOpen";
    QTest::newRow("a link to a directory") << "sticksLink";
    QTest::newRow("another user's") << "sticksOthers";
    QTest::newRow("parent another user's") << "parentOthers";
}

void TestSerialTransport::ignoresDirectoryOthersControl()
{
    QFETCH(QString, setup);
    const QByteArray sticks = QFile::encodeName(m_sticks);
    const QByteArray parent = QFile::encodeName(QFileInfo(m_sticks).path());
    if (setup.endsWith("Others") && ::getuid() != 0)
        QSKIP("handing a directory to another user needs root");
    if (setup == "sticksLink") {
        const QString real = m_runtime->path() + QStringLiteral("/elsewhere");
        QVERIFY(QDir(m_sticks).removeRecursively());
        QVERIFY(QDir().mkpath(real));
        QVERIFY(QFile::link(real, m_sticks));
    }
    PtyMaster planted;
    QVERIFY(planted.isValid());
    QVERIFY(!link(QStringLiteral("stick"), planted.slave()).isEmpty());
    if (setup == "sticksOpen")
        QCOMPARE(::chmod(sticks.constData(), 0777), 0);
    else if (setup == "parentOpen")
        QCOMPARE(::chmod(parent.constData(), 0777), 0);
    else if (setup == "sticksOthers")
        QCOMPARE(::chown(sticks.constData(), 65534, 65534), 0);
    else if (setup == "parentOthers")
        QCOMPARE(::chown(parent.constData(), 65534, 65534), 0);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Virtual stick directory .* skipped: "));
    QVERIFY(virtualSticks(m_sticks).isEmpty());
}

void TestSerialTransport::libraryOverPty()
{
    PtyMaster stick;
    QVERIFY(stick.isValid());
    link(QStringLiteral("stick"), stick.slave());
    const int index = indexOf(QStringLiteral("stick"));
    QVERIFY(index >= 0);

    SystemStickProvider provider;
    AntLibrary library(provider);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not opened"));
    QCOMPARE(library.ANT_Init(uint8_t(index + 1), 57600), 0);
    QCOMPARE(library.ANT_Init(uint8_t(index), 57600), 1);

    std::array<uint8_t, 256> buffer{};
    QList<std::pair<uint8_t, uint8_t>> responses;
    library.ANT_AssignResponseFunction(
        [&](uint8_t channel, uint8_t id) {
            responses.append({id, buffer[0]});
            Q_UNUSED(channel);
            return true;
        },
        buffer.data());

    QVERIFY(library.ANT_ResetSystem());
    QVERIFY(library.ANT_OpenChannel(0));
    QTRY_COMPARE(stick.readAll().toHex(' '), QByteArray("a4 01 4a 00 ef a4 01 4b 00 ee"));

    const QByteArray reply =
        encodeFrame(startup(kStartupCommandReset)) + encodeFrame(channelResponse(0, 0x4B, 0));
    QVERIFY(stick.write(reply.left(7)));
    QTest::qWait(20);
    QVERIFY(stick.write(reply.mid(7)));
    QTRY_COMPARE(responses.size(), 2);
    QCOMPARE(responses.at(0), std::make_pair(uint8_t(0x6F), uint8_t(0x20)));
    QCOMPARE(responses.at(1), std::make_pair(uint8_t(0x40), uint8_t(0x00)));

    library.ANT_Close();
    QVERIFY(!library.isOpen());
    // Released: the same stick opens again.
    QCOMPARE(library.ANT_Init(uint8_t(index), 57600), 1);
}

void TestSerialTransport::garbageIsDropped()
{
    PtyMaster stick;
    QVERIFY(stick.isValid());
    SerialTransport transport(link(QStringLiteral("stick"), stick.slave()), 57600,
                              QStringLiteral("test stick"));
    QString why;
    QVERIFY2(transport.open(&why), qPrintable(why));
    FrameDecoder decoder;
    QList<AntMessage> got;
    connect(&transport, &Transport::bytesArrived, this,
            [&](const QByteArray &bytes) { got += decoder.feed(bytes); });
    QVERIFY(stick.write(QByteArray::fromHex("00ff13a4ffa401") +
                        encodeFrame(channelEvent(0, kEventRxFail))));
    QTRY_COMPARE(got, QList<AntMessage>{channelEvent(0, kEventRxFail)});
}

void TestSerialTransport::secondOpenIsRefused()
{
    PtyMaster stick;
    QVERIFY(stick.isValid());
    const QString path = link(QStringLiteral("stick"), stick.slave());
    SerialTransport first(path, 57600, QStringLiteral("first"));
    SerialTransport second(path, 57600, QStringLiteral("second"));
    QString why;
    QVERIFY2(first.open(&why), qPrintable(why));
    QVERIFY(!second.open(&why));
    QVERIFY2(why.contains(QStringLiteral("busy")), qPrintable(why));
    QVERIFY(!second.isOpen());
    QVERIFY(!second.write("x"));
}

void TestSerialTransport::ptyClosedMidRun()
{
    auto stick = std::make_unique<PtyMaster>();
    QVERIFY(stick->isValid());
    link(QStringLiteral("stick"), stick->slave());
    SystemStickProvider provider;
    AntLibrary library(provider);
    QCOMPARE(library.ANT_Init(uint8_t(indexOf(QStringLiteral("stick"))), 57600), 1);
    QSignalSpy gone(&library, &AntLibrary::stickGone);

    QTest::ignoreMessage(
        QtWarningMsg,
        QRegularExpression("went away: the stick was unplugged or its line was closed"));
    stick.reset();
    QVERIFY(gone.wait(5000));
    QVERIFY(!library.isOpen());
    QVERIFY(!library.ANT_ResetSystem());

    // Once gone, the event loop goes quiet: a notifier left armed on a dead
    // tty would burn a whole core here.
    const double cpuBefore = pulvane::test::cpuSeconds();
    QTest::qWait(500);
    const double cpuUsed = pulvane::test::cpuSeconds() - cpuBefore;
    QCOMPARE(gone.size(), 1);
    QVERIFY2(cpuUsed < 0.15, qPrintable(QStringLiteral("%1 s of CPU").arg(cpuUsed)));
    // Whether the link now dangles is not checked here: another process may
    // already have been given the same pseudo-terminal number.
}

// However the program is ended from outside, the line is closed first, and
// with it goes Qt's lock file, which would otherwise keep the stick busy for
// other users until the next boot.
void TestSerialTransport::endingReleasesTheLine_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("nohup");
    QTest::newRow("SIGTERM") << int(SIGTERM) << false;
    QTest::newRow("SIGHUP") << int(SIGHUP) << false;
    QTest::newRow("SIGINT") << int(SIGINT) << false;
    QTest::newRow("exit(), as on a broken display connection") << 0 << false;
    // A signal ignored at the start stays ignored; SIGTERM still ends it.
    QTest::newRow("SIGHUP under nohup") << int(SIGHUP) << true;
}

void TestSerialTransport::endingReleasesTheLine()
{
    QFETCH(int, signal);
    QFETCH(bool, nohup);
    PtyMaster stick;
    QVERIFY(stick.isValid());
    QProcess holder;
    const QStringList command{QStringLiteral(LINEHOLDER_PATH), stick.slave()};
    holder.start(nohup ? QStringLiteral("nohup") : command.first(), command.mid(nohup ? 0 : 1));
    QVERIFY(holder.waitForReadyRead(10000));
    QCOMPARE(holder.readAllStandardOutput(), QByteArray("open\n"));
    const QString lock = lockFileOf(stick.slave());
    if (!QFileInfo::exists(lock))
        QSKIP("Qt SerialPort keeps its lock files elsewhere here");

    if (nohup) {
        ::kill(pid_t(holder.processId()), signal);
        QVERIFY(!holder.waitForFinished(300));
        signal = SIGTERM;
    }
    if (signal)
        ::kill(pid_t(holder.processId()), signal);
    else
        holder.write("exit\n");
    QVERIFY(holder.waitForFinished(5000));
    QVERIFY(!QFileInfo::exists(lock));
    // A signal still ends the program as that signal.
    QCOMPARE(holder.exitStatus(), signal ? QProcess::CrashExit : QProcess::NormalExit);
}

// A lock whose program has ended, left where we may not remove it (another
// user's, in the sticky lock folder), does not make the stick busy; a live
// program's lock does.
void TestSerialTransport::lockOfEndedProgram_data()
{
    QTest::addColumn<bool>("holderAlive");
    QTest::newRow("program ended") << false;
    QTest::newRow("program running") << true;
}

void TestSerialTransport::lockOfEndedProgram()
{
    QFETCH(bool, holderAlive);
    if (::getuid() != 0)
        QSKIP("a lock file we may not remove needs another user's, made as root");
    QProcess ended;
    ended.start(QStringLiteral("true"));
    QVERIFY(ended.waitForStarted());
    const qint64 pid = holderAlive ? qint64(::getppid()) : ended.processId();
    QVERIFY(ended.waitForFinished());

    // The test runs as user 65534 from here on, its pty that user's.
    QCOMPARE(::setresuid(uid_t(-1), 65534, uid_t(-1)), 0);
    auto stick = std::make_unique<PtyMaster>();
    QCOMPARE(::seteuid(0), 0);
    QVERIFY(stick->isValid());
    QFile lock(lockFileOf(stick->slave()));
    QVERIFY(lock.open(QIODevice::WriteOnly));
    lock.write(QByteArray::number(pid).rightJustified(10, ' ') + '\n');
    lock.close();

    QCOMPARE(::setresuid(uid_t(-1), 65534, uid_t(-1)), 0);
    QString why;
    bool opened = false;
    {
        SerialTransport line(stick->slave(), 57600, QStringLiteral("stick"));
        opened = line.open(&why);
    }
    QCOMPARE(::seteuid(0), 0);
    QFile::remove(lock.fileName());
    QCOMPARE(opened, !holderAlive);
    if (holderAlive)
        QVERIFY2(why.contains(QStringLiteral("busy")), qPrintable(why));
    // Closed, the line leaves no lock file of its own behind (named after
    // the private link, which ends in the pty's number; other tests may be
    // locking other lines meanwhile).
    const QString number = QLatin1Char('_') + QFileInfo(stick->slave()).fileName();
    QStringList left;
    for (const QString &name : QDir(QStringLiteral("/var/lock")).entryList(QDir::Files))
        if (name.endsWith(number))
            left << name;
    QCOMPARE(left, QStringList());
}

// The busy line names the program whose lock keeps the line, not each process
// that has it open: a simulator keeps its pseudo-terminal open too.
void TestSerialTransport::busyNamesTheLockHolder()
{
    PtyMaster stick;
    QVERIFY(stick.isValid());
    QProcess maker, holder;
    maker.start(QStringLiteral("sh"),
                {QStringLiteral("-c"), QStringLiteral("exec sleep 60 3<>%1").arg(stick.slave())});
    QTRY_COMPARE(QFileInfo(QStringLiteral("/proc/%1/fd/3").arg(maker.processId())).symLinkTarget(),
                 stick.slave());
    holder.start(QStringLiteral(LINEHOLDER_PATH), {stick.slave()});
    QVERIFY(holder.waitForReadyRead(10000));
    if (!QFileInfo::exists(lockFileOf(stick.slave())))
        QSKIP("Qt SerialPort keeps its lock files elsewhere here");
    SerialTransport line(stick.slave(), 57600, QStringLiteral("stick"));
    QString why;
    QVERIFY(!line.open(&why));
    QCOMPARE(why, QStringLiteral("%1 is busy: held by lineholder (%2)")
                      .arg(stick.slave())
                      .arg(holder.processId()));
}

QTEST_GUILESS_MAIN(TestSerialTransport)
#include "tst_serialtransport.moc"
