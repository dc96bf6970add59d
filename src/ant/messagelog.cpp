#include "messagelog.h"

#include <QByteArrayView>
#include <QMutexLocker>

#include <cstdio>

namespace pulvane::ant {

namespace {

MessageLog *g_installed = nullptr;

} // namespace

MessageLog::MessageLog() : m_keeper(openKeeper())
{
    g_installed = this;
    m_previous = qInstallMessageHandler(&MessageLog::handle);
}

MessageLog::~MessageLog()
{
    qInstallMessageHandler(m_previous);
    g_installed = nullptr;
}

void MessageLog::handle(QtMsgType, const QMessageLogContext &context, const QString &text)
{
    if (g_installed)
        g_installed->write(context, text);
}

void MessageLog::write(const QMessageLogContext &context, const QString &text)
{
    const QMutexLocker lock(&m_mutex);
    const QByteArray line = text.toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
    const bool ours = context.category && QByteArrayView(context.category).startsWith("pulvane.");
    keep(m_keeper.get(), ours, text);
}

} // namespace pulvane::ant
