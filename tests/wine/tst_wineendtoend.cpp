// START finds antsim's nearest belt through a COM port, the window shows its
// heart rate and number, and SAVE TO PC writes both values into the
// registry as strings. scripts/test-windows.sh names the COM port that leads
// to antsim in PULVANE_TEST_SIM_PORT; antsim has the belts
// 4321 (2.5 m), 12345 (0.5 m) and 51010 (1.2 m).
#include "chaintranscript.h"
#include "sticklist.h"
#include "storedvalue_win.h"
#include "windowrig.h"

#include <QRegularExpression>
#include <QTest>

using namespace pulvane;
using namespace pulvane::test;

class TestWineEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void findsTheNearestBeltAndSavesIt();
};

void TestWineEndToEnd::initTestCase()
{
    // Set for this test alone, so that no other test takes antsim for a
    // real stick.
    const QString port = qEnvironmentVariable("PULVANE_TEST_SIM_PORT");
    if (port.isEmpty())
        QSKIP("PULVANE_TEST_SIM_PORT names no COM port leading to antsim");
    qputenv("PULVANE_STICKS", port.toLocal8Bit());
}

void TestWineEndToEnd::findsTheNearestBeltAndSavesIt()
{
    RegDeleteTreeW(HKEY_CURRENT_USER, kStoreKey);

    // No real stick here: the only one is the port PULVANE_STICKS names.
    const QList<ant::StickLocation> sticks = ant::findSticks();
    QCOMPARE(sticks.size(), 1);
    QCOMPARE(sticks.first().path, qEnvironmentVariable("PULVANE_STICKS"));

    WindowRig<> window;
    QVERIFY(window.show());

    window.click("Btn_Start1");
    QTRY_COMPARE_WITH_TIMEOUT(window.labelText("lbl_DeviceNumber"), QStringLiteral("ID: 12345"),
                              30000);
    QTRY_VERIFY_WITH_TIMEOUT(QRegularExpression(QStringLiteral("^HR: \\d+$"))
                                 .match(window.labelText("lbl_HR"))
                                 .hasMatch(),
                             10000);
    const QStringList transcript = chainTranscript(4);
    QCOMPARE(window.log().mid(0, transcript.size()), transcript);

    window.click("Btn_SaveToPC");
    QVERIFY2(window.messages.isEmpty(), qPrintable(window.messages.join(u'\n')));
    const StoredValue saved = readStored(L"OrvantaDeviceAnt", L"QrxAnt_DeviceHrNumber");
    QCOMPARE(saved.type, DWORD(REG_SZ));
    QCOMPARE(saved.text, QStringLiteral("12345"));
    const StoredValue savedP = readStored(L"OrvantaDeviceAntP", L"QrxAntP_HRDeviceNumber");
    QCOMPARE(savedP.type, DWORD(REG_SZ));
    QCOMPARE(savedP.text, QStringLiteral("12345"));

    window.click("Btn_Stop");
    QVERIFY(window.button("Btn_Start1")->isEnabled());
}

QTEST_MAIN(TestWineEndToEnd)
#include "tst_wineendtoend.moc"
