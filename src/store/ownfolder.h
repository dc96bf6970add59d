// Whether a path of the user's settings leads where nobody else can redirect
// it: a file replaced by renaming a new one over it is only the user's if no
// one else can swap the folder's entries in between.
#pragma once

#include <QString>

namespace pulvane::store {

enum class MissingFolders
{
    Allowed, // before they are made: the deepest folder that exists decides
    Refused
};

// True when every folder on the way to `path` (links followed as the kernel
// follows them) belongs to the user or root and cannot be written by anyone
// else, or is a shared folder with the sticky bit (like /tmp), where nobody
// renames or removes what is not theirs; when every link on the way belongs to
// the user or root; and when the folder that directly holds the file, and the
// one holding each link's target if `path` is a link, belongs to the user and
// nobody else may write it, sticky or not: there anyone could make the files
// a save makes first (the file itself, its lock, the copies). Group write
// counts as another user's unless the group is the user's private one.
bool leadsIntoOwnFolder(const QString &path, MissingFolders missing);

} // namespace pulvane::store
