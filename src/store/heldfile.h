// A settings file as a save read it, held open from the read until after its
// replacement, so that what another program writes to it meanwhile, without
// the lock (a shell's `>>`, an editor writing in place), is seen and kept.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <sys/stat.h>

namespace pulvane::store::detail {

class HeldFile
{
public:
    enum class Read
    {
        Done,
        Missing,
        NotAPlainFile, // a FIFO, a device, a folder: not read
        TooLarge,
        Unreadable,
        KeptOpenForWriting, // by another program, for longer than a save waits
        Changing            // while it was read, each time
    };

    HeldFile() = default;
    ~HeldFile();
    HeldFile(const HeldFile &) = delete;
    HeldFile &operator=(const HeldFile &) = delete;

    // Opens `target` (links followed) without blocking, checks it on the open
    // file and reads it whole. Where the system allows (the user's own file on
    // a local file system) a read lease is taken first: no one then opens the
    // file to write it unseen until it is released, after the replacement.
    Read read(const QByteArray &target, qint64 maxSize);
    const QByteArray &bytes() const { return m_bytes; }
    bool exists() const { return m_fd >= 0; }
    mode_t permissions() const { return m_read.st_mode & 0777; }

    // Whether the file was opened to be written, or changed (its size, its
    // times, the change time included), or another file was put in its place.
    bool changed() const;

    // Just after the replacement, which changes the old file's change time.
    void noteReplaced();

    // After the replacement: gives a writer that opened the old file just
    // before it a moment to be seen, waits for the writers to close it, and
    // returns its bytes when they are no longer those read.
    std::optional<QByteArray> gainedAfterReplacement();

private:
    bool leaseIntact() const;
    void waitForWriters();

    int m_fd = -1;
    bool m_leased = false;
    QByteArray m_target;
    qint64 m_maxSize = 0;
    struct stat m_read
    {
    };
    QByteArray m_bytes;
};

// Writes `content` into a new file beside `target` (with the old file's
// permissions), flushes it to disk and renames it over `target`, unless the
// held file changed first or, where there was none, a file was made there
// meanwhile.
struct Replaced
{
    enum class Kind
    {
        Done,
        ChangedMeanwhile,
        Failed
    };
    Kind kind;
    QString why; // what failed
};
Replaced replaceFile(HeldFile &held, const QByteArray &target, const QByteArray &content);

// The private copies a save works on, beside the file.
inline constexpr QLatin1StringView kCopyPrefix(".pulvane-settings-");

} // namespace pulvane::store::detail
