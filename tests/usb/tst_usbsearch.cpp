// A whole search over an emulated bulk stick, as over a virtual one: the
// finder, its window stand-in and the ANT library on the machine's stick
// list, from the network key to an open channel, broadcasts, the channel-ID
// request and its answer; then the stick pulled out mid-search.
#include "emulatedstick.h"

#include "antlibrary.h"
#include "antmessages.h"
#include "chaintranscript.h"
#include "finderrig.h"
#include "scriptedstick.h"
#include "stickopen.h"
#include "testenv.h"

#include <QStandardPaths>
#include <QTest>

using namespace pulvane;
using namespace pulvane::ant;
using namespace pulvane::stick;
using namespace pulvane::test;

namespace {

const QString kNode = QStringLiteral("/dev/bus/usb/001/002");
const QString kSysfs = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2");
const QByteArray kPayload = QByteArray::fromHex("048C2F1DC68E2048");

// Everything acknowledged; the channel-ID request answered by belt 12345.
QList<AntMessage> belt(const AntMessage &command)
{
    if (command == requestMessage(0, kMsgChannelId))
        return {channelId(0, 12345, 120, 1)};
    return acknowledgeEverything(command);
}

QStringList described(const QList<AntMessage> &messages)
{
    QStringList frames;
    for (const AntMessage &m : messages)
        frames << ScriptedStick::describe(m);
    return frames;
}

// A finder over the machine's sticks, as the program builds it, with a fake
// window.
using SystemFinder = FinderOver<SystemStickProvider>;

} // namespace

class TestUsbSearch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void search();
    void unpluggedMidSearch();

private:
    PrivateRuntime m_runtime;
    std::unique_ptr<UsbTestBed> m_bed;
    EmulatedStick *m_stick = nullptr;
};

void TestUsbSearch::initTestCase()
{
    if (!qEnvironmentVariableIsSet("LD_PRELOAD"))
        QSKIP("needs umockdev's preload library: run through ctest (umockdev-wrapper)");
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_runtime.isValid());
}

void TestUsbSearch::init()
{
    m_bed = std::make_unique<UsbTestBed>();
    QVERIFY2(m_bed->addDevices(QStringLiteral("onestick.umockdev")), qPrintable(m_bed->error()));
    m_stick = m_bed->emulate(kNode);
    QVERIFY2(m_stick, qPrintable(m_bed->error()));
    m_stick->setDriver(EmulatedStick::Driver::KernelSerial);
    m_stick->setResponder(belt);
}

void TestUsbSearch::cleanup()
{
    m_stick = nullptr;
    m_bed.reset();
}

void TestUsbSearch::search()
{
    SystemFinder rig;
    FakeView &view = rig.view;
    Finder &finder = rig.finder;

    finder.Btn_Start1Click();

    const QStringList transcript = chainTranscript();
    QTRY_COMPARE(view.log.size(), transcript.size());
    QCOMPARE(view.log, transcript);
    QVERIFY(finder.state().ChannelOpen);
    QVERIFY(view.idTimerRunning);
    QVERIFY(m_stick->driverDetached());
    const QStringList configuration = chainFrames();
    QCOMPARE(described(m_stick->written()), configuration);
    // The key frame went out as the build's key, compared without printing it.
    QVERIFY(m_stick->written().at(1) == setNetworkKey(0, finder.state().link.NetworkKey.data()));

    m_stick->queueIn({encodeFrame(broadcastData(0, kPayload))});
    QTRY_COMPARE(view.label(FinderView::Label::HeartRate), "HR: 72");

    // The ID timer fires; the request rides on the next broadcast.
    finder.tmr_RichiestaIDTimer();
    m_stick->queueIn({encodeFrame(broadcastData(0, kPayload))});
    QTRY_COMPARE(view.label(FinderView::Label::DeviceNumber), "ID: 12345");
    QCOMPARE(described(m_stick->written()).mid(configuration.size()),
             QStringList{"A4 02 4D 00 51 BA"});
    QVERIFY(view.enabled(FinderView::Button::SaveToPC));
    QCOMPARE(finder.state().link.DeviceNumber, 12345);
    QVERIFY(view.messages.isEmpty());
}

// As with a pseudo-terminal that vanishes: the log says so, STOP still runs
// and logs, and the next START finds no stick.
void TestUsbSearch::unpluggedMidSearch()
{
    SystemFinder rig;
    FakeView &view = rig.view;
    Finder &finder = rig.finder;
    finder.Btn_Start1Click();
    QTRY_COMPARE(view.log.last(), "Ack[0] - Open");

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("went away"));
    m_stick->unplug();
    m_bed->remove(kSysfs);
    QTRY_COMPARE(view.logFrom(view.log.size() - 2), (QStringList{"USB ANT dongle lost.", ""}));
    QVERIFY(!rig.ant.isOpen());
    const qsizetype before = view.log.size();

    finder.Btn_StopClick();
    finder.Btn_Start1Click();

    QCOMPARE(view.logFrom(before),
             (QStringList{"Cmd - ResetSystem", "Cmd - Close", "Connecting to USB ANT dongle.",
                          "USB ANT dongle not found."}));
    QCOMPARE(view.messages, QStringList{"USB ANT dongle not found."});
    QVERIFY(view.enabled(FinderView::Button::Start));
}

QTEST_GUILESS_MAIN(TestUsbSearch)
#include "tst_usbsearch.moc"
