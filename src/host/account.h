// Who the user is, and which accounts and groups the folder rule looks at
// (Linux).
#pragma once

#include <QByteArrayList>
#include <QList>

#include <optional>

namespace pulvane::host {

// The user whose files, folders and processes count as ours: the effective
// user ID, everywhere. It is the ID the kernel checks when we open, create
// or signal anything, and the one /proc shows as a process's owner, so a
// rule that names the user agrees with what the kernel will let us do.
uint userId();

struct Account
{
    QByteArray name;
    uint uid = 0;
    uint gid = 0; // the primary group
};

struct Group
{
    uint gid = 0;
    QByteArrayList members; // account names, as the group file lists them
};

// The accounts and groups of this machine, or a made-up set for tests.
class AccountBook
{
public:
    AccountBook() = default;
    AccountBook(QList<Account> accounts, QList<Group> groups);
    // Every account and group the system can list (getpwent, getgrent).
    // Directories that cannot be listed (some network ones) are not seen.
    static AccountBook system();

    // Whether nobody but user and root can be in the group: no account but
    // theirs has it as primary group, and it lists no other member.
    bool onlyUserIn(uint gid, uint user) const;

private:
    QList<Account> m_accounts;
    QList<Group> m_groups;
};

} // namespace pulvane::host
