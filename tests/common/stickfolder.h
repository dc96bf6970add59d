// A private runtime folder (PrivateRuntime) with an empty virtual-stick
// folder in it, made afresh for each test that links sticks there.
#pragma once

#include "sticklist.h"
#include "testenv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace pulvane::test {

class StickFolder : public PrivateRuntime
{
public:
    StickFolder()
        : m_sticks(path() + QStringLiteral("/pulvane/sticks")),
          m_made(PrivateRuntime::isValid() && QDir().mkpath(m_sticks))
    {
    }

    bool isValid() const { return m_made; }
    QString sticks() const { return m_sticks; }

    // A link named name in the stick folder, to target; empty when it could
    // not be made.
    QString link(const QString &name, const QString &target) const
    {
        const QString path = m_sticks + QLatin1Char('/') + name;
        return QFile::link(target, path) ? path : QString();
    }

    // Index of a virtual entry in the full list (real sticks come first), -1
    // when it is not listed.
    static int indexOf(const QString &name)
    {
        const QList<stick::StickLocation> sticks = stick::findSticks();
        for (int i = 0; i < sticks.size(); ++i)
            if (sticks[i].kind == stick::StickLocation::Kind::Virtual &&
                QFileInfo(sticks[i].path).fileName() == name)
                return i;
        return -1;
    }

private:
    QString m_sticks;
    bool m_made;
};

} // namespace pulvane::test
