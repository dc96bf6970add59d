#include "exeinfo.h"
#include "versionblock.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using pulvane::version::ExeInfo;
using pulvane::version::kVersionPlaceholder;
using namespace pulvane::version::block;

namespace {

const QString kPlaceholder = QString::fromLatin1(kVersionPlaceholder);
constexpr Translation kItalian{0x0410, 0x04E4};
constexpr Translation kUsEnglish{0x0409, 0x04B0};

QByteArray bytes(const std::vector<std::uint8_t> &data)
{
    return QByteArray(reinterpret_cast<const char *>(data.data()), qsizetype(data.size()));
}

QByteArray block(const std::vector<StringTable> &tables,
                 const std::vector<Translation> &translations)
{
    return bytes(serialise(versionInfo({1, 1, 1, 0}, tables, translations)));
}

QByteArray italianBlock(std::u16string fileVersion)
{
    return block({{kItalian, {{u"FileVersion", std::move(fileVersion)}}}}, {kItalian});
}

struct Section
{
    QByteArray name;
    QByteArray contents;
    quint32 type = 1; // SHT_PROGBITS
};

// A minimal ELF file: header, the sections' contents, the section-name table and
// the section header table, in that order.
class ElfBuilder
{
public:
    ElfBuilder(bool is64, bool bigEndian) : m_is64(is64), m_bigEndian(bigEndian) {}

    QByteArray build(const QList<Section> &sections) const
    {
        QList<Section> all = sections;
        QByteArray names(1, '\0');
        all.append(Section{".shstrtab", {}, 3});

        QList<quint64> nameOffsets;
        for (const Section &section : all) {
            nameOffsets.append(quint64(names.size()));
            names += section.name + '\0';
        }
        all.last().contents = names;

        const int headerSize = m_is64 ? 64 : 52;
        QByteArray file(headerSize, '\0');
        QList<quint64> offsets;
        for (const Section &section : all) {
            pad(file, 4);
            offsets.append(quint64(file.size()));
            file += section.contents;
        }
        pad(file, 8);
        const quint64 tableOffset = quint64(file.size());
        const int entrySize = m_is64 ? 64 : 40;
        file += QByteArray(entrySize, '\0'); // the null section
        for (int i = 0; i < all.size(); ++i) {
            QByteArray entry(entrySize, '\0');
            put(entry, 0, 4, nameOffsets[i]);
            put(entry, 4, 4, all[i].type);
            put(entry, m_is64 ? 0x18 : 0x10, m_is64 ? 8 : 4, offsets[i]);
            put(entry, m_is64 ? 0x20 : 0x14, m_is64 ? 8 : 4, quint64(all[i].contents.size()));
            file += entry;
        }

        file[0] = '\x7F';
        file[1] = 'E';
        file[2] = 'L';
        file[3] = 'F';
        file[4] = m_is64 ? 2 : 1;
        file[5] = m_bigEndian ? 2 : 1;
        file[6] = 1;
        put(file, 0x10, 2, 2); // executable
        put(file, 0x12, 2, m_is64 ? 0x3E : 0x03);
        put(file, 0x14, 4, 1);
        put(file, m_is64 ? 0x28 : 0x20, m_is64 ? 8 : 4, tableOffset);
        const int base = m_is64 ? 0x3A : 0x2E;
        put(file, base - 6, 2, quint64(headerSize));
        put(file, base, 2, quint64(entrySize));
        put(file, base + 2, 2, quint64(all.size() + 1));
        put(file, base + 4, 2, quint64(all.size()));
        return file;
    }

    void put(QByteArray &out, int offset, int width, quint64 value) const
    {
        for (int i = 0; i < width; ++i) {
            const int shift = 8 * (m_bigEndian ? width - 1 - i : i);
            out[offset + i] = char((value >> shift) & 0xFF);
        }
    }

private:
    static void pad(QByteArray &out, int alignment)
    {
        while (out.size() % alignment != 0)
            out += '\0';
    }

