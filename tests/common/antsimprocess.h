// antsim as a child process, as tests and benchmarks run it: started in this
// process's runtime folder (a PrivateRuntime, so that its link is the only
// virtual stick there), its "ready <link path>" line awaited, its
// "word key=value ..." lines read back, and ended with SIGTERM. What it says
// on standard error goes to ours.
#pragma once

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

namespace pulvane::test {

// antsim's lines after its ready line.
struct SimOutput
{
    QStringList lines;

    QStringList withWord(const QString &word) const
    {
        return lines.filter(QRegularExpression(QStringLiteral("^%1( |$)").arg(word)));
    }
    // The text after "key=" in the first line starting with word, or an
    // empty string.
    QString field(const QString &word, const QString &key) const
    {
        const QStringList found = withWord(word);
        if (found.isEmpty())
            return {};
        for (const QString &part : found.first().split(u' '))
            if (part.startsWith(key + u'='))
                return part.mid(key.size() + 1);
        return {};
    }
    // The same as a number, or -1.
    double value(const QString &word, const QString &key) const
    {
        const QString text = field(word, key);
        return text.isEmpty() ? -1 : text.toDouble();
    }
};

class AntSimProcess
{
public:
    explicit AntSimProcess(QString program) : m_program(std::move(program))
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }
    ~AntSimProcess() { stop(); }

    // Starts antsim and waits up to 10 s for its ready line. Returns the path
    // of the link it made, or an empty string when it did not get ready.
    QString start(const QStringList &arguments)
    {
        m_output.clear();
        m_process.start(m_program, arguments);
        if (!m_process.waitForStarted())
            return {};
        QDeadlineTimer deadline(10000);
        while (!m_process.canReadLine() && !deadline.hasExpired() &&
               m_process.state() == QProcess::Running)
            m_process.waitForReadyRead(int(deadline.remainingTime()));
        const QString line = QString::fromLocal8Bit(m_process.readLine()).trimmed();
        return line.startsWith(QStringLiteral("ready ")) ? line.mid(6) : QString();
    }

    QProcess &process() { return m_process; }
    qint64 pid() const { return m_process.processId(); }

    // Its lines so far.
    SimOutput output()
    {
        m_output += m_process.readAllStandardOutput();
        return {QString::fromLocal8Bit(m_output).split(u'\n')};
    }
    // True once it has printed a line starting with word.
    bool said(const QString &word) { return !output().withWord(word).isEmpty(); }

    // Ends it with SIGTERM unless it has ended already, and returns all its
    // lines.
    SimOutput stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            m_process.waitForFinished(10000);
        }
        return output();
    }

private:
    QString m_program;
    QProcess m_process;
    QByteArray m_output;
};

} // namespace pulvane::test
