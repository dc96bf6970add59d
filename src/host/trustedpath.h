// Whether a path leads where nobody but the user (and root) can redirect it:
// the one rule for who may write a folder, shared by the sticks (a virtual
// stick's link, a named port) and the settings store (the file a save
// replaces). Linux only.
//
// The rule. A folder is the user's own when it belongs to the user and no
// other account can write it:
//  - nobody at all by the mode's bits for others;
//  - by the group's bits only when the group is one that nobody but the user
//    can be in: no account but the user's has it as primary group and it
//    lists no other member (a user's private group under umask 002);
//  - by no POSIX ACL entry: one that lets another user, or a group others
//    can be in, write (as far as the ACL's mask lets it) makes the folder
//    someone else's.
// On the way to a file, a folder may also be root's; one others may write is
// passed only when it is sticky (like /tmp) and the entry in it is the
// user's (or root's): nobody else may rename or remove it there. Every link
// on the way must be the user's or root's. Root counts as the user
// throughout: it can change anything anyway.
#pragma once

#include "account.h"

#include <QString>

#include <optional>
#include <sys/stat.h>

namespace pulvane::host {

// What a walk or a look at a folder found.
struct PathVerdict
{
    enum class Outcome
    {
        Reached,
        Missing, // a name on the way does not exist (or is no folder)
        Refused  // someone else could redirect the path; why says how
    };
    Outcome outcome = Outcome::Refused;
    // Missing: the errno of the failed look-up, and whether only the last
    // name is missing (every folder is there).
    int error = 0;
    bool onlyLastMissing = false;
    QString why;
    // Reached: the path with every link resolved, and its lstat.
    QString path;
    struct stat facts
    {
    };

    explicit operator bool() const { return outcome == Outcome::Reached; }
};

// Who the folder that directly holds the path's last name may belong to.
enum class Holder
{
    UserOrRoot, // root's too, as /dev/pts is: a device is reached, not made
    UsersOwn    // the user's own: a save makes files there (the file, its lock)
};

class TrustPolicy
{
public:
    // The user (userId()) and this machine's accounts, read when the group
    // rule first needs them.
    TrustPolicy();
    // A made-up user and accounts, for tests.
    TrustPolicy(uint user, AccountBook accounts);

    uint user() const { return m_user; }
    // Whether an account other than the user and root may write the folder
    // (or file) at path, whose lstat is st (mode bits, group, ACL).
    bool othersMayWrite(const QByteArray &path, const struct stat &st) const;
    // The folder at path is the user's own: the user's, no link, and no other
    // account may write it.
    PathVerdict ownFolder(const QString &path) const;
    // Follows path one name at a time, each link by hand, judging every
    // folder and link on the way by the rule above; the folder holding the
    // last name as holder says.
    PathVerdict follow(const QString &path, Holder holder) const;

private:
    bool isUsOrRoot(uint uid) const { return uid == m_user || uid == 0; }
    bool groupOnlyUsers(uint gid) const;
    std::optional<PathVerdict> judgeEntry(const QString &entry, const QString &folder,
                                          const struct stat &folderStat,
                                          const struct stat &entryStat, bool last,
                                          Holder holder) const;

    uint m_user;
    mutable std::optional<AccountBook> m_accounts;
};

} // namespace pulvane::host
