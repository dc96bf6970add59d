// START finds antsim's nearest belt, the window shows its heart rate and
// number, SAVE TO PC writes both values into the registry as strings, and
// after STOP a new START finds it again. scripts/test-windows.sh names the
// COM port that leads to antsim in PULVANE_TEST_SIM_PORT; antsim has the
// belts 4321 (2.5 m), 12345 (0.5 m) and 51010 (1.2 m). The stick is that
// port named in PULVANE_STICKS, or, with nothing named, a stick with its
// maker's driver: the stand-in libusb0.dll in System32 carrying its bulk
// endpoints to the port.
#include "chaintranscript.h"
#include "libusb0_win.h"
#include "sticklist.h"
#include "storedvalue_win.h"
#include "windowrig.h"

#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>

using namespace pulvane;
using namespace pulvane::test;

class TestWineEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void findsTheNearestBeltAndSavesIt_data();
    void findsTheNearestBeltAndSavesIt();

private:
    QString m_port;
};

void TestWineEndToEnd::initTestCase()
{
    m_port = qEnvironmentVariable("PULVANE_TEST_SIM_PORT");
    if (m_port.isEmpty())
        QSKIP("PULVANE_TEST_SIM_PORT names no COM port leading to antsim");
}

void TestWineEndToEnd::findsTheNearestBeltAndSavesIt_data()
{
    // Where the port is named, and the only stick the list then holds.
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QString>("stick");
    QTest::newRow("port named in PULVANE_STICKS")
        << QByteArray("PULVANE_STICKS") << m_port + QStringLiteral(" (named in PULVANE_STICKS)");
    QTest::newRow("stick with its maker's driver, nothing named")
        << QByteArray("PULVANE_LIBUSB0_PORT")
        << QStringLiteral("ANT USB stick 0fcf:1009 (\\\\.\\libusb0-0001--0x0fcf-0x1009)");
}

void TestWineEndToEnd::findsTheNearestBeltAndSavesIt()
{
    QFETCH(QByteArray, variable);
    QFETCH(QString, stick);
    if (variable == "PULVANE_LIBUSB0_PORT" && !stick::libusb0::Library::load())
        QSKIP("no stand-in libusb0.dll in System32");
    RegDeleteTreeW(HKEY_CURRENT_USER, kStoreKey);
    // Set for this row alone, so that no other test takes antsim for a stick.
    qputenv(variable.constData(), m_port.toLocal8Bit());
    const auto unset = qScopeGuard([&] { qunsetenv(variable.constData()); });

    // No real stick here: the only one leads to antsim.
    const QList<stick::StickLocation> sticks = stick::findSticks();
    QCOMPARE(sticks.size(), 1);
    QCOMPARE(sticks.first().description, stick);

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
    QCOMPARE(window.log().mid(window.log().size() - 2),
             (QStringList{"Cmd - ResetSystem", "Cmd - Close"}));
    window.click("Btn_Start1");
    QTRY_COMPARE_WITH_TIMEOUT(window.labelText("lbl_DeviceNumber"), QStringLiteral("ID: 12345"),
                              30000);
}

QTEST_MAIN(TestWineEndToEnd)
#include "tst_wineendtoend.moc"
