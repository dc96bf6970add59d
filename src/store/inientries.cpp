#include "inientries.h"

#include <QStringDecoder>

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

// A name as Qt reads it, or nullopt when its bytes are not UTF-8: Qt would
// replace them and write the name back as another.
std::optional<QString> nameOf(QByteArrayView bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString text = utf8(bytes);
    if (utf8.hasError())
        return std::nullopt;
    return decodedName(text);
}

// Qt reads a value in double quotes that holds no quote and no backslash as
// the text between them (';', ',' and outer spaces there included) and writes
// that text back with quotes only where it needs them.
QByteArrayView valueText(QByteArrayView written)
{
    if (written.size() >= 2 && written.startsWith('"') && written.endsWith('"')) {
        const QByteArrayView inner = written.sliced(1, written.size() - 2);
        if (!inner.contains('"') && !inner.contains('\\'))
            return inner;
    }
    return written;
}

} // namespace

std::optional<QMap<QString, QByteArray>> rawEntries(const QByteArray &ini)
{
    QMap<QString, QByteArray> entries;
    QString prefix;
    for (const QByteArray &text : ini.split('\n')) {
        const QByteArrayView line = QByteArrayView(text).trimmed();
        if (line.isEmpty() || line.startsWith(';'))
            continue;
        if (line.startsWith('[')) {
            if (!line.endsWith(']'))
                return std::nullopt;
            const std::optional<QString> section =
                nameOf(line.sliced(1, line.size() - 2).trimmed());
            if (!section)
                return std::nullopt;
            prefix = section->isEmpty() || section->compare(u"General", Qt::CaseInsensitive) == 0
                         ? QString()
                         : *section + u'/';
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        const std::optional<QString> name =
            equals > 0 ? nameOf(line.first(equals).trimmed()) : std::nullopt;
        if (!name)
            return std::nullopt;
        const QString key = prefix + *name;
        const QByteArray value = valueText(line.sliced(equals + 1).trimmed()).toByteArray();
        const auto known = entries.constFind(key);
        if (known != entries.cend() && *known != value)
            return std::nullopt;
        entries.insert(key, value);
    }
    return entries;
}

} // namespace detail

} // namespace pulvane::store
