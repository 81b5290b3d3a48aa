#include "VersionInfo.h"
#include "support/FileHelpers.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <elf.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstring>
#include <functional>

namespace {

// A small ELF file built in memory: the file header, the section names, the version record, and
// the section table last: [0] empty, [1] ".shstrtab", [2] the record's section. The record holds
// file version 1.2.3.4, product version 5.6.7.8 and the name "Test".
class ElfImage {
public:
    enum HeaderField { ShOff, ShEntSize, ShNum, ShStrNdx };
    enum SectionField { Name, Type, Offset, Size, Link };

    ElfImage(bool is64, bool bigEndian, const QByteArray& sectionName = kVersionSectionName)
        : m_is64(is64), m_bigEndian(bigEndian) {
        const int headerSize = is64 ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr);
        const int entrySize = is64 ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr);
        bytes = QByteArray(headerSize, '\0');
        std::memcpy(bytes.data(), ELFMAG, SELFMAG);
        bytes[EI_CLASS] = char(is64 ? ELFCLASS64 : ELFCLASS32);
        bytes[EI_DATA] = char(bigEndian ? ELFDATA2MSB : ELFDATA2LSB);
        bytes[EI_VERSION] = EV_CURRENT;

        namesOffset = bytes.size();
        const QByteArray names = QByteArray("\0.shstrtab\0", 11) + sectionName + '\0';
        bytes += names;
        Align(8);
        recordOffset = bytes.size();
        bytes += QByteArray(kVersionRecordMagic, sizeof kVersionRecordMagic);
        for (int part = 1; part <= 8; ++part)
            Append(part, 2);
        bytes += QByteArray("Test").leftJustified(32, '\0');
        Align(8);
        const qsizetype tableOffset = bytes.size();
        bytes += QByteArray(3 * entrySize, '\0');

        SetHeader(ShOff, tableOffset);
        SetHeader(ShEntSize, entrySize);
        SetHeader(ShNum, 3);
        SetHeader(ShStrNdx, 1);
        SetSection(1, Name, 1);
        SetSection(1, Type, SHT_STRTAB);
        SetSection(1, Offset, namesOffset);
        SetSection(1, Size, names.size());
        SetSection(2, Name, 11);
        SetSection(2, Type, SHT_PROGBITS);
        SetSection(2, Offset, recordOffset);
        SetSection(2, Size, sizeof(VersionRecord));
    }

    void SetHeader(HeaderField field, uint64_t value) {
#define QUANTORIA_FIELD(member)                                                                    \
    m_is64 ? Put(offsetof(Elf64_Ehdr, member), sizeof(Elf64_Ehdr::member), value)                  \
           : Put(offsetof(Elf32_Ehdr, member), sizeof(Elf32_Ehdr::member), value)
        switch (field) {
        case ShOff:
            return QUANTORIA_FIELD(e_shoff);
        case ShEntSize:
            return QUANTORIA_FIELD(e_shentsize);
        case ShNum:
            return QUANTORIA_FIELD(e_shnum);
        case ShStrNdx:
            return QUANTORIA_FIELD(e_shstrndx);
        }
#undef QUANTORIA_FIELD
    }

    void SetSection(int index, SectionField field, uint64_t value) {
        const uint64_t table = Get(
            m_is64 ? offsetof(Elf64_Ehdr, e_shoff) : offsetof(Elf32_Ehdr, e_shoff), m_is64 ? 8 : 4);
        const uint64_t entry = table + index * (m_is64 ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr));
#define QUANTORIA_FIELD(member)                                                                    \
    m_is64 ? Put(entry + offsetof(Elf64_Shdr, member), sizeof(Elf64_Shdr::member), value)          \
           : Put(entry + offsetof(Elf32_Shdr, member), sizeof(Elf32_Shdr::member), value)
        switch (field) {
        case Name:
            return QUANTORIA_FIELD(sh_name);
        case Type:
            return QUANTORIA_FIELD(sh_type);
        case Offset:
            return QUANTORIA_FIELD(sh_offset);
        case Size:
            return QUANTORIA_FIELD(sh_size);
        case Link:
            return QUANTORIA_FIELD(sh_link);
        }
#undef QUANTORIA_FIELD
    }

    QByteArray bytes;
    qsizetype namesOffset = 0;
    qsizetype recordOffset = 0;

private:
    void Align(int to) {
        while (bytes.size() % to)
            bytes += '\0';
    }
    void Append(uint64_t value, int width) {
        bytes += QByteArray(width, '\0');
        Put(bytes.size() - width, width, value);
    }
    void Put(uint64_t offset, int width, uint64_t value) {
        for (int i = 0; i < width; ++i) {
            const int shift = 8 * (m_bigEndian ? width - 1 - i : i);
            bytes[qsizetype(offset) + i] = char((value >> shift) & 0xff);
        }
    }
    uint64_t Get(uint64_t offset, int width) const {
        uint64_t value = 0;
        for (int i = 0; i < width; ++i) {
            const int shift = 8 * (m_bigEndian ? width - 1 - i : i);
            value |= uint64_t(uchar(bytes[qsizetype(offset) + i])) << shift;
        }
        return value;
    }

    bool m_is64;
    bool m_bigEndian;
};

