// Replays every input kept in regressions/ and every fuzzing seed through the
// frame decoder and AntLibrary's dispatch (stickbytesharness.h): what once
// broke them must pass the same checks the fuzz target makes.
#include "stickbytesharness.h"

#include <QDir>
#include <QFile>
#include <QTest>

class TestFuzzRegressions : public QObject
{
    Q_OBJECT

private slots:
    void replay_data();
    void replay();
};

void TestFuzzRegressions::replay_data()
{
    QTest::addColumn<QString>("path");
    const QString regressions = QFINDTESTDATA("regressions");
    const QString seeds = QFINDTESTDATA("../../fuzz/corpus");
    QVERIFY2(!regressions.isEmpty(), "regressions/ not found beside the test source");
    QVERIFY2(!seeds.isEmpty(), "fuzz/corpus not found");
    int rows = 0;
    for (const QString &dir : {regressions, seeds}) {
        const QFileInfoList files = QDir(dir).entryInfoList(QDir::Files, QDir::Name);
        for (const QFileInfo &file : files) {
            if (file.suffix() == QLatin1String("md"))
                continue;
            const QString name = QDir(dir).dirName() + QLatin1Char('/') + file.fileName();
            QTest::newRow(qPrintable(name)) << file.absoluteFilePath();
            ++rows;
        }
    }
    QVERIFY2(rows > 0, "nothing to replay");
}

void TestFuzzRegressions::replay()
{
    QFETCH(QString, path);
    QFile file(path);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.errorString()));
    const QByteArray bytes = file.readAll();

    // The library warns about every stick that goes away; replays make many.
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext &, const QString &message) {
            if (type != QtWarningMsg && type != QtDebugMsg && type != QtInfoMsg)
                fprintf(stderr, "%s\n", qPrintable(message));
        });
    const QString failure = pulvane::test::replayStickBytes(bytes);
    qInstallMessageHandler(previous);
    QCOMPARE(failure, QString());
}

QTEST_GUILESS_MAIN(TestFuzzRegressions)
#include "tst_fuzzregressions.moc"
