#include "devicenumberstore.h"
#include "storerig_linux.h"

#include <QSettings>

#include <sys/inotify.h>
#include <sys/stat.h>

using pulvane::store::saveDeviceNumber;
using pulvane::test::StoreRig;
using pulvane::test::writeFile;

namespace {

ino_t inodeOf(const QString &path)
{
    struct stat st
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

} // namespace

class TestDeviceNumberStore : public QObject, StoreRig
{
    Q_OBJECT

public:
    explicit TestDeviceNumberStore(const QString &root) : StoreRig(root) {}

private slots:
    void init() { newConfigHome(); }
    void cleanup() { makeWritableAgain(); }

    void freshStore_data();
    void freshStore();
    void keepsWhatElseIsStored();
    void keepsWhatQtWritesBack_data();
    void keepsWhatQtWritesBack();
    void bothValuesInOneReplacement();
    void latestNumberWins();
    void ownFolders_data();
    void ownFolders();
    void foldersMadeAreTheUsers_data();
    void foldersMadeAreTheUsers();
};

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

int main(int argc, char **argv)
{
    return pulvane::test::runStoreTest<TestDeviceNumberStore>(argc, argv);
}

#include "tst_devicenumberstore.moc"
