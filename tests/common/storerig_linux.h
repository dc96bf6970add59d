// The store each store test case saves into: a config home of its own under one
// temporary folder per run, which the case may break at will, and what the
// store test programs share to set it up.
#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace pulvane::test {

inline const QString kNotSaved = QStringLiteral("SAVE TO PC wrote nothing: ");
inline const QString kFirstFailure = QStringLiteral("Echec à la définition des données pour "
                                                    "'QrxAnt_DeviceHrNumber'");

// Root writes through directory permissions and leases any file. For the
// duration of a scope this thread gives up the capabilities that allow it, so a
// read-only directory is read-only for the test whoever runs it, and another
// user's file cannot be leased.
class WithoutPermissionOverride
{
public:
    WithoutPermissionOverride()
    {
        m_ok = syscall(SYS_capget, &m_header, m_saved) == 0;
        if (!m_ok)
            return;
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        reduced[0].effective &=
            ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER) |
              (1u << CAP_LEASE));
        m_ok = syscall(SYS_capset, &m_header, reduced) == 0;
    }
    ~WithoutPermissionOverride()
    {
        if (m_ok)
            syscall(SYS_capset, &m_header, m_saved);
    }
    WithoutPermissionOverride(const WithoutPermissionOverride &) = delete;
    WithoutPermissionOverride &operator=(const WithoutPermissionOverride &) = delete;

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
    bool m_ok = false;
};

inline void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write(content);
}

// Called from a test's init() and cleanup().
class StoreRig
{
protected:
    explicit StoreRig(const QString &root) : m_root(root) {}

    void newConfigHome()
    {
        // A store location of its own for every case: Qt keeps what it read of a
        // store file, and what it failed to write there, for the life of the process.
        const QString home = m_root + QStringLiteral("/run") + QString::number(++m_runs);
        qputenv("HOME", QFile::encodeName(home));
        m_configHome = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
        QVERIFY(QDir().mkpath(m_configHome));
    }

    void makeWritableAgain() const
    {
        QFile::setPermissions(m_configHome,
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QDirIterator it(m_configHome, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            QFile::setPermissions(it.next(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    QString morvaskDir() const { return m_configHome + QStringLiteral("/Morvask"); }
    QString storeFile() const { return morvaskDir() + QStringLiteral("/Quelb.conf"); }

    QString m_configHome;

private:
    QString m_root;
    int m_runs = 0;
};

// Test mode keeps everything away from the user's own files; the store itself
// goes to a directory of this run, where the tests may break it at will.
template <class Test> int runStoreTest(int argc, char **argv)
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication app(argc, argv);
    QTemporaryDir root;
    if (!root.isValid())
        return 1;
    Test test(root.path());
    return QTest::qExec(&test, argc, argv);
}

} // namespace pulvane::test
