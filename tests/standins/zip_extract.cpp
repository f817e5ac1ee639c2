#include "zip_extract.h"

#include "standin_common.h"

#define ZLIB_CONST
#include <zlib.h>

#include <windows.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace standin {
namespace {

using Bytes = std::span<const unsigned char>;

constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kLocalSize = 30;
constexpr std::size_t kMaxCommentSize = 0xFFFF;
constexpr std::uint16_t kFlagEncrypted = 1u << 0;
constexpr std::uint16_t kFlagUtf8 = 1u << 11;
constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflated = 8;

[[noreturn]] void Fail(const std::string& why) { throw std::runtime_error(why); }

// Bounds-checked little-endian access to the archive bytes.
class Reader {
public:
    explicit Reader(Bytes bytes) : bytes_(bytes) {}

    std::size_t size() const { return bytes_.size(); }

    Bytes Slice(std::size_t at, std::size_t length) const {
        if (at > bytes_.size() || length > bytes_.size() - at) Fail("archive is truncated");
        return bytes_.subspan(at, length);
    }
    std::uint16_t U16(std::size_t at) const {
        const Bytes b = Slice(at, 2);
        return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
    }
    std::uint32_t U32(std::size_t at) const {
        const Bytes b = Slice(at, 4);
        return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
               (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
    }

private:
    Bytes bytes_;
};

struct Entry {
    std::filesystem::path relative;
    bool directory = false;
    std::uint16_t method = 0;
    std::uint32_t crc = 0;
    std::uint32_t compressedSize = 0;
    std::uint32_t size = 0;
    std::uint32_t localOffset = 0;
};

std::vector<unsigned char> ReadWholeFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) Fail("cannot open archive " + ToUtf8(file.wstring()));
    std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) Fail("cannot read archive");
    return bytes;
}

std::wstring DecodeName(Bytes raw, bool utf8) {
    const std::string_view text(reinterpret_cast<const char*>(raw.data()), raw.size());
    if (utf8) return FromUtf8(text);
    // Without the UTF-8 flag the name is in the IBM PC code page.
    const int size = MultiByteToWideChar(437, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring name(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(437, 0, text.data(), static_cast<int>(text.size()), name.data(), size);
    return name;
}

// Windows silently drops trailing dots and spaces from a name, so "..." or
// ".. " could turn into a parent reference; such names are refused outright.
bool IsSafeComponent(std::wstring_view part) {
    if (part.empty() || part.back() == L'.' || part.back() == L' ') return false;
    for (const wchar_t c : part) {
        if (c < 0x20 || std::wstring_view(L"<>:\"|?*\\").find(c) != std::wstring_view::npos) return false;
    }
    return true;
}

// Turns an entry name into a path relative to the target, refusing anything
// that could land elsewhere: absolute names, drive letters, "..", backslashes.
std::filesystem::path SafeRelativePath(std::wstring name, bool& directory) {
    directory = !name.empty() && name.back() == L'/';
    if (directory) name.pop_back();
    if (name.empty()) Fail("entry has an empty name");
    std::filesystem::path relative;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = name.find(L'/', start);
        const std::wstring part = name.substr(start, slash - start);
        if (!IsSafeComponent(part)) Fail("unsafe entry name: " + ToUtf8(name));
        relative /= part;
        if (slash == std::wstring::npos) break;
        start = slash + 1;
    }
    if (!relative.is_relative() || relative.has_root_name()) Fail("unsafe entry name: " + ToUtf8(name));
    return relative;
}

std::size_t FindEndRecord(const Reader& archive) {
    if (archive.size() < kEndSize) Fail("not a ZIP archive");
    const std::size_t last = archive.size() - kEndSize;
    const std::size_t first = last > kMaxCommentSize ? last - kMaxCommentSize : 0;
    for (std::size_t at = last + 1; at-- > first;) {
        if (archive.U32(at) == kEndSignature && archive.U16(at + 20) == last - at) return at;
    }
    Fail("not a ZIP archive");
}

// Sizes come from the central directory, which is authoritative even when
// the local headers defer them to data descriptors.
std::vector<Entry> ReadCentralDirectory(const Reader& archive) {
    const std::size_t end = FindEndRecord(archive);
    const std::uint16_t count = archive.U16(end + 10);
    if (archive.U16(end + 4) != 0 || archive.U16(end + 6) != 0 || archive.U16(end + 8) != count) {
        Fail("multi-volume archives are not supported");
    }
    const std::uint32_t directorySize = archive.U32(end + 12);
    const std::uint32_t directoryOffset = archive.U32(end + 16);
    if (count == 0xFFFF || directoryOffset == 0xFFFFFFFF) Fail("ZIP64 archives are not supported");
    const Reader directory(archive.Slice(directoryOffset, directorySize));

    std::vector<Entry> entries;
    std::size_t at = 0;
    for (std::uint16_t index = 0; index < count; ++index) {
        if (directory.U32(at) != kCentralSignature) Fail("central directory is corrupt");
        const std::uint16_t flags = directory.U16(at + 8);
        const std::size_t nameLength = directory.U16(at + 28);
        const std::size_t extraLength = directory.U16(at + 30);
        const std::size_t commentLength = directory.U16(at + 32);
        Entry entry;
        entry.method = directory.U16(at + 10);
        entry.crc = directory.U32(at + 16);
        entry.compressedSize = directory.U32(at + 20);
        entry.size = directory.U32(at + 24);
        entry.localOffset = directory.U32(at + 42);
        if (flags & kFlagEncrypted) Fail("encrypted entries are not supported");
        if (entry.method != kMethodStored && entry.method != kMethodDeflated) {
            Fail("unsupported compression method " + std::to_string(entry.method));
        }
        if (entry.compressedSize == 0xFFFFFFFF || entry.size == 0xFFFFFFFF || entry.localOffset == 0xFFFFFFFF) {
            Fail("ZIP64 entries are not supported");
        }
        const std::wstring name = DecodeName(directory.Slice(at + kCentralSize, nameLength), flags & kFlagUtf8);
        entry.relative = SafeRelativePath(name, entry.directory);
        entries.push_back(std::move(entry));
        at += kCentralSize + nameLength + extraLength + commentLength;
    }
    return entries;
}

class InflateStream {
public:
    InflateStream() {
        if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) Fail("cannot initialise zlib");
    }
    ~InflateStream() { inflateEnd(&stream_); }
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;

    z_stream* get() { return &stream_; }

private:
    z_stream stream_{};
};

