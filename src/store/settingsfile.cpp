#include "settingsfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QSettings>
#include <QTemporaryFile>

namespace pulvane::store {

namespace detail {

namespace {

// QSettings writes a key or section name with %XX (Latin-1) and %UXXXX escapes
// and '/' as '\'; reading undoes both.
QString decodedName(QStringView name)
{
    QString out;
    out.reserve(name.size());
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if (c == u'\\') {
            out += u'/';
            continue;
        }
        if (c == u'%') {
            bool ok = false;
            if (i + 5 < name.size() && name.at(i + 1) == u'U') {
                const uint code = name.mid(i + 2, 4).toUInt(&ok, 16);
                if (ok) {
                    out += QChar(char16_t(code));
                    i += 5;
                    continue;
                }
            }
            if (i + 2 < name.size()) {
                const uint code = name.mid(i + 1, 2).toUInt(&ok, 16);
                if (ok) {
                    out += QChar(char16_t(code));
                    i += 2;
                    continue;
                }
            }
        }
        out += c;
    }
    return out;
}

} // namespace

std::optional<QMap<QString, QString>> rawEntries(const QByteArray &ini)
{
    QString text = QString::fromUtf8(ini);
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    QMap<QString, QString> entries;
    QString prefix;
    for (QStringView line : QStringView(text).split(u'\n')) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(u';'))
            continue;
        if (line.startsWith(u'[')) {
            if (!line.endsWith(u']'))
                return std::nullopt;
            const QString section = decodedName(line.mid(1, line.size() - 2).trimmed());
            prefix = section.isEmpty() || section.compare(u"General", Qt::CaseInsensitive) == 0
                         ? QString()
                         : section + u'/';
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (equals <= 0)
            return std::nullopt;
        const QString key = prefix + decodedName(line.left(equals).trimmed());
        const QString value = line.mid(equals + 1).trimmed().toString();
        const auto known = entries.constFind(key);
        if (known != entries.cend() && *known != value)
            return std::nullopt;
        entries.insert(key, value);
    }
    return entries;
}

} // namespace detail

namespace {

std::optional<QByteArray> readWhole(const QString &path)
{
    QFile file(path);
    if (!file.exists())
        return QByteArray();
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.readAll();
    if (file.error() != QFile::NoError)
        return std::nullopt;
    return bytes;
}

// Qt's own writer applied to `original`: the file as QSettings would leave it
// after setting the values, or nullopt when Qt reports the text unparsable or
// the write failed. Works on a private copy beside the real file, so nothing
// QSettings does on the way reaches the real one.
std::optional<QByteArray> rewrittenByQt(const QString &dir, const QByteArray &original,
                                        const QList<SettingsValue> &values)
{
    QTemporaryFile copy(dir + QStringLiteral("/.pulvane-settings-XXXXXX"));
    if (!copy.open() || copy.write(original) != original.size() || !copy.flush())
        return std::nullopt;
    copy.close();
    {
        QSettings ini(copy.fileName(), QSettings::IniFormat);
        // The constructor has read the copy: only now does status() say whether
        // Qt understood all of it.
        if (ini.status() != QSettings::NoError)
            return std::nullopt;
        for (const SettingsValue &value : values)
            ini.setValue(value.key, value.text);
        ini.sync();
        if (ini.status() != QSettings::NoError)
            return std::nullopt;
    }
    return readWhole(copy.fileName());
}

// Qt's rewrite keeps every entry of the original, value text and all, adds
// ours and nothing else. Comments and the layout may differ; a value Qt reads
// differently from how it was written (an unquoted ';' cuts it, a comma makes a
// list) does not survive this and the file is left alone.
bool keepsEverythingElse(const QByteArray &original, const QByteArray &rewritten,
                         const QList<SettingsValue> &values)
{
    std::optional<QMap<QString, QString>> before = detail::rawEntries(original);
    std::optional<QMap<QString, QString>> after = detail::rawEntries(rewritten);
    if (!before || !after)
        return false;
    for (const SettingsValue &value : values) {
        if (after->take(value.key) != value.text)
            return false;
        before->remove(value.key);
    }
    return *before == *after;
}

} // namespace

bool setValuesInFile(const QString &path, const QList<SettingsValue> &values,
                     std::chrono::milliseconds lockWait)
{
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir))
        return false;
    // The lock QSettings takes to write this file, so a companion application
    // saving through Qt at the same moment is not overwritten. Held by someone
    // who does not let go (or not a lock file at all), it costs at most lockWait.
    QLockFile lock(path + QStringLiteral(".lock"));
    if (!lock.tryLock(lockWait))
        return false;

    const std::optional<QByteArray> original = readWhole(path);
    if (!original)
        return false;
    const std::optional<QByteArray> rewritten = rewrittenByQt(dir, *original, values);
    if (!rewritten || !keepsEverythingElse(*original, *rewritten, values))
        return false;

    // One replacement for all values: a crash leaves either the old file or the
    // new one, never one value new and another old.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(*rewritten) != rewritten->size())
        return false;
    return file.commit();
}

} // namespace pulvane::store
