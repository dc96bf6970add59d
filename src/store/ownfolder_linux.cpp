#include "ownfolder.h"

#include "trustedpath.h"

#include <cerrno>

namespace pulvane::store {

OwnFolderVerdict leadsIntoOwnFolder(const QString &path, MissingFolders missing)
{
    using Outcome = host::PathVerdict::Outcome;
    const host::PathVerdict walk = host::TrustPolicy().follow(path, host::Holder::UsersOwn);
    switch (walk.outcome) {
    case Outcome::Reached:
        // A path that ends in a folder ("..", or a link to one) is no file
        // to save.
        if (S_ISDIR(walk.facts.st_mode))
            return {false, QStringLiteral("%1 is a folder").arg(walk.path)};
        return {true, {}};
    case Outcome::Missing:
        if (walk.error == ENOENT && (walk.onlyLastMissing || missing == MissingFolders::Allowed))
            return {true, {}};
        return {false, QStringLiteral("a folder on the way to %1 is missing").arg(path)};
    case Outcome::Refused:
        break;
    }
    return {false, walk.why};
}

} // namespace pulvane::store
