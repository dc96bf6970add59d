#include "settingsfile.h"

#include "ownfolder.h"
#include "settingslock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStringDecoder>
#include <QTemporaryFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

namespace {

// Far beyond what the settings of a few programs take; a larger file is
// refused rather than read whole and copied twice.
constexpr qint64 kMaxFileSize = 16 * 1024 * 1024;
// Qt reads the keys after a UTF-8 byte-order mark but reports the file
// malformed: it gets the text after the mark, and the mark is put back.
constexpr QByteArrayView kByteOrderMark = "\xef\xbb\xbf";
// The private copies a save works on.
constexpr QLatin1StringView kCopyPrefix(".pulvane-settings-");

enum class PathKind
{
    Missing,
    RegularFile,
    Other
};

enum class Links
{
    Followed, // one that leads nowhere is Other, not Missing, so that no file
              // is made wherever it points
    Refused
};

// What is at `path`, decided by one lstat (and, for a link, the stat of where
// it leads): an entry made between two looks never counts as something else.
PathKind kindOf(const QString &path, Links links, struct stat *st)
{
    const QByteArray name = QFile::encodeName(path);
    if (::lstat(name.constData(), st) != 0)
        return errno == ENOENT ? PathKind::Missing : PathKind::Other;
    if (S_ISLNK(st->st_mode) && (links == Links::Refused || ::stat(name.constData(), st) != 0))
        return PathKind::Other;
    return S_ISREG(st->st_mode) ? PathKind::RegularFile : PathKind::Other;
}

PathKind kindOf(const QString &path, Links links)
{
    struct stat st
    {
    };
    return kindOf(path, links, &st);
}

// The file as it was read. A writer that ignores the lock (a shell's `>>`)
// changes at least one of these; the time in nanoseconds, where a second
// would hide a quick append that left the size as it was.
struct FileState
{
    PathKind kind;
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;

    explicit FileState(PathKind kind, const struct stat &st = {})
        : kind(kind), device(st.st_dev), inode(st.st_ino), size(st.st_size), modified(st.st_mtim)
    {}
    bool operator==(const FileState &other) const
    {
        return kind == other.kind && device == other.device && inode == other.inode &&
               size == other.size && modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec;
    }
};

FileState stateOf(const QString &path)
{
    struct stat st
    {
    };
    const PathKind kind = kindOf(path, Links::Followed, &st);
    return kind == PathKind::RegularFile ? FileState(kind, st) : FileState(kind);
}

// The bytes of a regular file of at most maxSize. Opened without blocking and
// checked on the open file, so a FIFO or a device put in its place after a
// first look stalls nothing and is not read. `state` gets the file's as read.
std::optional<QByteArray> readRegularFile(const QString &path, qint64 maxSize,
                                          std::optional<FileState> *state = nullptr)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st
    {
    };
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= maxSize;
    QByteArray bytes;
    if (ok)
        bytes.reserve(st.st_size);
    while (ok) {
        char chunk[65536];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0 && bytes.size() + n <= maxSize;
        if (ok)
            bytes.append(chunk, n);
    }
    // Looked at after the last read: an append during it shows as a change.
    if (ok && state) {
        ok = ::fstat(fd, &st) == 0;
        state->emplace(PathKind::RegularFile, st);
    }
    ::close(fd);
    return ok ? std::optional(bytes) : std::nullopt;
}

// A save makes its copy only while it holds the lock of the file, which the
// caller holds now: every copy there, and the lock QSettings took on it, was
// left by a save that was killed.
void removeLeftovers(const QString &dir)
{
    QDir folder(dir);
    const QStringList names =
        folder.entryList({kCopyPrefix + u'*'}, QDir::Files | QDir::System | QDir::Hidden);
    for (const QString &name : names)
        folder.remove(name);
}

// Qt's own writer applied to `original`: the file as QSettings would leave it
// after setting the values, or nullopt when Qt reports the text unparsable or
// the write failed. Works on a private copy beside the real file, so nothing
// QSettings does on the way reaches the real one.
std::optional<QByteArray> rewrittenByQt(const QString &dir, const QByteArray &original,
                                        const QList<SettingsValue> &values)
{
    QTemporaryFile copy(dir + u'/' + kCopyPrefix + QStringLiteral("XXXXXX"));
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
    // Room for what Qt's escaping may add to a file within the bound.
    return readRegularFile(copy.fileName(), 2 * kMaxFileSize);
}

