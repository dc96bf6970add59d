// POSIX access ACLs as Linux stores them, in the extended attribute
// system.posix_acl_access of a file: read and parsed here, without libacl.
#pragma once

#include <QByteArray>
#include <QList>

#include <optional>

namespace pulvane::host {

struct AclEntry
{
    enum Tag : quint16
    {
        UserObj = 0x01,
        User = 0x02,
        GroupObj = 0x04,
        Group = 0x08,
        Mask = 0x10,
        Other = 0x20
    };
    static constexpr quint16 kWrite = 0x02;

    quint16 tag = 0;
    quint16 perm = 0;
    quint32 id = 0; // the user or group of a User or Group entry
};

// The entries of an attribute's value: a little-endian version 2 header and
// 8 bytes per entry. Nothing when the value is not such a list.
std::optional<QList<AclEntry>> parsePosixAcl(const QByteArray &value);

enum class AclRead
{
    None, // no ACL beyond the mode bits (or none the file system keeps)
    Entries,
    Unreadable // present but garbled, or the attribute could not be read
};
// The access ACL of the file at path (links not followed) into *entries.
AclRead readPosixAcl(const QByteArray &path, QList<AclEntry> *entries);

} // namespace pulvane::host