    bool m_is64;
    bool m_bigEndian;
};

QByteArray elf64(const QList<Section> &sections)
{
    return ElfBuilder(true, false).build(sections);
}

QByteArray withVersion(const QByteArray &versionBlock)
{
    return elf64(
        {{".text", QByteArray(32, '\x90')}, {".pulvane_version", versionBlock}, {".data", "abc"}});
}

// Offsets into what elf64() writes.
constexpr int kSectionTableOffset = 0x28;
constexpr int kEntrySizeOffset = 0x3A;
constexpr int kCountOffset = 0x3C;
constexpr int kNamesIndexOffset = 0x3E;

QByteArray patched(QByteArray file, int offset, int width, quint64 value)
{
    ElfBuilder(true, false).put(file, offset, width, value);
    return file;
}

quint64 sectionTableOffset(const QByteArray &file)
{
    quint64 value = 0;
    for (int i = 0; i < 8; ++i)
        value |= quint64(quint8(file[kSectionTableOffset + i])) << (8 * i);
    return value;
}

} // namespace

class TestExeInfo : public QObject
{
    Q_OBJECT

private slots:
    void blockLayout();
    void truncatedBlocks();
    void fileVersionKeys_data();
    void fileVersionKeys();
    void versionText_data();
    void versionText();
    void missingFile();
    void testProgramHasNoBlock();
    void builtProgramCarriesItsVersion();

private:
    QTemporaryDir m_dir;
};

void TestExeInfo::blockLayout()
{
    // Checked against the layout by hand, so that builder and reader cannot
    // share a mistake: header, key, padding, value, padding.
    const Entry entry{u"A", true, textValue(u"1"), {}};
    QCOMPARE(bytes(serialise(entry)), QByteArray::fromHex("10000200010041000000000031000000"));

    const QByteArray program = italianBlock(u"1.1.1.0");
    QCOMPARE(quint8(program[0]) | quint8(program[1]) << 8, program.size());
    QCOMPARE(program.mid(2, 4), QByteArray::fromHex("34000000"));       // fixed info, binary
    QCOMPARE(program.mid(40, 4), QByteArray::fromHex("bd04effe"));      // its signature
    QVERIFY(program.contains(QByteArray::fromHex("0400000054007200"))); // Translation, 4 bytes
    QVERIFY(program.endsWith(QByteArray::fromHex("1004e404")));
}

void TestExeInfo::truncatedBlocks()
{
    const QByteArray full = italianBlock(u"1.1.1.0");
    const auto *data = reinterpret_cast<const std::uint8_t *>(full.constData());
    for (qsizetype size = 0; size < full.size(); ++size)
        QVERIFY2(!parse(data, std::size_t(size)), qPrintable(QString::number(size)));
    QVERIFY(parse(data, std::size_t(full.size())));
}

void TestExeInfo::fileVersionKeys_data()
{
    QTest::addColumn<int>("language");
    QTest::addColumn<int>("codePage");
    QTest::addColumn<QString>("key");

    QTest::newRow("Italian, 1252") << 0x0410 << 0x04E4 << "StringFileInfo\\041004E4\\FileVersion";
    QTest::newRow("letters upper-case")
        << 0x0C0A << 0x04B0 << "StringFileInfo\\0C0A04B0\\FileVersion";
    QTest::newRow("leading zeros kept")
        << 0x0009 << 0x0000 << "StringFileInfo\\00090000\\FileVersion";
    QTest::newRow("all digits") << 0xFFFF << 0xABCD << "StringFileInfo\\FFFFABCD\\FileVersion";
}

void TestExeInfo::fileVersionKeys()
{
    QFETCH(int, language);
    QFETCH(int, codePage);
    QFETCH(QString, key);

    const Translation pair{std::uint16_t(language), std::uint16_t(codePage)};
    QCOMPARE(QString::fromStdU16String(fileVersionKey(pair)), key);
}

