// What a stick's path may lead to (serialdevice.h) and which virtual-stick
// folders are trusted, through the stick list that asks: each row would
// otherwise put a device number on something that is no stick, or send the
// reset and the network key into someone's terminal.
#include "processes.h"
#include "ptyrig.h"
#include "serialdevice.h"
#include "serialline_linux.h"
#include "stickfolder.h"
#include "sticklist.h"
#include "testenv.h"
#include "virtualsticks.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace pulvane;
using namespace pulvane::stick;
using namespace pulvane::test;

namespace {

// What a virtual entry leads to.
enum class Target
{
    Device,          // the device named in the row
    Pty,             // a pseudo-terminal of ours
    OtherUsersPty,   // one handed to another user
    SessionTerminal, // one a session has as its terminal
    JobTerminal,     // one a job keeps after its session ended
};
// The simulator's lock file beside the entry.
enum class SimLock
{
    None,
    LeftOver, // nobody holds it: the simulator was killed
    Held,
    Fifo, // planted in its place
};
// How the virtual-stick folder or its parent is spoiled.
enum class Spoil
{
    SticksOpen,
    ParentOpen,
    SticksLink,
    SticksOthers,
    ParentOthers,
};

QStringList virtualNames(const QList<StickLocation> &sticks)
{
    QStringList names;
    for (const StickLocation &s : sticks)
        names << QFileInfo(s.path).fileName();
    return names;
}

} // namespace

class TestDeviceVetting : public QObject
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
    void ignoresDirectoryOthersControl_data();
    void ignoresDirectoryOthersControl();

private:
    std::optional<StickFolder> m_runtime;
};

void TestDeviceVetting::init()
{
    m_runtime.emplace();
    QVERIFY(m_runtime->isValid());
}

void TestDeviceVetting::virtualDirectoryFromEnvironment()
{
    QCOMPARE(virtualStickDirectory(), m_runtime->sticks());
    qunsetenv("XDG_RUNTIME_DIR");
    QCOMPARE(virtualStickDirectory(), QStringLiteral("/tmp/pulvane-%1/sticks").arg(::geteuid()));
}

void TestDeviceVetting::discoveryOrderAndDanglingLinks()
{
    PtyMaster a, b, c;
    QVERIFY(a.isValid() && b.isValid() && c.isValid());
    QVERIFY(!m_runtime->link(QStringLiteral("m-stick"), b.slave()).isEmpty());
    QVERIFY(!m_runtime->link(QStringLiteral("b-stick"), a.slave()).isEmpty());
    QVERIFY(!m_runtime->link(QStringLiteral("x-stick"), c.slave()).isEmpty());
    QVERIFY(
        !m_runtime
             ->link(QStringLiteral("a-dangling"), m_runtime->sticks() + QStringLiteral("/nowhere"))
             .isEmpty());
    QFile plain(m_runtime->sticks() + QStringLiteral("/c-plain-file"));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();

    const host::ProcessSnapshot processes = host::ProcessSnapshot::read();
    QCOMPARE(virtualNames(virtualSticks(m_runtime->sticks(), processes)),
             (QStringList{"b-stick", "m-stick", "x-stick"}));

    // The virtual entries close the full list, in the same order.
    const QList<StickLocation> all = findSticks();
    QVERIFY(all.size() >= 3);
    QCOMPARE(QFileInfo(all.last().path).fileName(), QStringLiteral("x-stick"));
    QCOMPARE(StickFolder::indexOf(QStringLiteral("b-stick")) + 1, StickFolder::indexOf(QStringLiteral("m-stick")));

    // A pseudo-terminal closed since it was linked leaves a dangling entry.
    b.close();
    QCOMPARE(virtualNames(virtualSticks(m_runtime->sticks(), processes)), (QStringList{"b-stick", "x-stick"}));
}

// Each entry would come before a working stick and, taken for a stick, use up
// a device number or lead START into something that never answers.
void TestDeviceVetting::skipsWhatIsNoStick_data()
{
    QTest::addColumn<Target>("target");
    QTest::addColumn<QString>("device");
    QTest::addColumn<SimLock>("lock");
    QTest::addColumn<bool>("kept");

    for (const char *device : {"/dev/null", "/dev/zero", "/dev/full", "/dev/urandom", "/dev/ptmx"})
        QTest::newRow(device) << Target::Device << device << SimLock::None << false;
    QTest::newRow("another user's pseudo-terminal")
        << Target::OtherUsersPty << "" << SimLock::None << false;
    QTest::newRow("a killed simulator's pseudo-terminal")
        << Target::Pty << "" << SimLock::LeftOver << false;
    QTest::newRow("a live simulator's pseudo-terminal")
        << Target::Pty << "" << SimLock::Held << true;
    // START never waits on it.
    QTest::newRow("a FIFO for the simulator's lock") << Target::Pty << "" << SimLock::Fifo << false;
    QTest::newRow("a pseudo-terminal linked by hand") << Target::Pty << "" << SimLock::None << true;
    QTest::newRow("a session's terminal linked by hand")
        << Target::SessionTerminal << "" << SimLock::None << false;
}

