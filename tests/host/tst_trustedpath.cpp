// The folder rule as one table: each row builds a few folders, files and
// links, and the walk judges the path once as the sticks ask (the folder
// holding the last name may be root's) and once as the store asks (it must
// be the user's own). Rows that hand files to other accounts need root; the
// walk then judges for a made-up user, so that root's own pass does not
// hide a refusal.
#include "posixacl.h"
#include "trustedpath.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace pulvane::host;
using Outcome = PathVerdict::Outcome;

namespace {

// The made-up accounts, as root hands files to them.
constexpr uint kUser = 4240;         // the user; 4240 is also their private group
constexpr uint kOther = 4241;        // another account, primary group 4241
constexpr uint kSiblingGroup = 4244; // another account's primary group
constexpr uint kCrewGroup = 4245;    // lists another account
constexpr uint kSoloGroup = 4246;    // lists only the user

AccountBook madeUpAccounts()
{
    return AccountBook(
        {{"me", kUser, kUser}, {"other", kOther, kOther}, {"sibling", 4243, kSiblingGroup}},
        {{kUser, {}}, {kCrewGroup, {"other"}}, {kSoloGroup, {"me"}}});
}

// Where a row builds: `home`, the user's own 0700 folder.
struct Place
{
    QString home;

    QString make(const QString &name, mode_t mode, uint owner = kUser, uint group = kUser) const
    {
        const QString path = home + QLatin1Char('/') + name;
        const QByteArray bytes = QFile::encodeName(path);
        if (!QDir().mkpath(path) || ::chown(bytes.constData(), owner, group) != 0 ||
            ::chmod(bytes.constData(), mode) != 0)
            return {};
        return path;
    }
    QString file(const QString &name, uint owner = kUser) const
    {
        const QString path = home + QLatin1Char('/') + name;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) ||
            ::chown(QFile::encodeName(path).constData(), owner, owner) != 0)
            return {};
        return path;
    }
    QString link(const QString &name, const QString &to, uint owner = kUser) const
    {
        const QString path = home + QLatin1Char('/') + name;
        if (!QFile::link(to, path) ||
            ::lchown(QFile::encodeName(path).constData(), owner, owner) != 0)
            return {};
        return path;
    }
};

// An access ACL of owner rwx, a named entry, the mask, group and others r-x.
bool setAcl(const QString &path, quint16 tag, quint32 id, quint16 mask)
{
    QByteArray value;
    const auto put = [&value](quint16 t, quint16 perm, quint32 entryId) {
        value.append(char(t & 0xFF)).append(char(t >> 8)).append(char(perm)).append('\0');
        for (int shift = 0; shift < 32; shift += 8)
            value.append(char((entryId >> shift) & 0xFF));
    };
    value = QByteArray("\x02\0\0\0", 4);
    put(AclEntry::UserObj, 7, 0xFFFFFFFF);
    if (tag == AclEntry::User)
        put(AclEntry::User, 7, id);
    put(AclEntry::GroupObj, 5, 0xFFFFFFFF);
    if (tag == AclEntry::Group)
        put(AclEntry::Group, 7, id);
    put(AclEntry::Mask, mask, 0xFFFFFFFF);
    put(AclEntry::Other, 5, 0xFFFFFFFF);
    return ::setxattr(QFile::encodeName(path).constData(), "system.posix_acl_access",
                      value.constData(), size_t(value.size()), 0) == 0;
}

using SetUp = std::function<QString(const Place &)>;

} // namespace

Q_DECLARE_METATYPE(SetUp)

class TestTrustedPath : public QObject
{
    Q_OBJECT
private slots:
    void rule_data();
    void rule();
    void ownPrivateGroupOfThisMachine();
    void garbledAcl_data();
    void garbledAcl();
};