std::vector<unsigned char> Inflate(Bytes compressed, std::uint32_t size) {
    // One spare byte: zlib needs a non-null output buffer even for empty data,
    // and a stream producing more than declared then shows up as a mismatch.
    std::vector<unsigned char> data(static_cast<std::size_t>(size) + 1);
    InflateStream inflater;
    z_stream* stream = inflater.get();
    stream->next_in = compressed.data();
    stream->avail_in = static_cast<uInt>(compressed.size());
    stream->next_out = data.data();
    stream->avail_out = static_cast<uInt>(data.size());
    if (inflate(stream, Z_FINISH) != Z_STREAM_END || stream->total_out != size) Fail("deflated data is corrupt");
    data.pop_back();
    return data;
}

std::vector<unsigned char> EntryData(const Reader& archive, const Entry& entry) {
    if (archive.U32(entry.localOffset) != kLocalSignature) Fail("local header is corrupt");
    const std::size_t dataStart = std::size_t{entry.localOffset} + kLocalSize + archive.U16(entry.localOffset + 26) +
                                  archive.U16(entry.localOffset + 28);
    const Bytes compressed = archive.Slice(dataStart, entry.compressedSize);
    std::vector<unsigned char> data;
    if (entry.method == kMethodDeflated) {
        data = Inflate(compressed, entry.size);
    } else if (entry.compressedSize == entry.size) {
        data.assign(compressed.begin(), compressed.end());
    } else {
        Fail("stored entry sizes disagree");
    }
    if (crc32(0, data.data(), static_cast<uInt>(data.size())) != entry.crc) Fail("CRC-32 mismatch");
    return data;
}

void WriteWholeFile(const std::filesystem::path& file, const std::vector<unsigned char>& data) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out) Fail("cannot write " + ToUtf8(file.wstring()));
}

}  // namespace

void ExtractZip(const std::filesystem::path& zip, const std::filesystem::path& targetDir) {
    const std::vector<unsigned char> bytes = ReadWholeFile(zip);
    const Reader archive{Bytes(bytes)};
    const std::vector<Entry> entries = ReadCentralDirectory(archive);
    std::filesystem::create_directories(targetDir);
    for (const Entry& entry : entries) {
        const std::filesystem::path destination = targetDir / entry.relative;
        if (entry.directory) {
            std::filesystem::create_directories(destination);
            continue;
        }
        const std::vector<unsigned char> data = EntryData(archive, entry);
        std::filesystem::create_directories(destination.parent_path());
        WriteWholeFile(destination, data);
    }
}

}  // namespace standin
