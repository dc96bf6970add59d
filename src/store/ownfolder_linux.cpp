#include "ownfolder.h"

#include <QByteArrayList>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pulvane::store {

namespace {

// As many links as the kernel follows in one path.
constexpr int kMaxLinks = 40;

// Runs a getpwuid_r-style lookup with a buffer grown until the entry fits.
template <typename Entry, typename Lookup>
bool lookUp(Entry *entry, std::vector<char> &buffer, Lookup lookup)
{
    Entry *found = nullptr;
    for (buffer.resize(16384); buffer.size() <= (1u << 24); buffer.resize(2 * buffer.size())) {
        if (lookup(entry, buffer.data(), buffer.size(), &found) != ERANGE)
            return found != nullptr;
    }
    return false;
}

// With umask 002 the folders a user makes are group-writable, for a group of
// their own: their primary group, named after them, listing no one else. Any
// other group may hold other users.
bool isPrivateGroup(gid_t gid)
{
    passwd user{};
    group members{};
    std::vector<char> userBuffer;
    std::vector<char> groupBuffer;
    if (!lookUp(&user, userBuffer,
                [](passwd *e, char *b, size_t n, passwd **r) {
                    return getpwuid_r(::geteuid(), e, b, n, r);
                }) ||
        user.pw_gid != gid ||
        !lookUp(&members, groupBuffer,
                [gid](group *e, char *b, size_t n, group **r) {
                    return getgrgid_r(gid, e, b, n, r);
                }) ||
        qstrcmp(members.gr_name, user.pw_name) != 0)
        return false;
    for (char **member = members.gr_mem; *member; ++member) {
        if (qstrcmp(*member, user.pw_name) != 0)
            return false;
    }
    return true;
}

bool othersMayWrite(const struct stat &st)
{
    return (st.st_mode & S_IWOTH) != 0 ||
           ((st.st_mode & S_IWGRP) != 0 && !isPrivateGroup(st.st_gid));
}

bool isUsersOrRoots(const struct stat &st)
{
    return st.st_uid == ::geteuid() || st.st_uid == 0;
}

// A folder on the way: its entries stay as they are unless the user or root
// changes them.
bool isSafeOnTheWay(const struct stat &st)
{
    return S_ISDIR(st.st_mode) && isUsersOrRoots(st) &&
           (!othersMayWrite(st) || (st.st_mode & S_ISVTX) != 0);
}

bool isOwnFolder(const QByteArray &folder)
{
    struct stat st
    {
    };
    return ::lstat(folder.isEmpty() ? "/" : folder.constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == ::geteuid() && !othersMayWrite(st);
}

bool isLastName(const QByteArrayList &pending)
{
    for (const QByteArray &name : pending) {
        if (!name.isEmpty() && name != ".")
            return false;
    }
    return true;
}

} // namespace

bool leadsIntoOwnFolder(const QString &path, MissingFolders missing)
{
    QByteArrayList pending = QFile::encodeName(QFileInfo(path).absoluteFilePath()).split('/');
    QByteArray at; // the folder reached, links resolved; empty for "/"
    int links = 0;
    struct stat st
    {
    };
    if (::lstat("/", &st) != 0 || !isSafeOnTheWay(st))
        return false;
    while (!pending.isEmpty()) {
        const QByteArray name = pending.takeFirst();
        if (name.isEmpty() || name == ".")
            continue;
        const bool last = isLastName(pending);
        if (name == "..") {
            // Every folder above the one reached was looked at on the way down.
            if (last)
                return false;
            at.truncate(qMax(0, at.lastIndexOf('/')));
            continue;
        }
        if (last && !isOwnFolder(at))
            return false;
        const QByteArray next = at + '/' + name;
        if (::lstat(next.constData(), &st) != 0)
            return errno == ENOENT && (last || missing == MissingFolders::Allowed);
        if (S_ISLNK(st.st_mode)) {
            std::vector<char> buffer(PATH_MAX);
            const ssize_t size = ::readlink(next.constData(), buffer.data(), buffer.size());
            if (!isUsersOrRoots(st) || ++links > kMaxLinks || size <= 0 ||
                size_t(size) >= buffer.size())
                return false;
            const QByteArray to(buffer.data(), size);
            if (to.startsWith('/'))
                at.clear();
            pending = to.split('/') + pending;
            continue;
        }
        if (last)
            return true;
        if (!isSafeOnTheWay(st))
            return false;
        at = next;
    }
    return false;
}

} // namespace pulvane::store
