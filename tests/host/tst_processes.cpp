// The START's look at /proc: whose processes it looks into, how it names
// them, and the locks it reads.
#include "account.h"
#include "processes.h"

#include <QProcess>
#include <QTest>

#include <sys/sysmacros.h>
#include <unistd.h>

using namespace pulvane::host;

class TestProcesses : public QObject
{
    Q_OBJECT
private slots:
    void looksIntoOnlyWhatMatters();
    void heldLocks_data();
    void heldLocks();
};

// The user's processes are looked into; another user's thousands cost only
// a glance at their owner, and processOwner still tells whose they are.
void TestProcesses::looksIntoOnlyWhatMatters()
{
    constexpr uint kOther = 4241;
    QProcess ours, theirs;
    ours.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    QVERIFY(ours.waitForStarted());
    if (::geteuid() == 0) {
        theirs.setChildProcessModifier([] {
            if (::setgid(kOther) != 0 || ::setuid(kOther) != 0)
                ::_exit(127);
        });
        theirs.start(QStringLiteral("sleep"), {QStringLiteral("60")});
        QVERIFY(theirs.waitForStarted());
    }
    QTRY_COMPARE(processName(ours.processId()), QStringLiteral("sleep"));

    const ProcessSnapshot snapshot = ProcessSnapshot::read();
    QCOMPARE(snapshot.self, qint64(::getpid()));
    const ProcessInfo *seen = snapshot.process(ours.processId());
    QVERIFY(seen);
    QCOMPARE(seen->uid, userId());
    QCOMPARE(describeProcess(*seen), QStringLiteral("sleep (%1)").arg(ours.processId()));
    QCOMPARE(processOwner(ours.processId()), std::optional<uint>(userId()));
    if (theirs.processId()) {
        QTRY_COMPARE(processOwner(theirs.processId()), std::optional<uint>(kOther));
        QVERIFY(!ProcessSnapshot::read().process(theirs.processId()));
        theirs.kill();
        QVERIFY(theirs.waitForFinished());
    }
    ours.kill();
    QVERIFY(ours.waitForFinished());
    QCOMPARE(processOwner(ours.processId()), std::nullopt);
}

void TestProcesses::heldLocks_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<qint64>("pid"); // of the one lock read; 0: none
    QTest::newRow("a flock") << QByteArray("1: FLOCK  ADVISORY  WRITE 4711 fe:01:1234 0 EOF\n")
                             << qint64(4711);
    QTest::newRow("a waiter holds nothing")
        << QByteArray("1: -> FLOCK  ADVISORY  WRITE 4712 fe:01:1234 0 EOF\n") << qint64(0);
    QTest::newRow("an open file description's lock names no process")
        << QByteArray("2: OFDLCK ADVISORY  READ  -1 00:05:1234 0 EOF\n") << qint64(0);
}

void TestProcesses::heldLocks()
{
    QFETCH(QByteArray, text);
    QFETCH(qint64, pid);
    const QList<FileLock> locks = pulvane::host::heldLocks(text);
    QCOMPARE(locks.size(), pid ? 1 : 0);
    if (pid) {
        QCOMPARE(locks.constFirst().pid, pid);
        QCOMPARE(locks.constFirst().fileSystem, quint64(makedev(0xfe, 0x01)));
        QCOMPARE(locks.constFirst().inode, quint64(1234));
    }
}

QTEST_GUILESS_MAIN(TestProcesses)
#include "tst_processes.moc"