void TestTrustedPath::rule_data()
{
    QTest::addColumn<SetUp>("setUp");
    QTest::addColumn<Outcome>("asStick");
    QTest::addColumn<Outcome>("asStore");
    QTest::addColumn<QString>("why"); // what the refusal says, as a pattern
    const Outcome ok = Outcome::Reached, refused = Outcome::Refused, missing = Outcome::Missing;
    const auto inFolder = [](mode_t mode, uint group) {
        return [=](const Place &p) { return p.make("f", mode, kUser, group) + "/file"; };
    };
    QTest::newRow("the user's folder") << SetUp(inFolder(0700, kUser)) << ok << ok << "";
    QTest::newRow("0775 with the user's private group")
        << SetUp(inFolder(0775, kUser)) << ok << ok << "";
    QTest::newRow("0775, another account's primary group")
        << SetUp(inFolder(0775, kSiblingGroup)) << refused << refused
        << "which other users may write";
    QTest::newRow("0775, a group listing another account")
        << SetUp(inFolder(0775, kCrewGroup)) << refused << refused << "which other users may write";
    QTest::newRow("0775, a group listing only the user")
        << SetUp(inFolder(0775, kSoloGroup)) << ok << ok << "";
    QTest::newRow("0777") << SetUp(inFolder(0777, kUser)) << refused << refused
                          << "is in .*/f, which other users may write";
    QTest::newRow("the user's folder in a sticky shared one") << SetUp([](const Place &p) {
        p.make("tmp", 01777, 0, 0);
        return p.make("tmp/mine", 0700) + "/file";
    }) << ok << ok << "";
    QTest::newRow("a file straight in a sticky shared folder") << SetUp([](const Place &p) {
        p.make("tmp", 01777, 0, 0);
        return p.file("tmp/file");
    }) << ok << refused << "which is not the user's own";
    QTest::newRow("another user's folder in a sticky shared one") << SetUp([](const Place &p) {
        p.make("tmp", 01777, 0, 0);
        return p.make("tmp/theirs", 0755, kOther, kOther) + "/file";
    }) << refused << refused << "belongs to user 4241, in .*/tmp, which other users may write";
    QTest::newRow("another user's folder on the way") << SetUp([](const Place &p) {
        p.make("theirs", 0755, kOther, kOther);
        return p.make("theirs/mine", 0700) + "/file";
    }) << refused << refused << "is in .*/theirs, which belongs to user 4241";
    QTest::newRow("root's folder holding the entry, as /dev/pts")
        << SetUp([](const Place &p) { return p.make("dev", 0755, 0, 0) + "/file"; }) << ok
        << refused << "which is not the user's own";
    QTest::newRow("a link of the user's")
        << SetUp([](const Place &p) { return p.link("to", p.make("f", 0700)) + "/file"; }) << ok
        << ok << "";
    QTest::newRow("a link of another user")
        << SetUp([](const Place &p) { return p.link("to", p.make("f", 0700), kOther) + "/file"; })
        << refused << refused << "/to is a link of user 4241";
    QTest::newRow("an ACL lets another user write") << SetUp([](const Place &p) {
        const QString f = p.make("f", 0770);
        return setAcl(f, AclEntry::User, kOther, 7) ? f + "/file" : QString();
    }) << refused << refused << "which other users may write";
    QTest::newRow("an ACL's write masked out") << SetUp([](const Place &p) {
        const QString f = p.make("f", 0750);
        return setAcl(f, AclEntry::User, kOther, 5) ? f + "/file" : QString();
    }) << ok << ok << "";
    QTest::newRow("an ACL for a group others are in") << SetUp([](const Place &p) {
        const QString f = p.make("f", 0770);
        return setAcl(f, AclEntry::Group, kCrewGroup, 7) ? f + "/file" : QString();
    }) << refused << refused << "which other users may write";
    QTest::newRow("an ACL for the user's private group") << SetUp([](const Place &p) {
        const QString f = p.make("f", 0770);
        return setAcl(f, AclEntry::Group, kUser, 7) ? f + "/file" : QString();
    }) << ok << ok << "";
    QTest::newRow("the last name missing")
        << SetUp([](const Place &p) { return p.make("f", 0700) + "/none"; }) << missing << missing
        << "its target is gone";
    QTest::newRow("a folder missing") << SetUp([](const Place &p) { return p.home + "/none/file"; })
                                      << missing << missing << "its target is gone";
}

