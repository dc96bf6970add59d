#include "devicenumberstore.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLockFile>
#include <QMap>
#include <QSettings>
#include <QStandardPaths>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <csignal>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using pulvane::store::saveDeviceNumber;

namespace {

const QString kNotSaved = QStringLiteral("SAVE TO PC wrote nothing: ");
const QString kFirstFailure = QStringLiteral("Echec à la définition des données pour "
                                             "'QrxAnt_DeviceHrNumber'");

// Root writes through directory permissions and leases any file. For the
// duration of a scope this thread gives up the capabilities that allow it, so a
// read-only directory is read-only for the test whoever runs it, and another
// user's file cannot be leased.
class WithoutPermissionOverride
{
public:
    WithoutPermissionOverride()
    {
        m_ok = syscall(SYS_capget, &m_header, m_saved) == 0;
        if (!m_ok)
            return;
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        reduced[0].effective &=
            ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER) |
              (1u << CAP_LEASE));
        m_ok = syscall(SYS_capset, &m_header, reduced) == 0;
    }
    ~WithoutPermissionOverride()
    {
        if (m_ok)
            syscall(SYS_capset, &m_header, m_saved);
    }
    WithoutPermissionOverride(const WithoutPermissionOverride &) = delete;
    WithoutPermissionOverride &operator=(const WithoutPermissionOverride &) = delete;

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
    bool m_ok = false;
};

bool canCreateFileIn(const QString &dir)
{
    QFile probe(dir + QStringLiteral("/probe"));
    if (!probe.open(QIODevice::WriteOnly))
        return false;
    probe.remove();
    return true;
}

ino_t inodeOf(const QString &path)
{
    struct stat st
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write(content);
}

// The character device 1:minor (/dev/null 3, /dev/zero 5) to link to: a node of
// its own where one can be made (root), which a wrong save could not harm.
QString characterDevice(const QString &node, unsigned minor)
{
    if (::mknod(QFile::encodeName(node).constData(), S_IFCHR | 0666, makedev(1, minor)) == 0)
        return node;
    return geteuid() == 0 ? QString() : minor == 3 ? "/dev/null" : "/dev/zero";
}

} // namespace

// How a writer that ignores the lock changes the store.
enum class Change
{
    Append,  // a section of its own at the end, as `>>` adds it
    InPlace  // x=1 made x=2 in the same bytes, the modification time put back
};

class TestDeviceNumberStore : public QObject
{
    Q_OBJECT

public:
    explicit TestDeviceNumberStore(const QString &root) : m_root(root) {}

private slots:
    void init();
    void cleanup();

    void freshStore_data();
    void freshStore();
    void keepsWhatElseIsStored();
    void keepsWhatQtWritesBack_data();
    void keepsWhatQtWritesBack();
    void bothValuesInOneReplacement();
    void latestNumberWins();
    void unwritableStore_data();
    void unwritableStore();
    void ownFolders_data();
    void ownFolders();
    void savesWhileLockComesAndGoes();
    void locksFound_data();
    void locksFound();
    void foldersMadeAreTheUsers_data();
    void foldersMadeAreTheUsers();
    void appendDuringSave_data();
    void appendDuringSave();
    void appenderRacingSaves();

private:
    QString morvaskDir() const { return m_configHome + QStringLiteral("/Morvask"); }
    QString storeFile() const { return morvaskDir() + QStringLiteral("/Quelb.conf"); }
    // Every path under the config home with its mode and contents.
    QMap<QString, QByteArray> snapshot() const;
    void makeWritableAgain() const;
    void changeStore(Change change, int count) const;

    QString m_root;
    QString m_configHome;
    int m_runs = 0;
};

void TestDeviceNumberStore::init()
{
    // A store location of its own for every case: Qt keeps what it read of a
    // store file, and what it failed to write there, for the life of the process.
    const QString home = m_root + QStringLiteral("/run") + QString::number(++m_runs);
    qputenv("HOME", QFile::encodeName(home));
    m_configHome = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    QVERIFY(QDir().mkpath(m_configHome));
}

void TestDeviceNumberStore::cleanup()
{
    makeWritableAgain();
}

