#include "devicenumberstore.h"
#include "storerig_linux.h"

#include <QDateTime>
#include <QSettings>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

using pulvane::store::saveDeviceNumber;
using pulvane::test::kFirstFailure;
using pulvane::test::kNotSaved;
using pulvane::test::StoreRig;
using pulvane::test::WithoutPermissionOverride;
using pulvane::test::writeFile;

// How a writer that ignores the lock changes the store.
enum class Change
{
    Append,  // a section of its own at the end, as `>>` adds it
    InPlace  // x=1 made x=2 in the same bytes, the modification time put back
};

class TestStoreRaces : public QObject, StoreRig
{
    Q_OBJECT

public:
    explicit TestStoreRaces(const QString &root) : StoreRig(root) {}

private slots:
    void init() { newConfigHome(); }
    void cleanup() { makeWritableAgain(); }

    void savesWhileLockComesAndGoes();
    void locksFound_data();
    void locksFound();
    void appendDuringSave_data();
    void appendDuringSave();
    void appenderRacingSaves();

private:
    void changeStore(Change change, int count) const;
};

void TestStoreRaces::changeStore(Change change, int count) const
{
    const QByteArray name = QFile::encodeName(storeFile());
    const int fd = ::open(name.constData(), change == Change::Append ? O_WRONLY | O_APPEND : O_RDWR);
    QVERIFY(fd >= 0);
    struct stat before
    {
    };
    QCOMPARE(::fstat(fd, &before), 0);
    const QByteArray appended = "[Appended" + QByteArray::number(count) + "]\nline=1\n";
    if (change == Change::Append) {
        QCOMPARE(::write(fd, appended.constData(), appended.size()), appended.size());
    } else {
        QByteArray text(before.st_size, Qt::Uninitialized);
        QCOMPARE(::pread(fd, text.data(), text.size(), 0), text.size());
        text.replace("x=1", "x=2");
        QCOMPARE(::pwrite(fd, text.constData(), text.size(), 0), text.size());
        const timespec times[2] = {before.st_atim, before.st_mtim};
        QCOMPARE(::futimens(fd, times), 0);
    }
    ::close(fd);
}

// Another program taking and leaving the lock as fast as it can while we save:
// no save is refused for a lock made between two looks at its path.
void TestStoreRaces::savesWhileLockComesAndGoes()
{
    QVERIFY(QDir().mkpath(morvaskDir()));
    std::atomic<bool> done = false;
    std::thread companion([lockPath = QFile::encodeName(storeFile() + ".lock"), &done] {
        while (!done) {
            const int fd = ::open(lockPath.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (fd >= 0 && ::unlink(lockPath.constData()) == 0)
                ::close(fd);
            // Mostly without a lock, so that waiting for it is not what fails.
            const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(10);
            while (std::chrono::steady_clock::now() < until) {
            }
        }
    });
    int refused = 0;
    for (int i = 0; i < 200; ++i)
        refused += saveDeviceNumber(i).has_value();
    done = true;
    companion.join();
    QCOMPARE(refused, 0);
}

void TestStoreRaces::locksFound_data()
{
    QTest::addColumn<QByteArray>("contents"); // "%1": a live process of another user
    QTest::addColumn<int>("age");             // in seconds
    QTest::addColumn<bool>("readable");
    QTest::addColumn<QString>("why"); // on standard error; none when the lock is taken over

    const QByteArray otherMachine = "999999999\nQuelb\nelsewhere\nanother-machine-id\n";
    QTest::newRow("empty, older than Qt's stale time") << QByteArray() << 60 << true << "";
    QTest::newRow("garbled, older than Qt's stale time") << QByteArray("\x01?\n") << 60 << true << "";
    QTest::newRow("unreadable, older than Qt's stale time") << QByteArray("1\n") << 60 << false << "";
    QTest::newRow("empty, as far in the future") << QByteArray() << -60 << true << "";
    QTest::newRow("of another user's live process") << QByteArray("%1\nsleeper\n\n") << 0 << true
                                                     << "";
    QTest::newRow("empty, newer than Qt's stale time")
        << QByteArray() << 5 << true << "it names no process and is newer than 30 s";
    QTest::newRow("unreadable, newer than Qt's stale time")
        << QByteArray() << 5 << false << "it cannot be read and is newer than 30 s";
    QTest::newRow("of another machine, an hour old")
        << otherMachine << 3600 << true << "by process 999999999 of another machine, elsewhere";
}

// A lock left by a save killed before it wrote its lock, or one naming a process
// that cannot be writing in the user's own folder, does not wedge every save.
void TestStoreRaces::locksFound()
{
    QFETCH(QByteArray, contents);
    QFETCH(int, age);
    QFETCH(bool, readable);
    QFETCH(QString, why);
    QVERIFY(QDir().mkpath(morvaskDir()));
    pid_t holder = 0;
    if (contents.contains("%1")) {
        if (::geteuid() != 0)
            QSKIP("only root starts a process of another user");
        holder = ::fork();
        if (holder == 0) {
            if (::setuid(65534) == 0)
                ::pause();
            ::_exit(1);
        }
        contents.replace("%1", QByteArray::number(holder));
    }
    const QString lock = storeFile() + ".lock";
    writeFile(lock, contents);
    QFile aged(lock);
    QVERIFY(aged.open(QIODevice::ReadWrite) &&
            aged.setFileTime(QDateTime::currentDateTime().addSecs(-age),
                             QFileDevice::FileModificationTime));
    QVERIFY(readable || aged.setPermissions({}));
    if (!why.isEmpty())
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(kNotSaved + storeFile() + ": its lock is held (" + why + ')'));

    std::optional<QString> message;
    {
        const WithoutPermissionOverride asPlainUser;
        message = saveDeviceNumber(5150);
    }
    if (holder > 0) {
        ::kill(holder, SIGKILL);
        ::waitpid(holder, nullptr, 0);
    }
    QCOMPARE(message, why.isEmpty() ? std::nullopt : std::optional(kFirstFailure));
    QCOMPARE(QFile::exists(lock), !why.isEmpty());
}

