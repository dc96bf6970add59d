// Whether a path of the user's settings leads where nobody else can redirect
// it: a file replaced by renaming a new one over it is only the user's if no
// one else can swap the folder's entries in between. The rule is the host's
// one (trustedpath.h).
#pragma once

#include <QString>

namespace pulvane::store {

enum class MissingFolders
{
    Allowed, // before they are made: the deepest folder that exists decides
    Refused
};

struct OwnFolderVerdict
{
    bool own = false;
    QString why; // when not: which folder or link someone else could change
    explicit operator bool() const { return own; }
};

// Own when every folder and link on the way to `path` (links followed as the
// kernel follows them) passes the host's rule, and the folder that directly
// holds the file, and the one holding each link's target if `path` is a
// link, is the user's own, sticky or not: there anyone else could make the
// files a save makes first (the file itself, its lock, the copies). The file
// itself need not exist yet; missing folders as `missing` says.
OwnFolderVerdict leadsIntoOwnFolder(const QString &path, MissingFolders missing);

} // namespace pulvane::store
