#include "devicenumberstore.h"
#include "storerig_linux.h"

#include <QDateTime>
#include <QLockFile>
#include <QMap>
#include <QRegularExpression>

#include <sys/stat.h>
#include <sys/sysmacros.h>

using pulvane::store::saveDeviceNumber;
using pulvane::test::kFirstFailure;
using pulvane::test::kNotSaved;
using pulvane::test::StoreRig;
using pulvane::test::WithoutPermissionOverride;
using pulvane::test::writeFile;

namespace {

bool canCreateFileIn(const QString &dir)
{
    QFile probe(dir + QStringLiteral("/probe"));
    if (!probe.open(QIODevice::WriteOnly))
        return false;
    probe.remove();
    return true;
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

class TestUnwritableStore : public QObject, StoreRig
{
    Q_OBJECT

public:
    explicit TestUnwritableStore(const QString &root) : StoreRig(root) {}

private slots:
    void init() { newConfigHome(); }
    void cleanup() { makeWritableAgain(); }

    void unwritableStore_data();
    void unwritableStore();

private:
    // Every path under the config home with its mode and contents.
    QMap<QString, QByteArray> snapshot() const;
};

QMap<QString, QByteArray> TestUnwritableStore::snapshot() const
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


void TestUnwritableStore::unwritableStore_data()
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

void TestUnwritableStore::unwritableStore()
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

int main(int argc, char **argv)
{
    return pulvane::test::runStoreTest<TestUnwritableStore>(argc, argv);
}

#include "tst_unwritablestore.moc"
