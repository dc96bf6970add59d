#include "settingsfile.h"

#include "heldfile.h"
#include "inientries.h"
#include "ownfolder.h"
#include "settingslock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryFile>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pulvane::store {

namespace {

using detail::kCopyPrefix;

// Far beyond what the settings of a few programs take; a larger file is
// refused rather than read whole and copied twice.
constexpr qint64 kMaxFileSize = 16 * 1024 * 1024;
// Qt reads the keys after a UTF-8 byte-order mark but reports the file
// malformed: it gets the text after the mark, and the mark is put back.
constexpr QByteArrayView kByteOrderMark = "\xef\xbb\xbf";

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

// The bytes of our own copy, of at most maxSize.
std::optional<QByteArray> readCopy(const QString &path, qint64 maxSize)
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
    return readCopy(copy.fileName(), 2 * kMaxFileSize);
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

SaveRefusal refusal(SaveRefusal::Cause cause, const QString &detail = {})
{
    return {cause, detail};
}

// What another program wrote into the file that a save replaced, while it
// was replaced (`oldNow`, of the file read as `oldRead`), with what the new
// file `written` has gained since.
struct Carried
{
    QByteArray written;
    QByteArray oldRead;
    QByteArray oldNow;

    // The file to save now, from the one read now: the old file as the other
    // program left it, with what was added to ours since; or, when ours was
    // replaced meanwhile, that file with what the old one gained at its end.
    QByteArray into(const QByteArray &current) const
    {
        if (current.startsWith(written))
            return oldNow + current.sliced(written.size());
        return oldNow.startsWith(oldRead) ? current + oldNow.sliced(oldRead.size()) : current;
    }

