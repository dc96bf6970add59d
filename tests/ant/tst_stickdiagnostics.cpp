// Windows: the lines about sticks that could not be opened are kept in a
// per-user file under the local application-data folder, beside the warning.
#include "stickdiagnostics.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTest>

using namespace pulvane::ant;

class TestStickDiagnostics : public QObject
{
    Q_OBJECT

private slots:
    // Before any init(): the path without test mode.
    void initTestCase();
    void init();
    void keepsEachLine();
    void startsAgainWhenLarge();
    void unwritableFolderLosesOnlyTheLine();

private:
    QString readFile(const QString &path);
};

void TestStickDiagnostics::initTestCase()
{
    // Before test mode: the user's own folder, not the roaming one.
    const QString local = QDir::fromNativeSeparators(qEnvironmentVariable("LOCALAPPDATA"));
    QVERIFY(!local.isEmpty());
    QCOMPARE(stickDiagnosticsFile(), local + QStringLiteral("/Pulvane/diagnostics.log"));
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(!stickDiagnosticsFile().startsWith(local + QStringLiteral("/Pulvane")));
}

void TestStickDiagnostics::init()
{
    QStandardPaths::setTestModeEnabled(true);
    const QString path = stickDiagnosticsFile();
    QFile::remove(path);
    QFile::remove(path + QStringLiteral(".1"));
}

QString TestStickDiagnostics::readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(file.readAll());
}

void TestStickDiagnostics::keepsEachLine()
{
    const QString first = QStringLiteral("ANT stick 0 not opened: COM5 is gone");
    const QString second =
        QStringLiteral("ANT stick 1 not opened: COM7 is busy: another program holds it");
    QTest::ignoreMessage(QtWarningMsg, qPrintable(first));
    reportStickTrouble(first);
    QTest::ignoreMessage(QtWarningMsg, qPrintable(second));
    reportStickTrouble(second);

    const QStringList lines = readFile(stickDiagnosticsFile()).split(u'\n');
    QCOMPARE(lines.size(), 3); // two lines, each ended
    QVERIFY(lines.at(2).isEmpty());
    // Each line: local time, a space, the warning itself.
    const QRegularExpression stamped(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d "));
    QVERIFY2(stamped.match(lines.at(0)).hasMatch(), qPrintable(lines.at(0)));
    QVERIFY(lines.at(0).endsWith(u' ' + first));
    QVERIFY(lines.at(1).endsWith(u' ' + second));
}

void TestStickDiagnostics::startsAgainWhenLarge()
{
    const QString path = stickDiagnosticsFile();
    QDir().mkpath(QFileInfo(path).path());
    {
        QFile big(path);
        QVERIFY(big.open(QIODevice::WriteOnly));
        big.write(QByteArray(300 * 1024, 'x'));
    }
    const QString line = QStringLiteral("ANT stick 0 went away: the stick was unplugged");
    QTest::ignoreMessage(QtWarningMsg, qPrintable(line));
    reportStickTrouble(line);
    QVERIFY(QFileInfo(path).size() < 1024);
    QVERIFY(readFile(path).endsWith(line + u'\n'));
    QCOMPARE(QFileInfo(path + QStringLiteral(".1")).size(), qint64(300 * 1024));
}

void TestStickDiagnostics::unwritableFolderLosesOnlyTheLine()
{
    // The folder's place is taken by a file: nothing can be written there.
    const QString path = stickDiagnosticsFile();
    const QString folder = QFileInfo(path).path();
    QDir(folder).removeRecursively();
    QDir().mkpath(QFileInfo(folder).path());
    {
        QFile blocker(folder);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    const QString line = QStringLiteral("ANT stick 2 not opened: only 1 ANT stick(s) found");
    QTest::ignoreMessage(QtWarningMsg, qPrintable(line));
    reportStickTrouble(line);
    QVERIFY(!QFileInfo(path).exists());
    QFile::remove(folder);
}

QTEST_GUILESS_MAIN(TestStickDiagnostics)
#include "tst_stickdiagnostics.moc"