void TestTrustedPath::rule()
{
    QFETCH(SetUp, setUp);
    QFETCH(Outcome, asStick);
    QFETCH(Outcome, asStore);
    QFETCH(QString, why);
    if (::geteuid() != 0)
        QSKIP("handing folders to other accounts needs root");
    QTemporaryDir base;
    const Place place{base.path() + "/home"};
    QVERIFY(QDir().mkpath(place.home));
    QCOMPARE(::chown(QFile::encodeName(place.home).constData(), kUser, kUser), 0);
    QString path = setUp(place);
    if (path.isEmpty() && errno == ENOTSUP)
        QSKIP("this file system keeps no ACLs");
    QVERIFY(!path.isEmpty());
    if (!QFileInfo(path).isSymLink() && !path.endsWith("/none") && !path.contains("/none/"))
        QFile(path).open(QIODevice::WriteOnly);
    ::chown(QFile::encodeName(path).constData(), kUser, kUser);

    const TrustPolicy policy(kUser, madeUpAccounts());
    const PathVerdict stick = policy.follow(path, Holder::UserOrRoot);
    const PathVerdict store = policy.follow(path, Holder::UsersOwn);
    QCOMPARE(stick.outcome, asStick);
    QCOMPARE(store.outcome, asStore);
    const PathVerdict &refusal = asStick != Outcome::Reached ? stick : store;
    if (!why.isEmpty())
        QVERIFY2(QRegularExpression(why).match(refusal.why).hasMatch(), qPrintable(refusal.why));
    if (asStick == Outcome::Reached)
        QCOMPARE(stick.path, QFileInfo(path).canonicalFilePath());
    QCOMPARE(store.onlyLastMissing, path.endsWith("/none"));
}

// The probe that once split the two walks: a 0775 folder of the user whose
// group is the user's own primary group, with this machine's accounts.
void TestTrustedPath::ownPrivateGroupOfThisMachine()
{
    const TrustPolicy policy;
    QTemporaryDir base;
    const QString folder = base.path() + "/f";
    QVERIFY(QDir().mkdir(folder));
    const QByteArray name = QFile::encodeName(folder);
    QCOMPARE(::chown(name.constData(), uid_t(-1), ::getegid()), 0);
    QCOMPARE(::chmod(name.constData(), 0775), 0);
    if (!AccountBook::system().onlyUserIn(::getegid(), policy.user()))
        QSKIP("the user's primary group here is shared");
    QVERIFY(policy.follow(folder + "/file", Holder::UserOrRoot).onlyLastMissing);
    QVERIFY(policy.follow(folder + "/file", Holder::UsersOwn).onlyLastMissing);
    QVERIFY(policy.ownFolder(folder));
}

void TestTrustedPath::garbledAcl_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("entries"); // -1: not an ACL
    QTest::newRow("empty") << QByteArray() << -1;
    QTest::newRow("version 1") << QByteArray("\x01\0\0\0", 4) << -1;
    QTest::newRow("an entry cut short") << QByteArray("\x02\0\0\0\x01\0\x07\0", 8) << -1;
    QTest::newRow("the header alone") << QByteArray("\x02\0\0\0", 4) << 0;
    QTest::newRow("one entry") << QByteArray("\x02\0\0\0\x02\0\x07\0\x91\x10\0\0", 12) << 1;
}

void TestTrustedPath::garbledAcl()
{
    QFETCH(QByteArray, value);
    QFETCH(int, entries);
    const std::optional<QList<AclEntry>> parsed = parsePosixAcl(value);
    QCOMPARE(parsed ? int(parsed->size()) : -1, entries);
    if (entries == 1)
        QCOMPARE(parsed->constFirst().id, kOther);
}

QTEST_GUILESS_MAIN(TestTrustedPath)
#include "tst_trustedpath.moc"
