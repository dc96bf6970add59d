#include "trustedpath.h"

#include "posixacl.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <unistd.h>

namespace pulvane::host {

namespace {

// As many links as the kernel follows in one path.
constexpr int kMaxLinks = 40;

PathVerdict refused(const QString &why)
{
    PathVerdict verdict;
    verdict.why = why;
    return verdict;
}

bool isLastName(const QStringList &pending)
{
    for (const QString &name : pending) {
        if (!name.isEmpty() && name != QLatin1String("."))
            return false;
    }
    return true;
}

QString join(const QString &folder, const QString &name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

} // namespace

TrustPolicy::TrustPolicy() : m_user(userId()) {}

TrustPolicy::TrustPolicy(uint user, AccountBook accounts)
    : m_user(user), m_accounts(std::move(accounts))
{}

bool TrustPolicy::groupOnlyUsers(uint gid) const
{
    if (!m_accounts)
        m_accounts = AccountBook::system();
    return m_accounts->onlyUserIn(gid, m_user);
}

bool TrustPolicy::othersMayWrite(const QByteArray &path, const struct stat &st) const
{
    if ((st.st_mode & S_IWOTH) != 0)
        return true;
    QList<AclEntry> acl;
    switch (readPosixAcl(path, &acl)) {
    case AclRead::None:
        return (st.st_mode & S_IWGRP) != 0 && !groupOnlyUsers(st.st_gid);
    case AclRead::Unreadable:
        return true;
    case AclRead::Entries:
        break;
    }
    // Named entries and the owning group write only as far as the mask lets
    // them; the mask itself is the owner's to set.
    quint16 mask = AclEntry::kWrite;
    for (const AclEntry &entry : acl) {
        if (entry.tag == AclEntry::Mask)
            mask = entry.perm;
    }
    for (const AclEntry &entry : acl) {
        const bool writes = (entry.perm & mask & AclEntry::kWrite) != 0;
        if (!writes)
            continue;
        if ((entry.tag == AclEntry::User && !isUsOrRoot(entry.id)) ||
            (entry.tag == AclEntry::GroupObj && !groupOnlyUsers(st.st_gid)) ||
            (entry.tag == AclEntry::Group && !groupOnlyUsers(entry.id)) ||
            (entry.tag == AclEntry::Other && (entry.perm & AclEntry::kWrite) != 0))
            return true;
    }
    return false;
}

PathVerdict TrustPolicy::ownFolder(const QString &path) const
{
    PathVerdict verdict;
    const QByteArray name = QFile::encodeName(path);
    struct stat st
    {
    };
    if (::lstat(name.constData(), &st) != 0) {
        verdict.outcome = PathVerdict::Outcome::Missing;
        verdict.error = errno;
        verdict.why = QStringLiteral("%1 is missing").arg(path);
    } else if (!S_ISDIR(st.st_mode)) {
        verdict.why = QStringLiteral("%1 is no directory (a link?)").arg(path);
    } else if (st.st_uid != m_user) {
        verdict.why = QStringLiteral("%1 belongs to user %2").arg(path).arg(st.st_uid);
    } else if (othersMayWrite(name, st)) {
        verdict.why = QStringLiteral("%1 may be written by other users").arg(path);
    } else {
        verdict.outcome = PathVerdict::Outcome::Reached;
        verdict.path = path;
        verdict.facts = st;
    }
    return verdict;
}

// Whether entry, found in folder, can be swapped by nobody but the user and
// root; the refusal when not.
std::optional<PathVerdict> TrustPolicy::judgeEntry(const QString &entry, const QString &folder,
                                                   const struct stat &folderStat,
                                                   const struct stat &entryStat, bool last,
                                                   Holder holder) const
{
    if (!isUsOrRoot(folderStat.st_uid))
        return refused(QStringLiteral("%1 is in %2, which belongs to user %3")
                           .arg(entry, folder)
                           .arg(folderStat.st_uid));
    const bool othersWrite = othersMayWrite(QFile::encodeName(folder), folderStat);
    if (last && holder == Holder::UsersOwn && (folderStat.st_uid != m_user || othersWrite))
        return refused(
            QStringLiteral("%1 is in %2, which is not the user's own").arg(entry, folder));
    if (!othersWrite)
        return std::nullopt;
    if ((folderStat.st_mode & S_ISVTX) == 0)
        return refused(
            QStringLiteral("%1 is in %2, which other users may write").arg(entry, folder));
    if (!isUsOrRoot(entryStat.st_uid))
        return refused(QStringLiteral("%1 belongs to user %2, in %3, which other users may write")
                           .arg(entry)
                           .arg(entryStat.st_uid)
                           .arg(folder));
    return std::nullopt;
}

PathVerdict TrustPolicy::follow(const QString &path, Holder holder) const
{
    QStringList pending =
        QDir::cleanPath(QDir::current().absoluteFilePath(path)).split(QLatin1Char('/'));
    QString current = QStringLiteral("/");
    struct stat currentStat
    {
    };
    if (::lstat("/", &currentStat) != 0)
        return refused(QStringLiteral("/ is gone"));
    int links = 0;
    while (!pending.isEmpty()) {
        const QString part = pending.takeFirst();
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            // current holds no link, so its parent is the folder above.
            current = QFileInfo(current).path();
            if (::lstat(QFile::encodeName(current).constData(), &currentStat) != 0)
                return refused(QStringLiteral("%1 is gone").arg(current));
            continue;
        }
        const bool last = isLastName(pending);
        const QString next = join(current, part);
        const QByteArray nextName = QFile::encodeName(next);
        struct stat st
        {
        };
        if (::lstat(nextName.constData(), &st) != 0) {
            PathVerdict missing;
            missing.outcome = PathVerdict::Outcome::Missing;
            missing.error = errno;
            missing.onlyLastMissing = last && errno == ENOENT;
            missing.why = QStringLiteral("its target is gone");
            return missing;
        }
        if (std::optional<PathVerdict> refusal =
                judgeEntry(next, current, currentStat, st, last, holder))
            return *refusal;
        if (S_ISLNK(st.st_mode)) {
            if (!isUsOrRoot(st.st_uid))
                return refused(QStringLiteral("%1 is a link of user %2").arg(next).arg(st.st_uid));
            QByteArray text(4096, '\0');
            const ssize_t n = ::readlink(nextName.constData(), text.data(), size_t(text.size()));
            if (n <= 0 || n >= text.size() || ++links > kMaxLinks)
                return refused(QStringLiteral("%1 leads nowhere").arg(next));
            const QString to = QFile::decodeName(text.left(n));
            if (to.startsWith(QLatin1Char('/'))) {
                current = QStringLiteral("/");
                ::lstat("/", &currentStat);
            }
            pending = to.split(QLatin1Char('/')) + pending;
            continue;
        }
        if (!pending.isEmpty() && !S_ISDIR(st.st_mode)) {
            PathVerdict missing;
            missing.outcome = PathVerdict::Outcome::Missing;
            missing.error = ENOTDIR;
            missing.why = QStringLiteral("its target is gone");
            return missing;
        }
        current = next;
        currentStat = st;
    }
    PathVerdict reached;
    reached.outcome = PathVerdict::Outcome::Reached;
    reached.path = current;
    reached.facts = currentStat;
    return reached;
}

} // namespace pulvane::host
