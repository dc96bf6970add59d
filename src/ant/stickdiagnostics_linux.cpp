#include "stickdiagnostics.h"

#include <QDebug>

namespace pulvane::ant {

void reportStickTrouble(const QString &line)
{
    qWarning().noquote() << line;
}

QString stickDiagnosticsFile()
{
    return {};
}

} // namespace pulvane::ant