void TestExeInfo::versionText_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("text");

    const QByteArray good = withVersion(italianBlock(u"1.1.1.0"));
    const quint64 table = sectionTableOffset(good);
    const quint64 versionHeader = table + 2 * 64; // null section, .text, then ours

    QTest::newRow("block present") << good << "1.1.1.0";
    QTest::newRow("32-bit big-endian ELF")
        << ElfBuilder(false, true).build({{".pulvane_version", italianBlock(u"2.0")}}) << "2.0";
    QTest::newRow("string stored exactly")
        << withVersion(italianBlock(u" 3.0 β (test) ")) << " 3.0 β (test) ";
    QTest::newRow("other pair first")
        << withVersion(block({{kItalian, {{u"FileVersion", u"1.1.1.0"}}},
                              {kUsEnglish, {{u"FileVersion", u"9.9"}}}},
                             {kUsEnglish, kItalian}))
        << "9.9";

    QTest::newRow("among the strings Explorer shows")
        << withVersion(block({{kItalian,
                               {{u"CompanyName", u"Pulvane developers"},
                                {u"FileDescription", u"Pulvane - Heart-rate belt finder"},
                                {u"FileVersion", u"1.1.1.0"},
                                {u"ProductVersion", u"9.9"}}}},
                             {kItalian}))
        << "1.1.1.0";
    QTest::newRow("string absent")
        << withVersion(block({{kItalian, {{u"ProductVersion", u"1.1.1.0"}}}}, {kItalian})) << "";
    QTest::newRow("empty string") << withVersion(italianBlock(u"")) << "";
    QTest::newRow("no table for the first pair")
        << withVersion(block({{kItalian, {{u"FileVersion", u"1.1.1.0"}}}}, {kUsEnglish, kItalian}))
        << "";
    QTest::newRow("no translation table")
        << withVersion(block({{kItalian, {{u"FileVersion", u"1.1.1.0"}}}}, {})) << "";

    QTest::newRow("ELF without the section")
        << elf64({{".text", QByteArray(32, '\x90')}, {".data", "abc"}}) << kPlaceholder;
    QTest::newRow("not ELF") << QByteArray("#!/bin/sh\necho 1.1.1.0\n") << kPlaceholder;
    QTest::newRow("empty file") << QByteArray() << kPlaceholder;
    QTest::newRow("ELF header only") << good.left(64) << kPlaceholder;
    QTest::newRow("section table cut short") << good.left(good.size() - 10) << kPlaceholder;
    QTest::newRow("section table past the end")
        << patched(good, kSectionTableOffset, 8, ~quint64(0) - 100) << kPlaceholder;
    QTest::newRow("section headers too small")
        << patched(good, kEntrySizeOffset, 2, 8) << kPlaceholder;
    QTest::newRow("more sections than the file holds")
        << patched(good, kCountOffset, 2, 0xFFF0) << kPlaceholder;
    QTest::newRow("name table index out of range")
        << patched(good, kNamesIndexOffset, 2, 40) << kPlaceholder;
    QTest::newRow("section contents past the end")
        << patched(good, int(versionHeader + 0x18), 8, quint64(good.size()) - 8) << kPlaceholder;
    QTest::newRow("section name past the name table")
        << patched(good, int(versionHeader), 4, 0x7FFFFFFF) << kPlaceholder;
    QTest::newRow("section without contents")
        << patched(good, int(versionHeader + 4), 4, 8) << kPlaceholder; // SHT_NOBITS
    QTest::newRow("section that is not a version block")
        << withVersion(QByteArray(64, '\xAB')) << kPlaceholder;

    QByteArray longerThanSection = italianBlock(u"1.1.1.0");
    longerThanSection[0] = char(0xFF);
    QTest::newRow("block longer than its section")
        << withVersion(longerThanSection) << kPlaceholder;
}

void TestExeInfo::versionText()
{
#ifndef Q_OS_LINUX
    // Windows reads version resources through its own API instead
    // (builtProgramCarriesItsVersion).
    QSKIP("the version block is read from ELF files on Linux only");
#endif
    QFETCH(QByteArray, file);
    QFETCH(QString, text);

    const QString path = m_dir.filePath(QStringLiteral("program"));
    QFile out(path);
    QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    out.write(file);
    out.close();

    QCOMPARE(ExeInfo(path).versionText(), text);
}

void TestExeInfo::missingFile()
{
    QCOMPARE(ExeInfo(m_dir.filePath(QStringLiteral("absent"))).versionText(), kPlaceholder);
}

void TestExeInfo::testProgramHasNoBlock()
{
    QCOMPARE(ExeInfo().versionText(), kPlaceholder);
}

void TestExeInfo::builtProgramCarriesItsVersion()
{
    QCOMPARE(ExeInfo(QStringLiteral(PULVANE_PROGRAM_FILE)).versionText(), PULVANE_VERSION);
}

QTEST_GUILESS_MAIN(TestExeInfo)
#include "tst_exeinfo.moc"