using Patch = std::function<void(ElfImage&)>;

} // namespace

Q_DECLARE_METATYPE(Patch)

class tst_VersionInfo : public QObject {
    Q_OBJECT
private slots:
    void init();
    void builtProgram();
    void files_data();
    void files();
    void images_data();
    void images();
    void everyTruncatedImage_data();
    void everyTruncatedImage();

private:
    QString Write(const QString& name, const QByteArray& bytes);

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_VersionInfo::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

QString tst_VersionInfo::Write(const QString& name, const QByteArray& bytes) {
    const QString path = m_dir->filePath(name);
    return WriteBytes(path, bytes) ? path : QString();
}

void tst_VersionInfo::builtProgram() {
    QCOMPARE(GetFileVersionText(QStringLiteral(QUANTORIA_EXE)),
             QStringLiteral(QUANTORIA_VERSION_TEXT));
    const std::optional<VersionRecord> record = ReadVersionRecord(QStringLiteral(QUANTORIA_EXE));
    QVERIFY(record);
    QCOMPARE(QStringLiteral("%1.%2.%3.%4")
                 .arg(record->productVersion[0])
                 .arg(record->productVersion[1])
                 .arg(record->productVersion[2])
                 .arg(record->productVersion[3]),
             QStringLiteral(QUANTORIA_VERSION_TEXT));
    QCOMPARE(QString::fromUtf8(record->productName), QStringLiteral(QUANTORIA_PRODUCT_NAME));
}

// Files of every kind: only the program's record gives a version.
void tst_VersionInfo::files_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("version");
    const QString version = QStringLiteral(QUANTORIA_VERSION_TEXT);
    QTest::newRow("program without its seal") << "unsealed" << version;
    QTest::newRow("program with bytes appended") << "appended" << version;
    QTest::newRow("program cut in the section table") << "cut table"
                                                      << "";
    QTest::newRow("program cut in half") << "half"
                                         << "";
    QTest::newRow("program cut after the ELF magic") << "magic"
                                                     << "";
    QTest::newRow("program without a version record") << "plain"
                                                      << "";
    QTest::newRow("empty file") << "empty"
                                << "";
    QTest::newRow("text file") << "text"
                               << "";
    QTest::newRow("missing file") << "missing"
                                  << "";
    QTest::newRow("folder") << "folder"
                            << "";
    QTest::newRow("named pipe without a writer") << "fifo"
                                                 << "";
}

void tst_VersionInfo::files() {
    QFETCH(QString, kind);
    QFETCH(QString, version);
    const QByteArray program = ReadBytes(QStringLiteral(QUANTORIA_EXE));
    QVERIFY(program.size() > 4096);
    constexpr int kTrailer = 48;
    QString path;
    if (kind == QStringLiteral("unsealed"))
        path = Write(kind, program.left(program.size() - kTrailer));
    else if (kind == QStringLiteral("appended"))
        path = Write(kind, program + QByteArray(5000, 'x'));
    else if (kind == QStringLiteral("cut table"))
        path = Write(kind, program.left(program.size() - kTrailer - 1));
    else if (kind == QStringLiteral("half"))
        path = Write(kind, program.left(program.size() / 2));
    else if (kind == QStringLiteral("magic"))
        path = Write(kind, program.left(SELFMAG));
    else if (kind == QStringLiteral("plain"))
        path = QStringLiteral(PLAIN_PROGRAM);
    else if (kind == QStringLiteral("empty"))
        path = Write(kind, {});
    else if (kind == QStringLiteral("text"))
        path = Write(kind, QByteArray("\x7f"
                                      "ELF is not enough: a text file\n")
                               .repeated(50));
    else if (kind == QStringLiteral("missing"))
        path = m_dir->filePath(kind);
    else if (kind == QStringLiteral("folder"))
        path = m_dir->path();
    else if (kind == QStringLiteral("fifo")) {
        path = m_dir->filePath(kind);
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    }
    QVERIFY(!path.isEmpty());
    QCOMPARE(GetFileVersionText(path), version);
}

