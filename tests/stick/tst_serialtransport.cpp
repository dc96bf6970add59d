// The serial line as a transport: the library over a pseudo-terminal, junk
// dropped, a second open refused, a line closed under it.
#include "antframe.h"
#include "antlibrary.h"
#include "antmessages.h"
#include "ptyrig.h"
#include "serialline_linux.h"
#include "stickfolder.h"
#include "sticklist.h"
#include "stickopen.h"
#include "testenv.h"

#include <QDir>
#include <QEventLoop>
#include <QTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <array>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

using namespace pulvane::ant;
using namespace pulvane::stick;
using namespace pulvane::test;

class TestSerialTransport : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void libraryOverPty();
    void garbageIsDropped();
    void heldReadsKeepEveryByte();
    void secondOpenIsRefused();
    void ptyClosedMidRun();

private:
    std::optional<StickFolder> m_runtime;
};

void TestSerialTransport::init()
{
    m_runtime.emplace();
    QVERIFY(m_runtime->isValid());
}

void TestSerialTransport::libraryOverPty()
{
    PtyMaster stick;
    QVERIFY(stick.isValid());
    m_runtime->link(QStringLiteral("stick"), stick.slave());
    const int index = StickFolder::indexOf(QStringLiteral("stick"));
    QVERIFY(index >= 0);

    SystemStickProvider provider;
    AntLibrary library(provider);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not opened"));
    QCOMPARE(library.ANT_Init(uint8_t(index + 1), 57600), 0);
    QCOMPARE(library.ANT_Init(uint8_t(index), 57600), 1);

    std::array<uint8_t, 256> buffer{};
    QList<std::pair<uint8_t, uint8_t>> responses;
    library.ANT_AssignResponseFunction(
        [&](uint8_t channel, uint8_t id) {
            responses.append({id, buffer[0]});
            Q_UNUSED(channel);
            return true;
        },
        buffer.data());

    QVERIFY(library.ANT_ResetSystem());
    QVERIFY(library.ANT_OpenChannel(0));
    QTRY_COMPARE(stick.readAll().toHex(' '), QByteArray("a4 01 4a 00 ef a4 01 4b 00 ee"));

    const QByteArray reply =
        encodeFrame(startup(kStartupCommandReset)) + encodeFrame(channelResponse(0, 0x4B, 0));
    QVERIFY(stick.write(reply.left(7)));
    QTest::qWait(20);
    QVERIFY(stick.write(reply.mid(7)));
    QTRY_COMPARE(responses.size(), 2);
    QCOMPARE(responses.at(0), std::make_pair(uint8_t(0x6F), uint8_t(0x20)));
    QCOMPARE(responses.at(1), std::make_pair(uint8_t(0x40), uint8_t(0x00)));

    library.ANT_Close();
    QVERIFY(!library.isOpen());
    // Released: the same stick opens again.
    QCOMPARE(library.ANT_Init(uint8_t(index), 57600), 1);
}

void TestSerialTransport::garbageIsDropped()
{
    PtyMaster stick;
    QVERIFY(stick.isValid());
    SerialTransport transport(m_runtime->link(QStringLiteral("stick"), stick.slave()), 57600,
                              QStringLiteral("test stick"));
    const SerialTransport::Opened opened = transport.open();
    QVERIFY2(opened, qPrintable(opened.why));
    FrameDecoder decoder;
    QList<AntMessage> got;
    connect(&transport, &Transport::bytesArrived, this,
            [&](const QByteArray &bytes) { got += decoder.feed(bytes); });
    QVERIFY(stick.write(QByteArray::fromHex("00ff13a4ffa401") +
                        encodeFrame(channelEvent(0, kEventRxFail))));
    QTRY_COMPARE(got, QList<AntMessage>{channelEvent(0, kEventRxFail)});
}

// Junk at 115200 baud, a byte a write, then a frame: held as the library
// holds it, the line reads the stream in a few batches and loses no byte.
void TestSerialTransport::heldReadsKeepEveryByte()
{
    PtyMaster stick;
    SerialTransport transport(m_runtime->link(QStringLiteral("stick"), stick.slave()), 115200,
                              QStringLiteral("test stick"));
    const SerialTransport::Opened opened = transport.open();
    QVERIFY2(opened, qPrintable(opened.why));
    QByteArray sent, read;
    for (int i = 0; i < 400; ++i)
        sent.append(char(i % 7 == 0 ? 0xA4 : i & 0x7F));
    sent += encodeFrame(channelEvent(0, kEventRxFail));
    int reads = 0;
    // A loop that waits in the system, as the program's does (QTRY's naps
    // would batch the reads themselves).
    QEventLoop loop;
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    connect(&transport, &Transport::bytesArrived, &loop, [&](const QByteArray &bytes) {
        ++reads;
        read += bytes;
        if (!bytes.endsWith(encodeFrame(channelEvent(0, kEventRxFail))))
            transport.holdReads(kJunkHold);
        if (read.size() >= sent.size())
            loop.quit();
    });
    std::thread writer([&] {
        for (char c : std::as_const(sent)) {
            stick.write(QByteArray(1, c));
            ::usleep(87);
        }
    });
    loop.exec();
    writer.join();
    QCOMPARE(read, sent);
    QVERIFY2(reads < sent.size() / 4, qPrintable(QString::number(reads)));
}

void TestSerialTransport::secondOpenIsRefused()
{
    PtyMaster stick;
    QVERIFY(stick.isValid());
    const QString path = m_runtime->link(QStringLiteral("stick"), stick.slave());
    SerialTransport first(path, 57600, QStringLiteral("first"));
    SerialTransport second(path, 57600, QStringLiteral("second"));
    const SerialTransport::Opened opened = first.open();
    QVERIFY2(opened, qPrintable(opened.why));
    const SerialTransport::Opened refused = second.open();
    QVERIFY(!refused);
    QVERIFY2(refused.why.contains(QStringLiteral("busy")), qPrintable(refused.why));
    QVERIFY(!second.isOpen());
    QVERIFY(!second.write("x"));
}

void TestSerialTransport::ptyClosedMidRun()
{
    auto stick = std::make_unique<PtyMaster>();
    QVERIFY(stick->isValid());
    m_runtime->link(QStringLiteral("stick"), stick->slave());
    SystemStickProvider provider;
    AntLibrary library(provider);
    QCOMPARE(library.ANT_Init(uint8_t(StickFolder::indexOf(QStringLiteral("stick"))), 57600), 1);
    QSignalSpy gone(&library, &AntLibrary::stickGone);

    QTest::ignoreMessage(
        QtWarningMsg,
        QRegularExpression("went away: the stick was unplugged or its line was closed"));
    stick.reset();
    QVERIFY(gone.wait(5000));
    QVERIFY(!library.isOpen());
    QVERIFY(!library.ANT_ResetSystem());

    // Once gone, the event loop goes quiet: a notifier left armed on a dead
    // tty would burn a whole core here.
    const double cpuBefore = pulvane::test::cpuSeconds();
    QTest::qWait(500);
    const double cpuUsed = pulvane::test::cpuSeconds() - cpuBefore;
    QCOMPARE(gone.size(), 1);
    QVERIFY2(cpuUsed < 0.15, qPrintable(QStringLiteral("%1 s of CPU").arg(cpuUsed)));
    // Whether the link now dangles is not checked here: another process may
    // already have been given the same pseudo-terminal number.
}

QTEST_GUILESS_MAIN(TestSerialTransport)
#include "tst_serialtransport.moc"
