// Who holds a serial line: the locks other programs keep for a tty, judged by
// whether their process could have it (another user may plant one in the
// lock folder, which all may write), the lock a line of ours takes, and the
// program's ending releasing its lines.
#include "ptyrig.h"
#include "serialline_linux.h"
#include "seriallock.h"
#include "testenv.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace pulvane::stick;
using namespace pulvane::test;

namespace {

constexpr uid_t kUser = 65534; // the user the line is opened as
constexpr uid_t kOther = 4241; // another user, who plants locks

// The usual lock file of tty, which other programs keep and we read.
QString lockFileOf(const QString &tty)
{
    return QStringLiteral("/var/lock/LCK..") + QString(tty).remove(0, 5).replace('/', '_');
}

// The lock files a line of ours holds for tty: Qt's, named after a link of
// ours that ends in the pty's number.
QStringList linesLockFiles(const QString &tty)
{
    QStringList found;
    const QString number = QLatin1Char('_') + QFileInfo(tty).fileName();
    for (const QString &name : QDir(QStringLiteral("/var/lock")).entryList(QDir::Files)) {
        if (name.endsWith(number) && name.size() > 5 + number.size())
            found << name;
    }
    return found;
}

// A process running as uid: `sh -c script`.
std::unique_ptr<QProcess> runAs(uid_t uid, const QString &script)
{
    auto process = std::make_unique<QProcess>();
    process->setChildProcessModifier([uid] {
        if (::setgid(uid) != 0 || ::setuid(uid) != 0)
            ::_exit(127);
    });
    process->start(QStringLiteral("sh"), {QStringLiteral("-c"), script});
    return process->waitForStarted() ? std::move(process) : nullptr;
}

enum class Plant
{
    EndedProgram,    // a pid that has ended
    RootsProgram,    // root's lock naming root's live process
    UsersHolder,     // the user's lock naming the user's process that has the tty
    Fifo,            // another user's FIFO: a read would wait for ever
    SparseGiant,     // another user's 1 GiB of nothing
    PidOne,          // another user's lock naming pid 1, which never had the tty
    OthersOwnProcess // another user's lock naming their own live process
};

} // namespace

class TestSerialLocks : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void plantedLocks_data();
    void plantedLocks();
    void busyNamesTheLockHolder();
    void endingReleasesTheLine_data();
    void endingReleasesTheLine();

private:
    std::optional<PrivateRuntime> m_runtime;
};

void TestSerialLocks::init()
{
    m_runtime.emplace();
    QVERIFY(m_runtime->isValid());
}

void TestSerialLocks::plantedLocks_data()
{
    QTest::addColumn<Plant>("plant");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<QString>("said"); // the line naming an odd lock
    QTest::newRow("a program that has ended") << Plant::EndedProgram << true << "";
    QTest::newRow("root's running program") << Plant::RootsProgram << false << "";
    QTest::newRow("the user's program holding the line") << Plant::UsersHolder << false << "";
    QTest::newRow("a FIFO") << Plant::Fifo << true << "it is a FIFO, no lock file";
    QTest::newRow("a sparse file of 1 GiB")
        << Plant::SparseGiant << true << "it is 1073741824 bytes long, no lock file";
    QTest::newRow("pid 1") << Plant::PidOne << true << "";
    QTest::newRow("another user's own process") << Plant::OthersOwnProcess << true << "";
}