void tst_VersionInfo::images_data() {
    QTest::addColumn<bool>("is64");
    QTest::addColumn<bool>("bigEndian");
    QTest::addColumn<QByteArray>("sectionName");
    QTest::addColumn<Patch>("patch");
    QTest::addColumn<QString>("version");
    const Patch none = [](ElfImage&) {};
    const QByteArray name = kVersionSectionName;
    const QString v = QStringLiteral("1.2.3.4");
    using E = ElfImage;

    QTest::newRow("64-bit little-endian") << true << false << name << none << v;
    QTest::newRow("64-bit big-endian") << true << true << name << none << v;
    QTest::newRow("32-bit little-endian") << false << false << name << none << v;
    QTest::newRow("32-bit big-endian") << false << true << name << none << v;
    QTest::newRow("section count in the first section") << true << false << name << Patch([](E& e) {
        e.SetHeader(E::ShNum, 0);
        e.SetSection(0, E::Size, 3);
    }) << v;
    QTest::newRow("names index in the first section") << false << true << name << Patch([](E& e) {
        e.SetHeader(E::ShStrNdx, SHN_XINDEX);
        e.SetSection(0, E::Link, 1);
    }) << v;

    QTest::newRow("other section name")
        << true << false << QByteArray(".quantoria_versions") << none << "";
    QTest::newRow("record magic") << true << false << name
                                  << Patch([](E& e) { e.bytes[e.recordOffset] = 'X'; }) << "";
    QTest::newRow("record section too small")
        << true << false << name
        << Patch([](E& e) { e.SetSection(2, E::Size, sizeof(VersionRecord) - 1); }) << "";
    QTest::newRow("record section without data")
        << false << false << name << Patch([](E& e) { e.SetSection(2, E::Type, SHT_NOBITS); })
        << "";
    QTest::newRow("record past the end")
        << true << true << name
        << Patch([](E& e) { e.SetSection(2, E::Offset, e.bytes.size() - 20); }) << "";
    QTest::newRow("record offset wraps")
        << true << false << name << Patch([](E& e) { e.SetSection(2, E::Offset, UINT64_MAX - 10); })
        << "";
    QTest::newRow("no section table")
        << true << false << name << Patch([](E& e) { e.SetHeader(E::ShOff, 0); }) << "";
    QTest::newRow("section table past the end")
        << false << false << name << Patch([](E& e) { e.SetHeader(E::ShOff, e.bytes.size()); })
        << "";
    QTest::newRow("section table offset wraps")
        << true << false << name << Patch([](E& e) { e.SetHeader(E::ShOff, UINT64_MAX - 64); })
        << "";
    QTest::newRow("section entries too short")
        << true << false << name
        << Patch([](E& e) { e.SetHeader(E::ShEntSize, sizeof(Elf64_Shdr) - 1); }) << "";
    QTest::newRow("section count past the end")
        << false << true << name << Patch([](E& e) { e.SetHeader(E::ShNum, 4); }) << "";
    QTest::newRow("huge section count in the first section")
        << true << false << name << Patch([](E& e) {
               e.SetHeader(E::ShNum, 0);
               e.SetSection(0, E::Size, uint64_t(1) << 40);
           })
        << "";
    QTest::newRow("names index out of range")
        << true << false << name << Patch([](E& e) { e.SetHeader(E::ShStrNdx, 3); }) << "";
    QTest::newRow("names section without data")
        << true << false << name << Patch([](E& e) { e.SetSection(1, E::Type, SHT_NOBITS); }) << "";
    QTest::newRow("names past the end")
        << false << false << name << Patch([](E& e) { e.SetSection(1, E::Size, e.bytes.size()); })
        << "";
    QTest::newRow("name offset past the names")
        << true << false << name << Patch([](E& e) { e.SetSection(2, E::Name, 1000); }) << "";
    QTest::newRow("name cut by the end of the names")
        << true << false << name
        << Patch([](E& e) { e.SetSection(1, E::Size, 11 + sizeof kVersionSectionName - 1); }) << "";
    QTest::newRow("unknown class")
        << true << false << name << Patch([](E& e) { e.bytes[EI_CLASS] = 3; }) << "";
    QTest::newRow("unknown byte order")
        << true << false << name << Patch([](E& e) { e.bytes[EI_DATA] = 0; }) << "";
}

void tst_VersionInfo::images() {
    QFETCH(bool, is64);
    QFETCH(bool, bigEndian);
    QFETCH(QByteArray, sectionName);
    QFETCH(Patch, patch);
    QFETCH(QString, version);
    ElfImage image(is64, bigEndian, sectionName);
    patch(image);
    const QString path = Write(QStringLiteral("image"), image.bytes);
    QVERIFY(!path.isEmpty());
    QCOMPARE(GetFileVersionText(path), version);
    if (!version.isEmpty()) {
        const std::optional<VersionRecord> record = ReadVersionRecord(path);
        QVERIFY(record);
        QCOMPARE(record->productVersion[0], uint16_t(5));
        QCOMPARE(record->productVersion[3], uint16_t(8));
        QCOMPARE(QByteArray(record->productName), QByteArray("Test"));
    }
}

void tst_VersionInfo::everyTruncatedImage_data() {
    QTest::addColumn<bool>("is64");
    QTest::addColumn<bool>("bigEndian");
    QTest::newRow("64-bit little-endian") << true << false;
    QTest::newRow("32-bit big-endian") << false << true;
}

// The section table is the image's end: every shorter file has no complete table.
void tst_VersionInfo::everyTruncatedImage() {
    QFETCH(bool, is64);
    QFETCH(bool, bigEndian);
    const ElfImage image(is64, bigEndian);
    for (qsizetype size = 0; size < image.bytes.size(); ++size) {
        const QString path = Write(QStringLiteral("cut"), image.bytes.left(size));
        QVERIFY(!path.isEmpty());
        if (!GetFileVersionText(path).isEmpty())
            QFAIL(qPrintable(QStringLiteral("a version from the first %1 bytes").arg(size)));
    }
}

QTEST_GUILESS_MAIN(tst_VersionInfo)
#include "tst_VersionInfo.moc"