void TestDeviceVetting::skipsWhatIsNoStick()
{
    QFETCH(Target, target);
    QFETCH(QString, device);
    QFETCH(SimLock, lock);
    QFETCH(bool, kept);

    PtyMaster stick, entry;
    QVERIFY(stick.isValid() && entry.isValid());
    QVERIFY(!m_runtime->link(QStringLiteral("z-stick"), stick.slave()).isEmpty());
    if (target == Target::OtherUsersPty) {
        if (::geteuid() != 0)
            QSKIP("giving a pseudo-terminal to another user needs root");
        QCOMPARE(::chown(QFile::encodeName(entry.slave()).constData(), 65534, 65534), 0);
    }
    std::unique_ptr<QProcess> session;
    if (target == Target::SessionTerminal)
        QVERIFY((session = processOnTerminal(entry.slave(), TerminalUse::Session)));
    QVERIFY(
        !m_runtime
             ->link(QStringLiteral("a-entry"), target == Target::Device ? device : entry.slave())
             .isEmpty());
    const QString lockPath = simulatorLockPath(m_runtime->sticks(), QStringLiteral("a-entry"));
    QFile lockFile(lockPath);
    if (lock == SimLock::LeftOver || lock == SimLock::Held)
        QVERIFY(lockFile.open(QIODevice::WriteOnly));
    if (lock == SimLock::Held)
        QCOMPARE(::flock(lockFile.handle(), LOCK_EX | LOCK_NB), 0);
    if (lock == SimLock::Fifo)
        QCOMPARE(::mkfifo(QFile::encodeName(lockPath).constData(), 0600), 0);

    if (!kept)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Virtual stick a-entry skipped: "));
    const QStringList expected = kept ? QStringList{"a-entry", "z-stick"} : QStringList{"z-stick"};
    QCOMPARE(virtualNames(virtualSticks(m_runtime->sticks(), host::ProcessSnapshot::read())), expected);
}

// A port named in PULVANE_STICKS is vetted as a virtual entry is: START never
// writes the reset and the network key into someone's terminal, and what
// fails takes no device number.
void TestDeviceVetting::namedSticksAreVetted_data()
{
    // reason, a pattern: %1 the named path, %2 the pty, %3 the folder linked from.
    QTest::addColumn<Target>("target");
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("folderMode"); // 0: named directly; else linked from such a folder
    QTest::addColumn<int>("owner");      // of that link; -1: ours
    QTest::addColumn<QString>("reason");
    for (const char *device : {"/dev/tty", "/dev/ptmx", "/dev/null"})
        QTest::newRow(device) << Target::Device << device << 0 << -1
                              << "%1 is no serial port or pseudo-terminal";
    QTest::newRow("a session's terminal")
        << Target::SessionTerminal << "" << 0 << -1 << "%2 is the terminal of a session";
    QTest::newRow("a job's terminal, its session ended")
        << Target::JobTerminal << "" << 0 << -1 << "%2 is the terminal of \\S+ \\(\\d+\\)";
    QTest::newRow("a pseudo-terminal of ours") << Target::Pty << "" << 0 << -1 << "";
    QTest::newRow("linked in a shared folder by another user")
        << Target::Pty << "" << 01777 << 65534
        << "%1 belongs to user 65534, in %3, which other users may write";
    QTest::newRow("linked in a folder others may write")
        << Target::Pty << "" << 0777 << -1 << "%1 is in %3, which other users may write";
}

void TestDeviceVetting::namedSticksAreVetted()
{
    QFETCH(Target, target);
    QFETCH(QString, device);
    QFETCH(int, folderMode);
    QFETCH(int, owner);
    QFETCH(QString, reason);
    if (owner >= 0 && ::geteuid() != 0)
        QSKIP("handing a link to another user needs root");
    PtyMaster named, after;
    QVERIFY(named.isValid() && after.isValid());
    std::unique_ptr<QProcess> holder;
    if (target == Target::SessionTerminal || target == Target::JobTerminal)
        QVERIFY((holder = processOnTerminal(named.slave(), target == Target::SessionTerminal
                                                               ? TerminalUse::Session
                                                               : TerminalUse::OrphanedJob)));
    const QString folder = m_runtime->path() + QStringLiteral("/shared");
    const QString path = folderMode                 ? folder + QStringLiteral("/stick")
                         : target == Target::Device ? device
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
    const SerialTransport::Opened opened = line.open();
    QCOMPARE(bool(opened), reason.isEmpty());
    QVERIFY2(QRegularExpression('^' + reason + '$').match(opened.why).hasMatch(),
             qPrintable(opened.why));
}

