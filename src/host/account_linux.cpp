#include "account.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace pulvane::host {

uint userId()
{
    return ::geteuid();
}

AccountBook::AccountBook(QList<Account> accounts, QList<Group> groups)
    : m_accounts(std::move(accounts)), m_groups(std::move(groups))
{}

AccountBook AccountBook::system()
{
    QList<Account> accounts;
    QList<Group> groups;
    ::setpwent();
    while (const passwd *entry = ::getpwent())
        accounts << Account{QByteArray(entry->pw_name), uint(entry->pw_uid), uint(entry->pw_gid)};
    ::endpwent();
    ::setgrent();
    while (const group *entry = ::getgrent()) {
        Group g{uint(entry->gr_gid), {}};
        for (char **member = entry->gr_mem; member && *member; ++member)
            g.members << QByteArray(*member);
        groups << g;
    }
    ::endgrent();
    return AccountBook(std::move(accounts), std::move(groups));
}

bool AccountBook::onlyUserIn(uint gid, uint user) const
{
    const auto isUs = [user](uint uid) { return uid == user || uid == 0; };
    for (const Account &account : m_accounts) {
        if (account.gid == gid && !isUs(account.uid))
            return false;
    }
    for (const Group &group : m_groups) {
        if (group.gid != gid)
            continue;
        for (const QByteArray &member : group.members) {
            // A name no account has may still be one (a directory we cannot
            // list): it counts as someone else.
            bool ours = false;
            for (const Account &account : m_accounts)
                ours = ours || (account.name == member && isUs(account.uid));
            if (!ours)
                return false;
        }
    }
    return true;
}

} // namespace pulvane::host