void TestDeviceNumberStore::makeWritableAgain() const
{
    QFile::setPermissions(m_configHome, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QDirIterator it(m_configHome, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        QFile::setPermissions(it.next(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void TestDeviceNumberStore::changeStore(Change change, int count) const
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

QMap<QString, QByteArray> TestDeviceNumberStore::snapshot() const
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(m_configHome, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.nextFileInfo());
        QByteArray entry = QByteArray::number(int(info.permissions()), 16) + ' ';
        QFile file(info.filePath());
        if (info.isFile() && file.open(QIODevice::ReadOnly))
            entry += file.readAll();
        entries.insert(info.filePath(), entry);
    }
    return entries;
}

void TestDeviceNumberStore::freshStore_data()
{
    QTest::addColumn<int>("deviceNumber");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("leftovers"); // of saves that were killed

    QTest::newRow("zero") << 0 << "0" << QStringList();
    QTest::newRow("typical") << 4711 << "4711" << QStringList();
    QTest::newRow("largest") << 65535 << "65535" << QStringList();
    QTest::newRow("copy and its lock left behind")
        << 1 << "1" << QStringList{".pulvane-settings-Xy12Ab", ".pulvane-settings-Xy12Ab.lock"};
    QTest::newRow("store's lock left behind") << 2 << "2" << QStringList{"Quelb.conf.lock"};
}

void TestDeviceNumberStore::freshStore()
{
    QFETCH(int, deviceNumber);
    QFETCH(QString, text);
    QFETCH(QStringList, leftovers);
    QVERIFY(QDir().mkpath(morvaskDir()));
    for (const QString &name : leftovers)
        writeFile(morvaskDir() + '/' + name, "999999999\n\n\n"); // a process that has ended

    QCOMPARE(saveDeviceNumber(deviceNumber), std::nullopt);

    QFile file(storeFile());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray expected =
        "[OrvantaDeviceAnt]\nQrxAnt_DeviceHrNumber=" + text.toLatin1() +
        "\n\n[OrvantaDeviceAntP]\nQrxAntP_HRDeviceNumber=" + text.toLatin1() + '\n';
    QCOMPARE(file.readAll(), expected);
    // Neither a lock nor a temporary file is left behind.
    QCOMPARE(QDir(morvaskDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{QStringLiteral("Quelb.conf")});
}

void TestDeviceNumberStore::keepsWhatElseIsStored()
{
    QVERIFY(QDir().mkpath(morvaskDir()));
    writeFile(storeFile(), "[General]\ntheme=dark\n\n"
                           "[OrvantaDeviceAnt]\nQrxAnt_DeviceHrNumber=12\nLastSession=7\n\n"
                           "[OrvantaDeviceAntP]\nProfile=rower\n\n"
                           "[Zones]\nmax=190\n");
    writeFile(morvaskDir() + QStringLiteral("/Other.conf"), "[a]\nb=c\n");
    const ino_t before = inodeOf(storeFile());

    QCOMPARE(saveDeviceNumber(31337), std::nullopt);

    // A new file replaced the old one instead of the old one being rewritten in place.
    QVERIFY(inodeOf(storeFile()) != before);
    const QSettings stored(storeFile(), QSettings::IniFormat);
    QCOMPARE(stored.allKeys().size(), 6);
    QCOMPARE(stored.value("theme").toString(), "dark");
    QCOMPARE(stored.value("OrvantaDeviceAnt/QrxAnt_DeviceHrNumber").toString(), "31337");
    QCOMPARE(stored.value("OrvantaDeviceAnt/LastSession").toString(), "7");
    QCOMPARE(stored.value("OrvantaDeviceAntP/QrxAntP_HRDeviceNumber").toString(), "31337");
    QCOMPARE(stored.value("OrvantaDeviceAntP/Profile").toString(), "rower");
    QCOMPARE(stored.value("Zones/max").toString(), "190");
    QFile other(morvaskDir() + QStringLiteral("/Other.conf"));
    QVERIFY(other.open(QIODevice::ReadOnly));
    QCOMPARE(other.readAll(), "[a]\nb=c\n");
}

void TestDeviceNumberStore::keepsWhatQtWritesBack_data()
{
    QTest::addColumn<QByteArray>("content");

    QTest::newRow("escaped and unescaped key names")
        << QByteArray("[Other]\nWeird Key=1\nAlso%20Weird=2\nsub\\key=3\n");
    QTest::newRow("UTF-8 names and values") << QByteArray("[Gr\xc3\xbc\xc3\x9f"
                                                          "e]\nname=h\xc3\xa9llo\n");
    QTest::newRow("list as Qt writes it") << QByteArray("[Other]\nZones=120, 140, 160\n");
    QTest::newRow("comments, CRLF, keys before any section")
        << QByteArray("top=1\r\n; a comment\r\n[Other]\r\nx = 2\r\n");
    QTest::newRow("old numbers") << QByteArray("[OrvantaDeviceAnt]\nQrxAnt_DeviceHrNumber=1;2\n");
    QTest::newRow("UTF-8 byte-order mark") << QByteArray("\xef\xbb\xbf[Other]\nx=1\n");
    QTest::newRow("quotes Qt reads away") << QByteArray("[Other]\nname=\"hello\"\n");
}

// What Qt reads and writes back the same is kept, even where the layout changes.
void TestDeviceNumberStore::keepsWhatQtWritesBack()
{
    QFETCH(QByteArray, content);
    QVERIFY(QDir().mkpath(morvaskDir()));
    writeFile(storeFile(), content);
    const QString copy = m_configHome + QStringLiteral("/before.conf");
    QVERIFY(QFile::copy(storeFile(), copy));

    QCOMPARE(saveDeviceNumber(77), std::nullopt);

    const QSettings before(copy, QSettings::IniFormat);
    const QSettings after(storeFile(), QSettings::IniFormat);
    QStringList expectedKeys = before.allKeys();
    expectedKeys << "OrvantaDeviceAnt/QrxAnt_DeviceHrNumber"
                 << "OrvantaDeviceAntP/QrxAntP_HRDeviceNumber";
    expectedKeys.removeDuplicates();
    expectedKeys.sort();
    QCOMPARE(after.allKeys(), expectedKeys);
    for (const QString &key : before.allKeys()) {
        if (!key.startsWith("Orvanta"))
            QCOMPARE(after.value(key), before.value(key));
    }
    QCOMPARE(after.value("OrvantaDeviceAnt/QrxAnt_DeviceHrNumber").toString(), "77");
    QFile saved(storeFile());
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.peek(3) == "\xef\xbb\xbf", content.startsWith("\xef\xbb\xbf"));
}

// A kill during a save must not leave the two companion applications with
// different numbers: the file changes once, with both values in it.
void TestDeviceNumberStore::bothValuesInOneReplacement()
{
    QVERIFY(QDir().mkpath(morvaskDir()));
    writeFile(storeFile(), "[OrvantaDeviceAnt]\nQrxAnt_DeviceHrNumber=12\n\n"
                           "[OrvantaDeviceAntP]\nQrxAntP_HRDeviceNumber=12\n");
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(watch >= 0);
    QVERIFY(inotify_add_watch(watch, QFile::encodeName(morvaskDir()).constData(),
                              IN_CREATE | IN_MOVED_TO | IN_MODIFY) >= 0);

    QCOMPARE(saveDeviceNumber(555), std::nullopt);

    int changes = 0;
    alignas(inotify_event) char events[16384];
    ssize_t n;
    while ((n = ::read(watch, events, sizeof events)) > 0) {
        for (char *p = events; p < events + n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(p);
            if (event->len > 0 && qstrcmp(event->name, "Quelb.conf") == 0)
                ++changes;
            p += sizeof(inotify_event) + event->len;
        }
    }
    ::close(watch);
    QCOMPARE(changes, 1);
    const QSettings stored(storeFile(), QSettings::IniFormat);
    QCOMPARE(stored.value("OrvantaDeviceAntP/QrxAntP_HRDeviceNumber").toString(), "555");
}

void TestDeviceNumberStore::latestNumberWins()
{
    QCOMPARE(saveDeviceNumber(1001), std::nullopt);
    QCOMPARE(saveDeviceNumber(99), std::nullopt);

    const QSettings stored(storeFile(), QSettings::IniFormat);
    QCOMPARE(stored.allKeys().size(), 2);
    QCOMPARE(stored.value("OrvantaDeviceAnt/QrxAnt_DeviceHrNumber").toString(), "99");
    QCOMPARE(stored.value("OrvantaDeviceAntP/QrxAntP_HRDeviceNumber").toString(), "99");
}

void TestDeviceNumberStore::unwritableStore_data()
{
    QTest::addColumn<QString>("setup");

    QTest::newRow("read-only config home, no store yet") << "readOnlyHome";
    QTest::newRow("read-only store directory") << "readOnlyMorvask";
    QTest::newRow("file where the directory belongs") << "fileAsDirectory";
    QTest::newRow("directory where the store file belongs") << "directoryAsFile";
    QTest::newRow("hand-edited store Qt cannot parse") << "unparsable";
    QTest::newRow("another program's line without =") << "otherProgramsLine";
    QTest::newRow("a value Qt would cut at a semicolon") << "semicolonValue";
    QTest::newRow("lock held by another writer") << "lockHeld";
    QTest::newRow("directory where the lock belongs") << "lockIsDirectory";
    QTest::newRow("a Latin-1 value Qt would change") << "latin1Value";
    QTest::newRow("a Latin-1 section name Qt would change") << "latin1Section";
    QTest::newRow("FIFO as the store") << "fifo";
    QTest::newRow("FIFO as the lock") << "fifo.lock";
    QTest::newRow("link to a null device") << "linkToNull";
    QTest::newRow("link to a zero device") << "linkToZero";
    QTest::newRow("link that leads nowhere") << "linkToNowhere";
    QTest::newRow("store over 16 MiB") << "oversized";
    QTest::newRow("store folder others may write") << "worldWritableMorvask";
    QTest::newRow("store folder of a shared group") << "sharedGroupMorvask";
    QTest::newRow("store folder of another user") << "othersMorvask";
    QTest::newRow("config home others may write, not sticky") << "worldWritableHome";
    QTest::newRow("link into a folder others may write") << "linkIntoShared";
    QTest::newRow("link of another user") << "othersLink";
    QTest::newRow("lock of a live process, older than Qt's stale time") << "lockOld";
    QTest::newRow("lock of a live process under another name") << "lockRenamed";
    QTest::newRow("link as the lock") << "lockLinked";
}

void TestDeviceNumberStore::unwritableStore()
{
    QFETCH(QString, setup);

    QString readOnlyDir;
    if (setup == "readOnlyHome") {
        readOnlyDir = m_configHome;
    } else if (setup == "readOnlyMorvask") {
        QVERIFY(QDir().mkpath(morvaskDir()));
        writeFile(storeFile(), "[OrvantaDeviceAnt]\nQrxAnt_DeviceHrNumber=12\n");
        readOnlyDir = morvaskDir();
    } else if (setup == "fileAsDirectory") {
        writeFile(morvaskDir(), "not a directory\n");
    } else if (setup == "directoryAsFile") {
        QVERIFY(QDir().mkpath(storeFile()));
    } else if (setup == "unparsable") {
        QVERIFY(QDir().mkpath(morvaskDir()));
        writeFile(storeFile(), "[OrvantaDeviceAnt]\nQrxAnt_DeviceHrNumber=12\n[Companion\nx=1\n");
    } else if (setup == "otherProgramsLine" || setup == "semicolonValue") {
        QVERIFY(QDir().mkpath(morvaskDir()));
        writeFile(storeFile(), "[OrvantaDeviceAnt]\nQrxAnt_DeviceHrNumber=12\n\n"
                               "[OrvantaDeviceAntP]\nQrxAntP_HRDeviceNumber=12\n\n"
                               "[Companion]\nZones=120;140;160\n" +
                                   QByteArray(setup == "otherProgramsLine" ? "legacy_flag\n" : ""));
    } else if (setup == "lockIsDirectory") {
        QVERIFY(QDir().mkpath(storeFile() + ".lock"));
    } else if (setup.endsWith("Morvask") || setup.endsWith("Link") || setup.endsWith("Home") ||
               setup == "linkIntoShared") {
        const bool othersOwn = setup.startsWith("others") || setup.startsWith("shared");
        if (othersOwn && ::geteuid() != 0)
            QSKIP("only root gives a folder to another user or group");
        const QString target = setup.contains("Link") || setup.startsWith("link")
                                   ? m_configHome + "/elsewhere/Quelb.conf"
                                   : storeFile();
        QVERIFY(QDir().mkpath(morvaskDir()) && QDir().mkpath(QFileInfo(target).path()));
        writeFile(target, "[OrvantaDeviceAnt]\nQrxAnt_DeviceHrNumber=12\n");
        if (target != storeFile())
            QVERIFY(QFile::link(target, storeFile()));
        const QByteArray changed =
            QFile::encodeName(setup.endsWith("Home")     ? m_configHome
                              : setup == "othersLink"    ? storeFile()
                              : setup.startsWith("link") ? QFileInfo(target).path()
                                                         : morvaskDir());
        // Another user's folder stays writable through the group, as ours.
        if (setup.startsWith("others"))
            QCOMPARE(::lchown(changed.constData(), 65534, gid_t(-1)), 0);
        if (setup.startsWith("shared"))
            QCOMPARE(::chown(changed.constData(), uid_t(-1), 65534), 0);
        if (setup != "othersLink")
            QCOMPARE(::chmod(changed.constData(), othersOwn ? 0775 : 0777), 0);
    } else if (setup == "lockOld" || setup == "lockRenamed" || setup == "lockLinked") {
        QVERIFY(QDir().mkpath(morvaskDir()));
        // This process, which lives, without a Qt holder's flock; behind a link, one that has
        // ended.
        const QString name = setup == "lockRenamed"
                                 ? "another-name"
                                 : QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        const QString lock = storeFile() + (setup == "lockLinked" ? ".held" : ".lock");
        writeFile(lock, (setup == "lockLinked" ? "999999999" : QByteArray::number(::getpid())) +
                            '\n' + name.toUtf8() + "\n\n");
        QFile aged(lock);
        QVERIFY(setup != "lockOld" || (aged.open(QIODevice::ReadWrite) &&
                                       aged.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                                                        QFileDevice::FileModificationTime)));
        if (setup == "lockLinked")
            QVERIFY(QFile::link(lock, storeFile() + ".lock"));
    } else if (setup != "lockHeld") {
        QVERIFY(QDir().mkpath(morvaskDir()));
        if (setup.startsWith("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(storeFile() + setup.mid(4)).constData(), 0600), 0);
        } else if (setup.startsWith("linkTo")) {
            QString target = morvaskDir() + "/gone.conf";
            if (setup != "linkToNowhere")
                target = characterDevice(m_configHome + "/node", setup == "linkToNull" ? 3 : 5);
            if (target.isEmpty())
                QSKIP("no device node of its own can be made here");
            QVERIFY(QFile::link(target, storeFile()));
        } else {
            writeFile(storeFile(), setup == "latin1Value"     ? "[Other]\nName=Caf\xe9 au lait\n"
                                   : setup == "latin1Section" ? "[Caf\xe9]\nName=x\n"
                                                              : "x=1" + QByteArray(16 << 20, '\n'));
        }
    }
    // Same process or another: the lock file names a live process either way.
    QLockFile heldLock(storeFile() + ".lock");
    if (setup == "lockHeld") {
        QVERIFY(QDir().mkpath(morvaskDir()));
        QVERIFY(heldLock.tryLock(0));
        writeFile(morvaskDir() + "/.pulvane-settings-Ab12Cd", "the copy of a save going on");
    }
    if (!readOnlyDir.isEmpty())
        QVERIFY(QFile::setPermissions(readOnlyDir, QFile::ReadOwner | QFile::ExeOwner));
    const QMap<QString, QByteArray> before = snapshot();

    std::optional<QString> message;
    {
        const WithoutPermissionOverride asPlainUser;
        if (!readOnlyDir.isEmpty() && canCreateFileIn(readOnlyDir))
            QSKIP("directory permissions are not enforced for this user");
        // The cause goes to standard error; the window names only the value.
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression('^' + QRegularExpression::escape(kNotSaved) +
                                                QRegularExpression::escape(storeFile()) + ": \\w"));
        message = saveDeviceNumber(4321);
    }

    QCOMPARE(message, kFirstFailure);
    QCOMPARE(snapshot(), before);
}

void TestDeviceNumberStore::ownFolders_data()
{
    QTest::addColumn<QString>("layout");

    QTest::newRow("store folder of the user's private group") << "0775";
    QTest::newRow("config home in a sticky shared folder") << "sticky";
    QTest::newRow("store as a relative link to the user's file") << "linkedFile";
    QTest::newRow("store folder as a link to the user's folder") << "linkedFolder";
}

// Settings the user arranged themselves keep being saved.
void TestDeviceNumberStore::ownFolders()
{
    QFETCH(QString, layout);
    if (layout == "0775" && ::geteuid() != 0)
        QSKIP("only root's group is surely a group of its own");
    const QString dotfiles = m_configHome + "/dotfiles";
    QVERIFY(QDir().mkpath(dotfiles));
    QVERIFY(layout != "linkedFolder" || QFile::link(dotfiles, morvaskDir()));
    QVERIFY(QDir().mkpath(morvaskDir()));
    if (layout == "linkedFile") {
        writeFile(dotfiles + "/Quelb.conf", "[Other]\nx=1\n");
        QCOMPARE(::symlink("../dotfiles/Quelb.conf", QFile::encodeName(storeFile())), 0);
    }
    const uint mode = layout == "sticky" ? 01777 : layout == "0775" ? 0775 : 0700;
    QCOMPARE(::chmod(QFile::encodeName(layout == "sticky" ? m_configHome : morvaskDir()), mode), 0);

    QCOMPARE(saveDeviceNumber(808), std::nullopt);

    const QSettings stored(storeFile(), QSettings::IniFormat);
    QCOMPARE(stored.value("OrvantaDeviceAntP/QrxAntP_HRDeviceNumber").toString(), "808");
    QCOMPARE(QFileInfo(storeFile()).isSymLink(), layout == "linkedFile");
}

// Another program taking and leaving the lock as fast as it can while we save:
// no save is refused for a lock made between two looks at its path.
void TestDeviceNumberStore::savesWhileLockComesAndGoes()
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

void TestDeviceNumberStore::locksFound_data()
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
void TestDeviceNumberStore::locksFound()
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

void TestDeviceNumberStore::foldersMadeAreTheUsers_data()
{
    QTest::addColumn<int>("mask");

    QTest::newRow("umask 000") << 0;
    QTest::newRow("umask 022") << 022;
    QTest::newRow("umask 077") << 077;
}

// The folders the first save makes are the user's alone, and the save goes
// into them, whatever the umask.
void TestDeviceNumberStore::foldersMadeAreTheUsers()
{
    QFETCH(int, mask);
    QVERIFY(QDir(m_configHome).removeRecursively());
    const mode_t saved = ::umask(mask);
    const std::optional<QString> message = saveDeviceNumber(90);
    ::umask(saved);

    QCOMPARE(message, std::nullopt);
    for (const QString &folder : {m_configHome, morvaskDir()}) {
        struct stat st
        {
        };
        QCOMPARE(::stat(QFile::encodeName(folder).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0700));
    }
}

void TestDeviceNumberStore::appendDuringSave_data()
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
void TestDeviceNumberStore::appendDuringSave()
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
void TestDeviceNumberStore::appenderRacingSaves()
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
    // Test mode keeps everything away from the user's own files; the store itself
    // goes to a directory of this run, where the tests may break it at will.
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication app(argc, argv);
    QTemporaryDir root;
    if (!root.isValid())
        return 1;
    TestDeviceNumberStore test(root.path());
    return QTest::qExec(&test, argc, argv);
}

#include "tst_devicenumberstore.moc"
