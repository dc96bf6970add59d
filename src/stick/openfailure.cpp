#include "openfailure.h"

namespace pulvane::stick {

QString goneReason(const QString &what)
{
    return QStringLiteral("%1 is gone").arg(what);
}

QString unpluggedReason(Link link)
{
    QString text = QStringLiteral("the stick was unplugged");
    if (link == Link::SerialLine)
        text += QStringLiteral(" or its line was closed");
    return text;
}

QString permissionReason(const QString &what, PermissionHint hint, const UdevRule &rule)
{
    QString text = QStringLiteral("permission denied on %1; ").arg(what);
    switch (rule.where) {
    case UdevRule::Where::Source:
        text += QStringLiteral("install packaging/60-pulvane-ant.rules into /etc/udev/rules.d and "
                               "plug the stick in again");
        break;
    case UdevRule::Where::Read:
        text += QStringLiteral("the udev rule %1 gives the stick to the user logged in at the "
                               "seat: plug the stick in again while logged in there")
                    .arg(rule.path);
        break;
    case UdevRule::Where::Unread:
        text += QStringLiteral("copy %1 into /etc/udev/rules.d and plug the stick in again")
                    .arg(rule.path);
        break;
    }
    if (hint == PermissionHint::UdevRuleOrDialout)
        text += QStringLiteral(", or join the dialout group");
    return text;
}

QString busyReason(const QString &what, const QString &node)
{
    return busyHeldByReason(what, node.isEmpty() ? QString() : programsHolding(node));
}

QString busyHeldByReason(const QString &what, const QString &holders)
{
    return QStringLiteral("%1 is busy: %2")
        .arg(what, holders.isEmpty() ? QStringLiteral("another program holds it")
                                     : QStringLiteral("held by %1").arg(holders));
}

QString otherReason(const QString &what, const QString &detail)
{
    return QStringLiteral("%1: %2").arg(what, detail);
}

} // namespace pulvane::stick
