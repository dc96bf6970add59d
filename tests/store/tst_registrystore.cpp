// Windows: SAVE TO PC's two values in the registry, read back without Qt, as
// the companion applications read them: string values (REG_SZ) under
// HKEY_CURRENT_USER\Software\Morvask\Quelb, other values there kept.
#include "devicenumberstore.h"
#include "storedvalue_win.h"

#include <QTest>

using namespace pulvane::store;
using pulvane::test::kStoreKey;
using pulvane::test::readStored;
using pulvane::test::StoredValue;

namespace {

void write(const wchar_t *key, const wchar_t *name, const wchar_t *text)
{
    const std::wstring path = std::wstring(kStoreKey) + L"\\" + key;
    RegSetKeyValueW(HKEY_CURRENT_USER, path.c_str(), name, REG_SZ, text,
                    DWORD((wcslen(text) + 1) * sizeof(wchar_t)));
}

} // namespace

class TestRegistryStore : public QObject
{
    Q_OBJECT

private slots:
    void init() { RegDeleteTreeW(HKEY_CURRENT_USER, kStoreKey); }
    void cleanupTestCase() { RegDeleteTreeW(HKEY_CURRENT_USER, kStoreKey); }
    void bothValuesAsStrings_data();
    void bothValuesAsStrings();
    void otherValuesKept();
    void stopsAtTheFailingValue_data();
    void stopsAtTheFailingValue();
};

void TestRegistryStore::bothValuesAsStrings_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<bool>("earlierSave");
    QTest::newRow("fresh store") << 12345 << false;
    QTest::newRow("lowest number") << 0 << false;
    QTest::newRow("highest number") << 65535 << false;
    QTest::newRow("over an earlier save") << 23456 << true;
}

void TestRegistryStore::bothValuesAsStrings()
{
    QFETCH(int, number);
    QFETCH(bool, earlierSave);
    if (earlierSave)
        QCOMPARE(saveDeviceNumber(4321), std::nullopt);
    QCOMPARE(saveDeviceNumber(number), std::nullopt);
    const StoredValue first = readStored(L"OrvantaDeviceAnt", L"QrxAnt_DeviceHrNumber");
    const StoredValue second = readStored(L"OrvantaDeviceAntP", L"QrxAntP_HRDeviceNumber");
    QCOMPARE(first.type, DWORD(REG_SZ));
    QCOMPARE(second.type, DWORD(REG_SZ));
    QCOMPARE(first.text, QString::number(number));
    QCOMPARE(second.text, QString::number(number));
}

void TestRegistryStore::otherValuesKept()
{
    write(L"OrvantaDeviceAnt", L"SomethingElse", L"kept");
    write(L"Other", L"Setting", L"also kept");
    QCOMPARE(saveDeviceNumber(777), std::nullopt);
    QCOMPARE(readStored(L"OrvantaDeviceAnt", L"SomethingElse").text, QStringLiteral("kept"));
    QCOMPARE(readStored(L"Other", L"Setting").text, QStringLiteral("also kept"));
    QCOMPARE(readStored(L"OrvantaDeviceAnt", L"QrxAnt_DeviceHrNumber").text, QStringLiteral("777"));
}

void TestRegistryStore::stopsAtTheFailingValue_data()
{
    QTest::addColumn<int>("failing"); // the value that cannot be written
    QTest::newRow("first") << 0;
    QTest::newRow("second") << 1;
}

void TestRegistryStore::stopsAtTheFailingValue()
{
    QFETCH(int, failing);
    const wchar_t *keys[] = {L"OrvantaDeviceAnt", L"OrvantaDeviceAntP"};
    const char *names[] = {"QrxAnt_DeviceHrNumber", "QrxAntP_HRDeviceNumber"};
    // Under a volatile key only volatile keys can be made: only the other is writable.
    HKEY handle = nullptr;
    RegCreateKeyW(HKEY_CURRENT_USER, L"Software\\Morvask", &handle); // an ordinary key
    RegCloseKey(handle);
    RegCreateKeyExW(HKEY_CURRENT_USER,
                    (std::wstring(kStoreKey) + L"\\" + keys[1 - failing]).c_str(), 0, nullptr,
                    REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &handle, nullptr);
    RegCloseKey(handle);
    QCOMPARE(saveDeviceNumber(321),
             QStringLiteral("Echec à la définition des données pour '%1'").arg(names[failing]));
    QCOMPARE(readStored(keys[0], L"QrxAnt_DeviceHrNumber").text, failing == 0 ? "" : "321");
    QCOMPARE(readStored(keys[1], L"QrxAntP_HRDeviceNumber").text, QString());
}

QTEST_GUILESS_MAIN(TestRegistryStore)
#include "tst_registrystore.moc"
