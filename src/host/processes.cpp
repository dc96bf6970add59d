// The questions a START asks of its snapshot; the reading is the platform's
// (processes_linux.cpp, processes_win.cpp).
#include "processes.h"

#include <QStringList>

namespace pulvane::host {

const ProcessInfo *ProcessSnapshot::process(qint64 pid) const
{
    for (const ProcessInfo &p : processes) {
        if (p.pid == pid)
            return &p;
    }
    return nullptr;
}

bool ProcessSnapshot::isSessionTerminal(quint64 device) const
{
    for (const ProcessInfo &p : processes) {
        if (p.terminal != 0 && p.terminal == device)
            return true;
    }
    return false;
}

QString ProcessSnapshot::terminalUser(quint64 device) const
{
    for (const ProcessInfo &p : processes) {
        if (p.pid != self && p.standardDevices.contains(device))
            return describeProcess(p);
    }
    return {};
}

QString ProcessSnapshot::holders(quint64 device) const
{
    QStringList names;
    for (const ProcessInfo &p : processes) {
        if (p.pid != self && p.devices.contains(device))
            names << describeProcess(p);
    }
    return names.join(QStringLiteral(", "));
}

bool ProcessSnapshot::holds(qint64 pid, quint64 device) const
{
    if (const ProcessInfo *p = process(pid))
        return p->devices.contains(device);
    return devicesOpenedBy(pid).contains(device);
}

qint64 ProcessSnapshot::lockHolder(quint64 fileSystem, quint64 inode) const
{
    for (const FileLock &lock : locks) {
        if (lock.fileSystem == fileSystem && lock.inode == inode)
            return lock.pid;
    }
    return 0;
}

bool ProcessSnapshot::isConsole(quint64 device) const
{
    return consoles.contains(device);
}

QString describeProcess(const ProcessInfo &process)
{
    return QStringLiteral("%1 (%2)").arg(process.name).arg(process.pid);
}

} // namespace pulvane::host
