#include "posixacl.h"

#include <QtEndian>

#include <cerrno>
#include <sys/xattr.h>

namespace pulvane::host {

namespace {

constexpr quint32 kAclVersion = 2;
constexpr qsizetype kHeaderSize = 4;
constexpr qsizetype kEntrySize = 8;

} // namespace

std::optional<QList<AclEntry>> parsePosixAcl(const QByteArray &value)
{
    if (value.size() < kHeaderSize || (value.size() - kHeaderSize) % kEntrySize != 0 ||
        qFromLittleEndian<quint32>(value.constData()) != kAclVersion)
        return std::nullopt;
    QList<AclEntry> entries;
    for (qsizetype at = kHeaderSize; at < value.size(); at += kEntrySize) {
        const char *entry = value.constData() + at;
        entries << AclEntry{qFromLittleEndian<quint16>(entry),
                            qFromLittleEndian<quint16>(entry + 2),
                            qFromLittleEndian<quint32>(entry + 4)};
    }
    return entries;
}

AclRead readPosixAcl(const QByteArray &path, QList<AclEntry> *entries)
{
    constexpr const char *kName = "system.posix_acl_access";
    QByteArray value(256, '\0');
    ssize_t size = ::lgetxattr(path.constData(), kName, value.data(), size_t(value.size()));
    if (size < 0 && errno == ERANGE) {
        size = ::lgetxattr(path.constData(), kName, nullptr, 0);
        if (size > 0 && size <= (1 << 20)) {
            value.resize(size);
            size = ::lgetxattr(path.constData(), kName, value.data(), size_t(value.size()));
        }
    }
    if (size < 0)
        return errno == ENODATA || errno == ENOTSUP ? AclRead::None : AclRead::Unreadable;
    value.truncate(size);
    const std::optional<QList<AclEntry>> parsed = parsePosixAcl(value);
    if (!parsed)
        return AclRead::Unreadable;
    *entries = *parsed;
    return AclRead::Entries;
}

} // namespace pulvane::host
