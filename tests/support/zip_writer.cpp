#include "zip_writer.h"

#define ZLIB_CONST
#include <zlib.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <stdexcept>

namespace {

constexpr std::uint16_t kVersion = 20;  // 2.0: deflate and directories
constexpr std::uint16_t kFlagUtf8 = 1u << 11;
constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflated = 8;
constexpr std::uint16_t kDosTime = 0;                               // 00:00:00
constexpr std::uint16_t kDosDate = ((2024 - 1980) << 9) | (1 << 5) | 1;  // 2024-01-01
constexpr std::uint32_t kDosDirectoryAttribute = 0x10;

class ByteWriter {
public:
    void U16(std::uint16_t value) {
        bytes_ += static_cast<char>(value & 0xFF);
        bytes_ += static_cast<char>(value >> 8);
    }
    void U32(std::uint32_t value) {
        U16(static_cast<std::uint16_t>(value & 0xFFFF));
        U16(static_cast<std::uint16_t>(value >> 16));
    }
    void Raw(const std::string& text) { bytes_ += text; }
    std::uint32_t Offset() const { return Checked(bytes_.size()); }
    const std::string& bytes() const { return bytes_; }

    static std::uint32_t Checked(std::size_t size) {
        if (size > std::numeric_limits<std::uint32_t>::max()) throw std::runtime_error("ZIP too large");
        return static_cast<std::uint32_t>(size);
    }
    static std::uint16_t Checked16(std::size_t size) {
        if (size > std::numeric_limits<std::uint16_t>::max()) throw std::runtime_error("ZIP name or count too large");
        return static_cast<std::uint16_t>(size);
    }

private:
    std::string bytes_;
};

std::string RawDeflate(const std::string& data) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("cannot initialise zlib");
    }
    std::string out(deflateBound(&stream, ByteWriter::Checked(data.size())), '\0');
    stream.next_in = reinterpret_cast<const Bytef*>(data.data());
    stream.avail_in = ByteWriter::Checked(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = ByteWriter::Checked(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) throw std::runtime_error("deflate failed");
    return out;
}

struct Record {
    const ZipEntry* entry;
    std::uint16_t method;
    std::uint32_t crc;
    std::uint32_t compressedSize;
    std::uint32_t localOffset;
};

// The fields shared by the local header and the central directory record.
void CommonFields(ByteWriter& out, const Record& record) {
    out.U16(kVersion);
    out.U16(kFlagUtf8);
    out.U16(record.method);
    out.U16(kDosTime);
    out.U16(kDosDate);
    out.U32(record.crc);
    out.U32(record.compressedSize);
    out.U32(ByteWriter::Checked(record.entry->data.size()));
    out.U16(ByteWriter::Checked16(record.entry->name.size()));
    out.U16(0);  // extra field length
}

}  // namespace

void WriteZip(const std::filesystem::path& zipPath, const std::vector<ZipEntry>& entries, bool deflate) {
    ByteWriter out;
    std::vector<Record> records;
    for (const ZipEntry& entry : entries) {
        const bool compress = deflate && !entry.name.ends_with('/');
        const std::string payload = compress ? RawDeflate(entry.data) : entry.data;
        const Record record{&entry, compress ? kMethodDeflated : kMethodStored,
                            static_cast<std::uint32_t>(
                                crc32(0, reinterpret_cast<const Bytef*>(entry.data.data()),
                                      ByteWriter::Checked(entry.data.size()))),
                            ByteWriter::Checked(payload.size()), out.Offset()};
        out.U32(0x04034b50);
        CommonFields(out, record);
        out.Raw(entry.name);
        out.Raw(payload);
        records.push_back(record);
    }

    const std::uint32_t directoryOffset = out.Offset();
    for (const Record& record : records) {
        out.U32(0x02014b50);
        out.U16(kVersion);  // made by: MS-DOS host, so attributes are DOS ones
        CommonFields(out, record);
        out.U16(0);  // comment length
        out.U16(0);  // disk number
        out.U16(0);  // internal attributes
        out.U32(record.entry->name.ends_with('/') ? kDosDirectoryAttribute : 0);
        out.U32(record.localOffset);
        out.Raw(record.entry->name);
    }
    const std::uint32_t directorySize = out.Offset() - directoryOffset;

    out.U32(0x06054b50);
    out.U16(0);  // this disk
    out.U16(0);  // disk with the central directory
    out.U16(ByteWriter::Checked16(records.size()));
    out.U16(ByteWriter::Checked16(records.size()));
    out.U32(directorySize);
    out.U32(directoryOffset);
    out.U16(0);  // comment length

    std::ofstream file(zipPath, std::ios::binary | std::ios::trunc);
    file.write(out.bytes().data(), static_cast<std::streamsize>(out.bytes().size()));
    file.close();
    if (!file) {
        const std::u8string name = zipPath.u8string();
        throw std::runtime_error("cannot write " + std::string(name.begin(), name.end()));
    }
}
