// antsim's setup: belt descriptions and options as typed on its command line,
// and the pseudo-terminal it links into the virtual-stick directory.
#include "options.h"
#include "ptylink.h"
#include "testenv.h"
#include "virtualsticks.h"

#include <QFileInfo>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace pulvane::antsim;

namespace {

constexpr SimTime kSecond = kUsPerSecond;

} // namespace

class TestAntSimSetup : public QObject
{
    Q_OBJECT

private slots:
    void beltSetup_data();
    void beltSetup();
    void options();
    void ptyLink();
};

void TestAntSimSetup::beltSetup_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<double>("distanceAt10s");

    QTest::newRow("plain") << "dev=12345,trans=1,dist=0.5,hr=72" << true << 0.5;
    QTest::newRow("hex device") << "dev=0x3039" << true << 1.0;
    QTest::newRow("walk") << "dev=1,dist=1,walk=1@5/11@15" << true << 6.0;
    QTest::newRow("walk from dist") << "dev=1,dist=0,walk=20@20" << true << 10.0;
    QTest::newRow("walk ends") << "dev=1,walk=3@2" << true << 3.0;
    QTest::newRow("no device") << "dist=1" << false << 0.0;
    QTest::newRow("device 0") << "dev=0" << false << 0.0;
    QTest::newRow("device too big") << "dev=65536" << false << 0.0;
    QTest::newRow("trans 0") << "dev=1,trans=0" << false << 0.0;
    QTest::newRow("negative distance") << "dev=1,dist=-1" << false << 0.0;
    QTest::newRow("walk backwards") << "dev=1,walk=1@5/2@4" << false << 0.0;
    QTest::newRow("walk garbled") << "dev=1,walk=1@" << false << 0.0;
    QTest::newRow("unknown key") << "dev=1,speed=3" << false << 0.0;
}

void TestAntSimSetup::beltSetup()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(double, distanceAt10s);
    QString why;
    const std::optional<BeltSetup> setup = parseBeltSetup(text, &why);
    QCOMPARE(setup.has_value(), valid);
    if (valid)
        QCOMPARE(Belt(*setup).distanceAt(10 * kSecond), distanceAt10s);
    else
        QVERIFY(!why.isEmpty());
}

void TestAntSimSetup::options()
{
    SimOptions options;
    QString message;
    QCOMPARE(parseOptions({"antsim"}, &options, &message), ParseResult::Run);
    QCOMPARE(options.config.belts.size(), 3);
    QCOMPARE(options.name, QStringLiteral("antsim"));

    options = {};
    QCOMPARE(parseOptions({"antsim", "--name", "e2e-1", "--belt", "dev=5,dist=1", "--refuse",
                           "0x42=0x15", "--ignore", "75", "--time-scale", "20", "--vanish-at",
                           "2.5", "--no-startup", "--proximity-code", "0x33"},
                          &options, &message),
             ParseResult::Run);
    QCOMPARE(options.name, QStringLiteral("e2e-1"));
    QCOMPARE(options.config.belts.size(), 1);
    QCOMPARE(options.config.refuse.value(0x42), uint8_t(0x15));
    QVERIFY(options.config.ignore.contains(0x4B));
    QCOMPARE(options.timeScale, 20.0);
    QCOMPARE(options.config.vanishAt, std::optional<SimTime>(2500 * 1000));
    QVERIFY(!options.config.startupDelay);
    QCOMPARE(options.config.proximityRangeCode, uint8_t(0x33));

    for (const QStringList &bad :
         {QStringList{"antsim", "--name", "../x"}, QStringList{"antsim", "--refuse", "0x42"},
          QStringList{"antsim", "--belt", "dev=1", "--belt", "dev=1"},
          QStringList{"antsim", "--lossy", "2"}, QStringList{"antsim", "--bogus"}}) {
        options = {};
        QCOMPARE(parseOptions(bad, &options, &message), ParseResult::Error);
        QVERIFY(!message.isEmpty());
    }
    // Waits beyond an int of milliseconds once overflowed into a timer that spun.
    QCOMPARE(realDelayMs(3000000 * kSecond, 0, 1.0), 3600 * 1000);
    QCOMPARE(realDelayMs(30000 * kSecond, 0, 0.01), 3600 * 1000);
    QCOMPARE(parseOptions({"antsim", "--help"}, &options, &message), ParseResult::Help);
    QVERIFY(message.contains(QStringLiteral("ready <link path>")));
}

void TestAntSimSetup::ptyLink()
{
    pulvane::test::PrivateRuntime runtime;
    QVERIFY(runtime.isValid());
    QString why;
    PtyLink link;
    QVERIFY2(link.open(QStringLiteral("sim"), &why), qPrintable(why));
    const QString path = runtime.path() + QStringLiteral("/pulvane/sticks/sim");
    QCOMPARE(link.linkPath(), path);
    QCOMPARE(QFileInfo(path).symLinkTarget(), link.slavePath());
    QCOMPARE(QFileInfo(runtime.path() + QStringLiteral("/pulvane/sticks")).permissions() & 0x0077,
             QFileDevice::Permissions());

    // A second simulator may not take a live name.
    PtyLink other;
    QVERIFY(!other.open(QStringLiteral("sim"), &why));
    QVERIFY(why.contains(QStringLiteral("in use")));
    // Nor wait on a FIFO put where its lock file goes.
    const QString fifo =
        pulvane::stick::simulatorLockPath(QFileInfo(path).path(), QStringLiteral("fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QVERIFY(!other.open(QStringLiteral("fifo"), &why));
    QVERIFY2(why.startsWith(QStringLiteral("cannot lock ") + fifo), qPrintable(why));
    QFile::remove(fifo);

    // A host opening the link talks to the master, both ways, and survives
    // closing and reopening.
    for (int round = 0; round < 2; ++round) {
        const int host = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(host >= 0);
        QCOMPARE(::write(host, "\xa4\x01\x4a\x00\xef", 5), ssize_t(5));
        QByteArray got;
        QTRY_VERIFY((got += link.readAvailable()).size() >= 5);
        QCOMPARE(got, QByteArray("\xa4\x01\x4a\x00\xef", 5));
        link.write(QByteArray::fromHex("a4016f20ea"));
        char buffer[8] = {};
        QCOMPARE(::read(host, buffer, sizeof buffer), ssize_t(5));
        ::close(host);
    }
    link.close();
    QVERIFY(!QFileInfo::exists(path) && !QFileInfo(path).isSymLink());

    // A link left by a simulator that died is taken over.
    QVERIFY(QFile::link(QStringLiteral("/nonexistent/pts/99"), path));
    QVERIFY2(other.open(QStringLiteral("sim"), &why), qPrintable(why));
    other.close();
}

QTEST_GUILESS_MAIN(TestAntSimSetup)
#include "tst_antsimsetup.moc"