// The descriptor opened must be the device the path leads to when it is
// vetted: a link switched to another pseudo-terminal in between is refused.
void TestDeviceVetting::openedDeviceIsTheOneVetted()
{
    PtyMaster first, second;
    const QString path = m_runtime->link(QStringLiteral("stick"), first.slave());
    const int fd = ::open(QFile::encodeName(first.slave()).constData(), O_RDWR | O_NOCTTY);
    const host::ProcessSnapshot processes = host::ProcessSnapshot::read();
    const host::DeviceVerdict before = host::vetOpenedDevice(fd, path, processes);
    QVERIFY2(before, qPrintable(before.why));
    QVERIFY(QFile::remove(path) && QFile::link(second.slave(), path));
    const host::DeviceVerdict after = host::vetOpenedDevice(fd, path, processes);
    ::close(fd);
    QCOMPARE(after.outcome, host::DeviceVerdict::Outcome::Refused);
    QCOMPARE(after.why, path + QStringLiteral(" changed while it was opened"));
}

void TestDeviceVetting::consoleDevices_data()
{
    QTest::addColumn<QByteArray>("consoles");
    QTest::addColumn<QList<quint64>>("devices");
    QTest::newRow("a terminal and a serial console")
        << QByteArray("tty0 -WU (EC p  ) 4:1\nttyS0                -W- (EC  p a)    4:64\n")
        << QList<quint64>{makedev(4, 1), makedev(4, 64)};
    QTest::newRow("a line cut short") << QByteArray("ttyS0 -W- (EC") << QList<quint64>{};
}

void TestDeviceVetting::consoleDevices()
{
    QFETCH(QByteArray, consoles);
    QFETCH(QList<quint64>, devices);
    QCOMPARE(host::consoleDevices(consoles), devices);
}

// Without XDG_RUNTIME_DIR the directory is under /tmp, where anyone may have
// made it first and linked their own pseudo-terminal into it.
void TestDeviceVetting::ignoresDirectoryOthersControl_data()
{
    QTest::addColumn<Spoil>("spoil");
    QTest::newRow("writable by others") << Spoil::SticksOpen;
    QTest::newRow("parent writable by others") << Spoil::ParentOpen;
    QTest::newRow("a link to a directory") << Spoil::SticksLink;
    QTest::newRow("another user's") << Spoil::SticksOthers;
    QTest::newRow("parent another user's") << Spoil::ParentOthers;
}

void TestDeviceVetting::ignoresDirectoryOthersControl()
{
    QFETCH(Spoil, spoil);
    const QByteArray sticks = QFile::encodeName(m_runtime->sticks());
    const QByteArray parent = QFile::encodeName(QFileInfo(m_runtime->sticks()).path());
    if ((spoil == Spoil::SticksOthers || spoil == Spoil::ParentOthers) && ::geteuid() != 0)
        QSKIP("handing a directory to another user needs root");
    if (spoil == Spoil::SticksLink) {
        const QString real = m_runtime->path() + QStringLiteral("/elsewhere");
        QVERIFY(QDir(m_runtime->sticks()).removeRecursively());
        QVERIFY(QDir().mkpath(real));
        QVERIFY(QFile::link(real, m_runtime->sticks()));
    }
    PtyMaster planted;
    QVERIFY(planted.isValid());
    QVERIFY(!m_runtime->link(QStringLiteral("stick"), planted.slave()).isEmpty());
    switch (spoil) {
    case Spoil::SticksOpen:
        QCOMPARE(::chmod(sticks.constData(), 0777), 0);
        break;
    case Spoil::ParentOpen:
        QCOMPARE(::chmod(parent.constData(), 0777), 0);
        break;
    case Spoil::SticksOthers:
        QCOMPARE(::chown(sticks.constData(), 65534, 65534), 0);
        break;
    case Spoil::ParentOthers:
        QCOMPARE(::chown(parent.constData(), 65534, 65534), 0);
        break;
    case Spoil::SticksLink:
        break;
    }
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Virtual stick directory .* skipped: "));
    QVERIFY(virtualSticks(m_runtime->sticks(), host::ProcessSnapshot::read()).isEmpty());
}

QTEST_GUILESS_MAIN(TestDeviceVetting)
#include "tst_devicevetting.moc"
