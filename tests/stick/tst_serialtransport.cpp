#include "antframe.h"
#include "antlibrary.h"
#include "antmessages.h"
#include "serialtransport.h"
#include "sticklist.h"
#include "stickopen.h"
#include "virtualsticks.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace pulvane::ant;

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

qint64 cpuMicroseconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000 +
           usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
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
    void ignoresDirectoryOthersControl_data();
    void ignoresDirectoryOthersControl();
    void libraryOverPty();
    void garbageIsDropped();
    void secondOpenIsRefused();
    void ptyClosedMidRun();

private:
    QString link(const QString &name, const QString &target);
    // Index of a virtual entry in the full list (real sticks come first).
    int indexOf(const QString &name);

    std::unique_ptr<QTemporaryDir> m_runtime;
    QString m_sticks;
};

void TestSerialTransport::init()
{
    m_runtime = std::make_unique<QTemporaryDir>();
    QVERIFY(m_runtime->isValid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime->path()));
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
    const qint64 cpuBefore = cpuMicroseconds();
    QTest::qWait(500);
    const qint64 cpuUsed = cpuMicroseconds() - cpuBefore;
    QCOMPARE(gone.size(), 1);
    QVERIFY2(cpuUsed < 150000, qPrintable(QStringLiteral("%1 us of CPU").arg(cpuUsed)));
    // Whether the link now dangles is not checked here: another process may
    // already have been given the same pseudo-terminal number.
}

QTEST_GUILESS_MAIN(TestSerialTransport)
#include "tst_serialtransport.moc"