// Qt's rewrite keeps every entry of the original, value bytes and all, adds
// ours and nothing else. Comments and the layout may differ; a value Qt reads
// differently from how it was written (an unquoted ';' cuts it, a comma makes a
// list, bytes that are not UTF-8 are replaced) does not survive this and the
// file is left alone.
bool keepsEverythingElse(const QByteArray &original, const QByteArray &rewritten,
                         const QList<SettingsValue> &values)
{
    std::optional<QMap<QString, QByteArray>> before = detail::rawEntries(original);
    std::optional<QMap<QString, QByteArray>> after = detail::rawEntries(rewritten);
    if (!before || !after)
        return false;
    for (const SettingsValue &value : values) {
        if (after->take(value.key) != value.text.toUtf8())
            return false;
        before->remove(value.key);
    }
    return *before == *after;
}

enum class Outcome
{
    Saved,
    Refused,
    ChangedMeanwhile
};

// One read of the file and one replacement, unless the file changed after it
// was read: then nothing is replaced.
Outcome saveOnce(const QString &path, const QString &dir, const QList<SettingsValue> &values)
{
    std::optional<FileState> read;
    std::optional<QByteArray> original;
    switch (kindOf(path, Links::Followed)) {
    case PathKind::RegularFile:
        original = readRegularFile(path, kMaxFileSize, &read);
        break;
    case PathKind::Missing:
        original.emplace();
        read.emplace(PathKind::Missing);
        break;
    case PathKind::Other:
        break;
    }
    if (!original)
        return Outcome::Refused;
    const QByteArrayView mark = original->startsWith(kByteOrderMark) ? kByteOrderMark : "";
    const QByteArray text = original->sliced(mark.size());
    const std::optional<QByteArray> rewritten = rewrittenByQt(dir, text, values);
    if (!rewritten || !keepsEverythingElse(text, *rewritten, values))
        return Outcome::Refused;

    // One replacement for all values: a crash leaves either the old file or the
    // new one, never one value new and another old.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(mark.data(), mark.size()) != mark.size() ||
        file.write(*rewritten) != rewritten->size())
        return Outcome::Refused;
    // As late as can be before the replacement, so that what was added to the
    // file, or put in its place, is not replaced unseen.
    if (stateOf(path) != *read)
        return Outcome::ChangedMeanwhile;
    return file.commit() ? Outcome::Saved : Outcome::Refused;
}

} // namespace

bool setValuesInFile(const QString &path, const QList<SettingsValue> &values,
                     std::chrono::milliseconds lockWait)
{
    // A FIFO would block the read, a device never end it, and replacing either
    // would leave a regular file in its place: refused before anything is made.
    // The lock is ours to remove: nothing but a plain file counts as one.
    const QString lockPath = path + QStringLiteral(".lock");
    if (kindOf(path, Links::Followed) == PathKind::Other ||
        kindOf(lockPath, Links::Refused) == PathKind::Other ||
        !leadsIntoOwnFolder(path, MissingFolders::Allowed))
        return false;
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir) || !leadsIntoOwnFolder(path, MissingFolders::Refused))
        return false;
    // The lock QSettings takes to write this file, so a companion application
    // saving through Qt at the same moment is not overwritten. Held by a
    // process that lives, it costs at most lockWait.
    SettingsLock lock(lockPath);
    if (!lock.tryLock(lockWait))
        return false;
    removeLeftovers(dir);
    // A writer that ignores the lock may append again while the save is redone;
    // after a few tries the file is left to it.
    constexpr int kTries = 3;
    for (int i = 0; i < kTries; ++i) {
        const Outcome outcome = saveOnce(path, dir, values);
        if (outcome != Outcome::ChangedMeanwhile)
            return outcome == Outcome::Saved;
    }
    return false;
}

} // namespace pulvane::store