void TestSerialLocks::plantedLocks()
{
    QFETCH(Plant, plant);
    QFETCH(bool, opens);
    QFETCH(QString, said);
    if (::geteuid() != 0)
        QSKIP("planting another user's lock needs root");
    // The line is the pty of user kUser, who opens it.
    QCOMPARE(::setresuid(uid_t(-1), kUser, uid_t(-1)), 0);
    auto stick = std::make_unique<PtyMaster>();
    QCOMPARE(::seteuid(0), 0);
    QVERIFY(stick->isValid());
    const QString lock = lockFileOf(stick->slave());
    const QByteArray lockName = QFile::encodeName(lock);
    std::unique_ptr<QProcess> process;
    qint64 pid = 1;
    if (plant == Plant::EndedProgram) {
        QProcess ended;
        ended.start(QStringLiteral("true"));
        QVERIFY(ended.waitForFinished());
        pid = ended.processId();
    } else if (plant == Plant::RootsProgram) {
        pid = ::getppid();
    } else if (plant == Plant::UsersHolder || plant == Plant::OthersOwnProcess) {
        const bool holds = plant == Plant::UsersHolder;
        process = runAs(holds ? kUser : kOther,
                        holds ? QStringLiteral("exec sleep 60 3<>%1").arg(stick->slave())
                              : QStringLiteral("exec sleep 60"));
        QVERIFY(process);
        pid = process->processId();
        if (holds)
            QTRY_COMPARE(QFileInfo(QStringLiteral("/proc/%1/fd/3").arg(pid)).symLinkTarget(),
                         stick->slave());
    }
    if (plant == Plant::Fifo) {
        QCOMPARE(::mkfifo(lockName.constData(), 0644), 0);
    } else {
        QFile file(lock);
        QVERIFY(file.open(QIODevice::WriteOnly));
        if (plant == Plant::SparseGiant)
            QVERIFY(file.resize(qint64(1) << 30));
        else
            file.write(QByteArray::number(pid).rightJustified(10, ' ') + '\n');
    }
    const uid_t owner = plant == Plant::RootsProgram  ? 0
                        : plant == Plant::UsersHolder ? kUser
                                                      : kOther;
    QCOMPARE(::chown(lockName.constData(), owner, owner), 0);

    if (!said.isEmpty())
        QTest::ignoreMessage(
            QtWarningMsg,
            QStringLiteral("Serial lock %1 ignored: %2").arg(lock, said).toUtf8().constData());
    QCOMPARE(::setresuid(uid_t(-1), kUser, uid_t(-1)), 0);
    SerialTransport::Opened opened;
    {
        SerialTransport line(stick->slave(), 57600, QStringLiteral("stick"));
        opened = line.open();
    }
    QCOMPARE(::seteuid(0), 0);
    QFile::remove(lock);
    if (process) {
        process->kill();
        process->waitForFinished();
    }
    QVERIFY2(bool(opened) == opens, qPrintable(opened.why));
    if (!opens)
        QVERIFY2(opened.why.contains(QStringLiteral(" is busy: held by ")), qPrintable(opened.why));
    // Closed, the line leaves no lock file of its own behind.
    QCOMPARE(linesLockFiles(stick->slave()), QStringList());
}

// The busy line names the program holding the line, not each process that
// has it open: a simulator keeps its pseudo-terminal open too.
void TestSerialLocks::busyNamesTheLockHolder()
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
    SerialTransport line(stick.slave(), 57600, QStringLiteral("stick"));
    const SerialTransport::Opened opened = line.open();
    QVERIFY(!opened);
    QCOMPARE(opened.why, QStringLiteral("%1 is busy: held by lineholder (%2)")
                             .arg(stick.slave())
                             .arg(holder.processId()));
    // Ended the way that releases its line, so its lock file goes too.
    holder.terminate();
    QVERIFY(holder.waitForFinished(5000));
}

// However the program is ended from outside, the line is closed first, and
// with it goes Qt's lock file, which would otherwise stay in the lock folder.
void TestSerialLocks::endingReleasesTheLine_data()
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

void TestSerialLocks::endingReleasesTheLine()
{
    QFETCH(int, signal);
    QFETCH(bool, nohup);
    PtyMaster stick;
    QVERIFY(stick.isValid());
    // Left by a line on an earlier pty of the same number that was killed.
    const QStringList before = linesLockFiles(stick.slave());
    QProcess holder;
    const QStringList command{QStringLiteral(LINEHOLDER_PATH), stick.slave()};
    holder.start(nohup ? QStringLiteral("nohup") : command.first(), command.mid(nohup ? 0 : 1));
    QVERIFY(holder.waitForReadyRead(10000));
    QCOMPARE(holder.readAllStandardOutput(), QByteArray("open\n"));
    if (linesLockFiles(stick.slave()) == before)
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
    QCOMPARE(linesLockFiles(stick.slave()), before);
    // A signal still ends the program as that signal.
    QCOMPARE(holder.exitStatus(), signal ? QProcess::CrashExit : QProcess::NormalExit);
}

QTEST_GUILESS_MAIN(TestSerialLocks)
#include "tst_seriallocks.moc"