void TestStoreRaces::appendDuringSave_data()
{
    QTest::addColumn<Change>("change");
    QTest::addColumn<int>("changes");
    QTest::addColumn<bool>("othersFile"); // which the user cannot lease

    QTest::newRow("after the read") << Change::Append << 1 << false;
    QTest::newRow("after the read and after the second read") << Change::Append << 2 << false;
    QTest::newRow("in place, same size, modification time put back")
        << Change::InPlace << 1 << false;
    QTest::newRow("in place, in a file of another user") << Change::InPlace << 1 << true;
}

// A writer that ignores the lock, as `>>` or an editor writing in place does,
// changes the file right after a save has read it: the save reads it again,
// and nothing the writer put there is lost.
void TestStoreRaces::appendDuringSave()
{
    QFETCH(Change, change);
    QFETCH(int, changes);
    QFETCH(bool, othersFile);
    if (othersFile && ::geteuid() != 0)
        QSKIP("only root gives a file to another user");
    QVERIFY(QDir().mkpath(morvaskDir()));
    writeFile(storeFile(), "[Companion]\nx=1\n");
    QVERIFY(!othersFile || ::chown(QFile::encodeName(storeFile()), 65534, gid_t(-1)) == 0);
    const int watch = inotify_init1(IN_CLOEXEC);
    QVERIFY(inotify_add_watch(watch, QFile::encodeName(morvaskDir()), IN_ACCESS) >= 0);
    int changed = 0;
    std::thread writer([&] {
        alignas(inotify_event) char events[4096];
        pollfd ready{watch, POLLIN, 0};
        while (changed < changes && ::poll(&ready, 1, 2000) == 1) {
            const ssize_t n = ::read(watch, events, sizeof events);
            for (char *p = events; p < events + n && changed < changes;) {
                const auto *event = reinterpret_cast<const inotify_event *>(p);
                if (event->len > 0 && qstrcmp(event->name, "Quelb.conf") == 0)
                    changeStore(change, ++changed);
                p += sizeof(inotify_event) + event->len;
            }
        }
    });
    std::optional<QString> message;
    {
        const WithoutPermissionOverride asPlainUser;
        message = saveDeviceNumber(606);
    }
    writer.join();
    ::close(watch);

    QCOMPARE(message, std::nullopt);
    QCOMPARE(changed, changes);
    const QSettings stored(storeFile(), QSettings::IniFormat);
    QCOMPARE(stored.allKeys().size(), 3 + (change == Change::Append ? changed : 0));
    QCOMPARE(stored.value("Companion/x").toString(), change == Change::Append ? "1" : "2");
    QCOMPARE(stored.value("OrvantaDeviceAnt/QrxAnt_DeviceHrNumber").toString(), "606");
}

// Round three's loss: a writer appending without the lock all through a run of
// saves, some of its appends landing while a save replaces the file.
void TestStoreRaces::appenderRacingSaves()
{
    QVERIFY(QDir().mkpath(morvaskDir()));
    writeFile(storeFile(), "[Companion]\nx=1\n");
    constexpr int kAppends = 300;
    std::atomic<bool> done = false;
    std::thread appender([&] {
        for (int i = 1; i <= kAppends; ++i) {
            changeStore(Change::Append, i);
            std::this_thread::sleep_for(std::chrono::microseconds(3000 + i * 7919 % 12000));
        }
        done = true;
    });
    int saved = 0;
    for (int i = 0; !done; ++i)
        saved += !saveDeviceNumber(i).has_value();
    appender.join();

    QVERIFY(saved > 0);
    QCOMPARE(saveDeviceNumber(707), std::nullopt);
    const QSettings stored(storeFile(), QSettings::IniFormat);
    QCOMPARE(stored.allKeys().size(), 3 + kAppends);
    QCOMPARE(stored.value("OrvantaDeviceAntP/QrxAntP_HRDeviceNumber").toString(), "707");
}

int main(int argc, char **argv)
{
    return pulvane::test::runStoreTest<TestStoreRaces>(argc, argv);
}

#include "tst_storeraces.moc"
