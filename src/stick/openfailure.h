// Why a stick could not be opened, worded alike by every transport. Each text
// follows "ANT stick N not opened: " on standard error; `what` names the
// stick or its node.
#pragma once

#include <QString>

namespace pulvane::stick {

// The stick (or its node) disappeared before or while opening it.
QString goneReason(const QString &what);
struct UdevRule;
UdevRule installedUdevRule();
// Access refused, with what to do about the udev rule as Pulvane was
// installed. Nodes of serial sticks can also be reached by joining the
// dialout group, so the hint names that too.
enum class PermissionHint
{
    UdevRule,
    UdevRuleOrDialout
};
// Where the udev rule that gives the sticks to the user is: nowhere outside
// the source tree (Pulvane built from source), in a folder udev reads (the
// package, or a rule copied by hand), or installed under a prefix udev does
// not read (cmake --install to /usr/local).
struct UdevRule
{
    enum class Where
    {
        Source,
        Read,
        Unread
    } where = Where::Source;
    QString path; // the rule's file, when installed
};
QString permissionReason(const QString &what, PermissionHint hint,
                         const UdevRule &rule = installedUdevRule());
// Another program holds the stick; node is what is scanned for holders (none
// when empty).
QString busyReason(const QString &what, const QString &node);
// The same, naming holders ("name (pid), ...") or, when empty, no one.
QString busyHeldByReason(const QString &what, const QString &holders);
// Any other failure, with the platform's own text.
QString otherReason(const QString &what, const QString &detail);

// Why a stick that was open stopped answering, as every transport words it.
// A serial line cannot tell an unplugged stick from a closed line.
enum class Link
{
    Usb,
    SerialLine
};
QString unpluggedReason(Link link);

// Platform pieces (openfailure_linux.cpp, openfailure_win.cpp).
//
// "name (pid), ..." for the processes that have devicePath open, or empty.
// Only processes we may look into are seen.
QString programsHolding(const QString &devicePath);
// True when we may not open path for reading and writing.
bool accessDenied(const QString &path);
// A libusb open failure in the platform's own terms where libusb's would
// mislead (Windows: a driver libusb cannot use, a device held elsewhere); empty
// otherwise.
QString platformUsbReason(int libusbError, const QString &what);

} // namespace pulvane::stick
