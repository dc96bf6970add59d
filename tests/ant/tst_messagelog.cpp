// Windows: the program's lines are kept in a per-user file under the local
// application-data folder, beside standard error; other messages are not.
#include "messagelog.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

using namespace pulvane::ant;

namespace {

Q_LOGGING_CATEGORY(lcTest, "pulvane.test")

} // namespace

class TestMessageLog : public QObject
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

void TestMessageLog::initTestCase()
{
    // Before test mode: the user's own folder, not the roaming one.
    const QString local = QDir::fromNativeSeparators(qEnvironmentVariable("LOCALAPPDATA"));
    QVERIFY(!local.isEmpty());
    QCOMPARE(stickDiagnosticsFile(), local + QStringLiteral("/Pulvane/diagnostics.log"));
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(!stickDiagnosticsFile().startsWith(local + QStringLiteral("/Pulvane")));
}

void TestMessageLog::init()
{
    QStandardPaths::setTestModeEnabled(true);
    const QString path = stickDiagnosticsFile();
    QFile::remove(path);
    QFile::remove(path + QStringLiteral(".1"));
}

QString TestMessageLog::readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(file.readAll());
}

void TestMessageLog::keepsEachLine()
{
    const QString first = QStringLiteral("ANT stick 0 not opened: COM5 is gone");
    const QString second =
        QStringLiteral("ANT stick 1 not opened: COM7 is busy: another program holds it");
    {
        MessageLog log;
        qCWarning(lcTest).noquote() << first;
        qWarning("a message of Qt's own, not kept");
        qCWarning(lcTest).noquote() << second;
    }

    const QStringList lines = readFile(stickDiagnosticsFile()).split(u'\n');
    QCOMPARE(lines.size(), 3); // two lines, each ended
    QVERIFY(lines.at(2).isEmpty());
    // Each line: local time, a space, the warning itself.
    const QRegularExpression stamped(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d "));
    QVERIFY2(stamped.match(lines.at(0)).hasMatch(), qPrintable(lines.at(0)));
    QVERIFY(lines.at(0).endsWith(u' ' + first));
    QVERIFY(lines.at(1).endsWith(u' ' + second));
}

void TestMessageLog::startsAgainWhenLarge()
{
    const QString path = stickDiagnosticsFile();
    QDir().mkpath(QFileInfo(path).path());
    {
        QFile big(path);
        QVERIFY(big.open(QIODevice::WriteOnly));
        big.write(QByteArray(300 * 1024, 'x'));
    }
    const QString line = QStringLiteral("ANT stick 0 went away: the stick was unplugged");
    {
        MessageLog log;
        qCWarning(lcTest).noquote() << line;
    }
    QVERIFY(QFileInfo(path).size() < 1024);
    QVERIFY(readFile(path).endsWith(line + u'\n'));
    QCOMPARE(QFileInfo(path + QStringLiteral(".1")).size(), qint64(300 * 1024));
}

void TestMessageLog::unwritableFolderLosesOnlyTheLine()
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
    {
        MessageLog log;
        qCWarning(lcTest).noquote() << QStringLiteral("ANT stick 2 not opened: only 1 found");
    }
    QVERIFY(!QFileInfo(path).exists());
    QFile::remove(folder);
}

QTEST_GUILESS_MAIN(TestMessageLog)
#include "tst_messagelog.moc"