    // The last resort of a file that never stops changing: what was appended
    // to the old file goes at the end of the file as it is, as `>>` adds it.
    void appendTo(const QByteArray &target) const
    {
        if (!oldNow.startsWith(oldRead))
            return;
        const QByteArrayView gained = QByteArrayView(oldNow).sliced(oldRead.size());
        const int fd = ::open(target.constData(),
                              O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0 && ::write(fd, gained.data(), gained.size()) == gained.size())
            ::fdatasync(fd);
        if (fd >= 0)
            ::close(fd);
    }
};

struct Step
{
    enum class Kind
    {
        Saved,
        Refused,
        ChangedMeanwhile,
        Carry // replaced, but the old file gained something meanwhile
    };
    Kind kind;
    std::optional<SaveRefusal> refusal = {};
    std::optional<Carried> carried = {};
};

std::optional<SaveRefusal> readRefusal(detail::HeldFile::Read read)
{
    using Read = detail::HeldFile::Read;
    using Cause = SaveRefusal::Cause;
    switch (read) {
    case Read::Done:
    case Read::Missing:
    case Read::Changing:
        return std::nullopt;
    case Read::NotAPlainFile:
        return refusal(Cause::NotAPlainFile);
    case Read::TooLarge:
        return refusal(Cause::TooLarge);
    case Read::Unreadable:
        return refusal(Cause::Unreadable, qt_error_string(errno));
    case Read::KeptOpenForWriting:
        return refusal(Cause::KeptOpen);
    }
    return refusal(Cause::Unreadable);
}

// One read of the file and one replacement, unless the file changed after it
// was read: then nothing is replaced. With something to carry from the last
// replacement, that is put back even when the values cannot go with it.
Step saveOnce(const QByteArray &target, const QString &dir, const QList<SettingsValue> &values,
              const std::optional<Carried> &carry)
{
    detail::HeldFile held;
    const detail::HeldFile::Read read = held.read(target, kMaxFileSize);
    if (read == detail::HeldFile::Read::Changing)
        return {Step::Kind::ChangedMeanwhile};
    if (std::optional<SaveRefusal> refused = readRefusal(read))
        return {Step::Kind::Refused, refused};
    const QByteArray original = carry ? carry->into(held.bytes()) : held.bytes();
    const QByteArrayView mark = original.startsWith(kByteOrderMark) ? kByteOrderMark : "";
    const QByteArray text = original.sliced(mark.size());
    const std::optional<QByteArray> rewritten = rewrittenByQt(dir, text, values);
    const bool faithful = rewritten && keepsEverythingElse(text, *rewritten, values);
    if (!faithful && !carry)
        return {Step::Kind::Refused, refusal(SaveRefusal::Cause::NotFaithful)};

    // One replacement for all values: a crash leaves either the old file or the
    // new one, never one value new and another old.
    const QByteArray content = faithful ? mark.toByteArray() + *rewritten : original;
    const detail::Replaced replaced = detail::replaceFile(held, target, content);
    if (replaced.kind == detail::Replaced::Kind::ChangedMeanwhile)
        return {Step::Kind::ChangedMeanwhile};
    if (replaced.kind == detail::Replaced::Kind::Failed)
        return {Step::Kind::Refused, refusal(SaveRefusal::Cause::NotWritten, replaced.why)};
    if (std::optional<QByteArray> gained = held.gainedAfterReplacement())
        return {Step::Kind::Carry, {}, Carried{content, held.bytes(), *gained}};
    if (!faithful)
        return {Step::Kind::Refused, refusal(SaveRefusal::Cause::NotFaithful)};
    return {Step::Kind::Saved};
}

// The path the replacement renames onto: where the links lead, as Qt's own
// writer follows them, so that a link the user made stays a link.
QByteArray replacedPath(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    char resolved[PATH_MAX];
    return ::realpath(name.constData(), resolved) ? QByteArray(resolved) : name;
}

// Folders made for the store are the user's alone, whatever the umask: 0700,
// as the config home is by convention.
bool makeFolders(const QString &dir)
{
    const QByteArray path = QFile::encodeName(QDir::cleanPath(QFileInfo(dir).absoluteFilePath()));
    for (qsizetype at = path.indexOf('/', 1);; at = path.indexOf('/', at + 1)) {
        const QByteArray part = at < 0 ? path : path.first(at);
        if (::mkdir(part.constData(), 0700) == 0) {
            if (::chmod(part.constData(), 0700) != 0)
                return false;
        } else if (errno != EEXIST) {
            return false;
        }
        if (at < 0)
            break;
    }
    struct stat st
    {
    };
    return ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The rounds of one save under the lock. A writer that ignores the lock may
// change the file again while the save is redone; after a few tries the file
// is left to it. What it wrote into a file while that was replaced is always
// carried, in rounds of its own.
std::optional<SaveRefusal> saveUnderLock(const QString &path, const QString &dir,
                                         const QList<SettingsValue> &values)
{
    constexpr int kTries = 3;
    constexpr int kRounds = 12;
    const QByteArray target = replacedPath(path);
    std::optional<Carried> carry;
    int changes = 0;
    for (int round = 0; round < kRounds; ++round) {
        Step step = saveOnce(target, dir, values, carry);
        switch (step.kind) {
        case Step::Kind::Saved:
            return std::nullopt;
        case Step::Kind::Refused:
            return step.refusal;
        case Step::Kind::Carry:
            carry = std::move(step.carried);
            break;
        case Step::Kind::ChangedMeanwhile:
            if (++changes >= kTries && !carry)
                return refusal(SaveRefusal::Cause::KeptChanging);
            break;
        }
    }
    if (carry)
        carry->appendTo(target);
    return refusal(SaveRefusal::Cause::KeptChanging);
}

} // namespace

QString SaveRefusal::text() const
{
    using enum Cause;
    static const QMap<Cause, QString> texts = {
        {NotAPlainFile, QStringLiteral("it is not a plain file")},
        {LockNotAPlainFile, QStringLiteral("its lock is not a plain file")},
        {NotOwnFolder, QStringLiteral("a folder on its way is not the user's own")},
        {FolderNotMade, QStringLiteral("its folder could not be made")},
        {LockNotTaken, QStringLiteral("its lock cannot be taken")},
        {LockHeld, QStringLiteral("its lock is held")},
        {TooLarge, QStringLiteral("it is larger than 16 MiB")},
        {Unreadable, QStringLiteral("it cannot be read")},
        {NotFaithful, QStringLiteral("Qt would not write back what it holds")},
        {KeptChanging, QStringLiteral("another program kept changing it")},
        {KeptOpen, QStringLiteral("another program keeps it open for writing")},
        {NotWritten, QStringLiteral("the new file could not be written")},
    };
    const QString line = texts.value(cause);
    return detail.isEmpty() ? line : line + QStringLiteral(" (") + detail + u')';
}

std::optional<SaveRefusal> setValuesInFile(const QString &path, const QList<SettingsValue> &values,
                                           std::chrono::milliseconds lockWait)
{
    using Cause = SaveRefusal::Cause;
    // A FIFO would block the read, a device never end it, and replacing either
    // would leave a regular file in its place: refused before anything is made.
    // The lock is ours to remove: nothing but a plain file counts as one.
    const QString lockPath = path + QStringLiteral(".lock");
    if (kindOf(path, Links::Followed) == PathKind::Other)
        return refusal(Cause::NotAPlainFile);
    if (kindOf(lockPath, Links::Refused) == PathKind::Other)
        return refusal(Cause::LockNotAPlainFile);
    if (!leadsIntoOwnFolder(path, MissingFolders::Allowed))
        return refusal(Cause::NotOwnFolder);
    const QString dir = QFileInfo(path).absolutePath();
    if (!makeFolders(dir))
        return refusal(Cause::FolderNotMade, qt_error_string(errno));
    if (!leadsIntoOwnFolder(path, MissingFolders::Refused))
        return refusal(Cause::NotOwnFolder);
    // The lock QSettings takes to write this file, so a companion application
    // saving through Qt at the same moment is not overwritten. Held by a
    // process that lives, it costs at most lockWait.
    SettingsLock lock(lockPath);
    const SettingsLock::Result locked = lock.tryLock(lockWait);
    if (locked.kind != SettingsLock::Result::Kind::Taken)
        return refusal(locked.kind == SettingsLock::Result::Kind::Held ? Cause::LockHeld
                                                                       : Cause::LockNotTaken,
                       locked.why);
    removeLeftovers(dir);
    const QString targetDir = QFileInfo(QFile::decodeName(replacedPath(path))).absolutePath();
    if (targetDir != dir)
        removeLeftovers(targetDir);
    return saveUnderLock(path, dir, values);
}

} // namespace pulvane::store
