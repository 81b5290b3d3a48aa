#include "VersionInfo.h"

#include "FileDescriptor.h"

#include <elf.h>
#include <fcntl.h>

#include <cstring>
#include <string_view>
#include <vector>

namespace {

// Section tables and name tables larger than this are not ones the build writes.
constexpr uint64_t kMaxTableBytes = uint64_t(16) << 20;

// A regular file opened for reading; every read names its offset and is checked against the size.
class ElfFile {
public:
    // Opened without waiting on a FIFO or a device; only a regular file is read.
    explicit ElfFile(const QString& path)
        : m_fd(OpenWithoutWaiting(path, O_RDONLY)), m_size(RegularFileSize(m_fd.get())) {}

    bool IsOpen() const { return m_size.has_value(); }
    // True when `length` bytes at `offset` lie inside the file.
    bool Holds(uint64_t offset, uint64_t length) const {
        return m_size && offset <= *m_size && length <= *m_size - offset;
    }

    // Reads `length` bytes at `offset` into `out`; false when they are not all in the file.
    bool Read(uint64_t offset, void* out, uint64_t length) const {
        return Holds(offset, length) && ReadAt(m_fd.get(), out, length, offset);
    }

private:
    const FileDescriptor m_fd;
    const std::optional<uint64_t> m_size; // nothing when the file is not a regular file
};

// Field access in the file's byte order.
class ByteOrder {
public:
    explicit ByteOrder(bool swap) : m_swap(swap) {}
    uint16_t operator()(uint16_t v) const { return m_swap ? __builtin_bswap16(v) : v; }
    uint32_t operator()(uint32_t v) const { return m_swap ? __builtin_bswap32(v) : v; }
    uint64_t operator()(uint64_t v) const { return m_swap ? __builtin_bswap64(v) : v; }

private:
    bool m_swap;
};

// The 32- and 64-bit layouts of <elf.h>.
struct Elf32 {
    using Ehdr = Elf32_Ehdr;
    using Shdr = Elf32_Shdr;
};
struct Elf64 {
    using Ehdr = Elf64_Ehdr;
    using Shdr = Elf64_Shdr;
};

template <class Elf>
std::optional<VersionRecord> FindRecord(const ElfFile& file, const ByteOrder& order) {
    typename Elf::Ehdr header;
    if (!file.Read(0, &header, sizeof header))
        return std::nullopt;
    const uint64_t tableOffset = order(header.e_shoff);
    const uint64_t entrySize = order(header.e_shentsize);
    if (tableOffset == 0 || entrySize < sizeof(typename Elf::Shdr))
        return std::nullopt;

    const auto readSection = [&](uint64_t index, typename Elf::Shdr& section) {
        return file.Read(tableOffset + index * entrySize, &section, sizeof section);
    };
    // Files with 0xff00 sections or more keep the count and the name table's index in the first
    // section header.
    uint64_t count = order(header.e_shnum);
    uint64_t namesIndex = order(header.e_shstrndx);
    if (count == 0 || namesIndex == SHN_XINDEX) {
        typename Elf::Shdr first;
        if (!readSection(0, first))
            return std::nullopt;
        if (count == 0)
            count = order(first.sh_size);
        if (namesIndex == SHN_XINDEX)
            namesIndex = order(first.sh_link);
    }
    // The table must lie in the file (checked before anything is allocated for it).
    if (count == 0 || count > kMaxTableBytes / entrySize || namesIndex >= count ||
        !file.Holds(tableOffset, count * entrySize))
        return std::nullopt;
    std::vector<char> table(static_cast<size_t>(count * entrySize));
    if (!file.Read(tableOffset, table.data(), table.size()))
        return std::nullopt;
    const auto section = [&](uint64_t index) {
        typename Elf::Shdr s;
        std::memcpy(&s, table.data() + index * entrySize, sizeof s);
        return s;
    };

    const typename Elf::Shdr namesSection = section(namesIndex);
    const uint64_t namesSize = order(namesSection.sh_size);
    const uint64_t namesOffset = order(namesSection.sh_offset);
    if (order(namesSection.sh_type) == SHT_NOBITS || namesSize == 0 || namesSize > kMaxTableBytes ||
        !file.Holds(namesOffset, namesSize))
        return std::nullopt;
    std::vector<char> names(static_cast<size_t>(namesSize));
    if (!file.Read(namesOffset, names.data(), names.size()))
        return std::nullopt;

    const std::string_view wanted(kVersionSectionName, sizeof kVersionSectionName); // with NUL
    for (uint64_t i = 0; i < count; ++i) {
        const typename Elf::Shdr s = section(i);
        const uint64_t nameOffset = order(s.sh_name);
        if (nameOffset >= names.size() || names.size() - nameOffset < wanted.size() ||
            std::string_view(names.data() + nameOffset, wanted.size()) != wanted)
            continue;
        if (order(s.sh_type) == SHT_NOBITS || order(s.sh_size) < sizeof(VersionRecord))
            return std::nullopt;
        VersionRecord record;
        if (!file.Read(order(s.sh_offset), &record, sizeof record) ||
            std::memcmp(record.magic, kVersionRecordMagic, sizeof record.magic) != 0)
            return std::nullopt;
        for (uint16_t& part : record.fileVersion)
            part = order(part);
        for (uint16_t& part : record.productVersion)
            part = order(part);
        record.productName[sizeof record.productName - 1] = '\0';
        return record;
    }
    return std::nullopt;
}

} // namespace

std::optional<VersionRecord> ReadVersionRecord(const QString& path) {
    const ElfFile file(path);
    unsigned char ident[EI_NIDENT];
    if (!file.IsOpen() || !file.Read(0, ident, sizeof ident) ||
        std::memcmp(ident, ELFMAG, SELFMAG) != 0)
        return std::nullopt;
    const bool littleEndianFile = ident[EI_DATA] == ELFDATA2LSB;
    if (!littleEndianFile && ident[EI_DATA] != ELFDATA2MSB)
        return std::nullopt;
    const ByteOrder order(littleEndianFile != (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__));
    switch (ident[EI_CLASS]) {
    case ELFCLASS32:
        return FindRecord<Elf32>(file, order);
    case ELFCLASS64:
        return FindRecord<Elf64>(file, order);
    default:
        return std::nullopt;
    }
}

QString GetFileVersionText(const QString& path) {
    const std::optional<VersionRecord> record = ReadVersionRecord(path);
    if (!record)
        return {};
    const uint16_t* v = record->fileVersion;
    return QStringLiteral("%1.%2.%3.%4").arg(v[0]).arg(v[1]).arg(v[2]).arg(v[3]);
}
