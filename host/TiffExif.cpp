// EXIF into TIFF. The EXIF block is read entry by entry with every offset checked against its
// size (it comes from a file); its values are turned into little-endian order element by element
// (rationals as two longs), so that they mean in the output what they meant in the block.
#include "host/TiffExif.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace vt::host {

namespace {

constexpr uint16_t ExifIfdTag = 34665, GpsIfdTag = 34853, InteropIfdTag = 40965;
constexpr uint16_t LongType = 4;
constexpr uint32_t MaxEntries = 1000;
constexpr uint64_t MaxValue = 1 << 24;

// Bytes of one value of a TIFF field type (0 for types this reader does not know).
size_t TypeSize(uint16_t type) {
    switch (type) {
    case 1: // BYTE
    case 2: // ASCII
    case 6: // SBYTE
    case 7: // UNDEFINED
        return 1;
    case 3: // SHORT
    case 8: // SSHORT
        return 2;
    case 4:  // LONG
    case 9:  // SLONG
    case 11: // FLOAT
    case 13: // IFD
        return 4;
    case 5:  // RATIONAL
    case 10: // SRATIONAL
    case 12: // DOUBLE
        return 8;
    default:
        return 0;
    }
}

// The unit a value's bytes are swapped in: rationals are two longs.
size_t SwapUnit(uint16_t type) {
    return type == 5 || type == 10 ? 4 : TypeSize(type);
}

// The EXIF block (after "Exif\0\0", a TIFF header and directories, in either byte order) or a
// TIFF file's own header and directories, read piece by piece.
class TBlock {
public:
    TBlock(const uint8_t* data, size_t size) {
        if (size >= 6 && std::memcmp(data, "Exif\0\0", 6) == 0) {
            data += 6;
            size -= 6;
        }
        Data = data;
        Size = size;
        Start();
    }
    explicit TBlock(const std::string& path) : File(path, std::ios::binary) {
        File.seekg(0, std::ios::end);
        Size = File ? static_cast<uint64_t>(File.tellg()) : 0;
        Start();
    }

    bool Valid = false;
    bool Big = false;
    uint32_t First = 0;

    bool Has(uint64_t at, uint64_t n) const { return at <= Size && n <= Size - at; }
    // N bytes from At (which Has must allow).
    std::vector<uint8_t> Bytes(uint64_t at, size_t n) {
        std::vector<uint8_t> bytes(n);
        if (Data != nullptr) {
            std::memcpy(bytes.data(), Data + at, n);
        } else {
            File.seekg(static_cast<std::streamoff>(at));
            if (!File.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(n)))
                bytes.assign(n, 0);
        }
        return bytes;
    }
    uint16_t U16(uint64_t at) { return static_cast<uint16_t>(Number(Bytes(at, 2))); }
    uint32_t U32(uint64_t at) { return static_cast<uint32_t>(Number(Bytes(at, 4))); }

private:
    void Start() {
        if (Size < 8)
            return;
        const std::vector<uint8_t> order = Bytes(0, 2);
        if (order[0] == 'I' && order[1] == 'I')
            Big = false;
        else if (order[0] == 'M' && order[1] == 'M')
            Big = true;
        else
            return;
        Valid = U16(2) == 42;
        First = U32(4);
    }
    uint64_t Number(const std::vector<uint8_t>& bytes) const {
        uint64_t v = 0;
        for (size_t k = 0; k < bytes.size(); ++k)
            v |= uint64_t{bytes[k]} << (8 * (Big ? bytes.size() - 1 - k : k));
        return v;
    }

    const uint8_t* Data = nullptr;
    std::ifstream File;
    uint64_t Size = 0;
};

struct TEntry {
    uint16_t Tag = 0, Type = 0;
    uint32_t Count = 0;
    std::vector<uint8_t> Value; // little-endian
    bool Directory = false;     // a pointer to a directory of the block
    uint32_t Pointer = 0;
};

uint32_t LittleU32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool IsDirectoryTag(uint16_t tag) {
    return tag == ExifIfdTag || tag == GpsIfdTag || tag == InteropIfdTag;
}

// The entries of the directory at Offset whose values lie within the block; false when the
// directory itself does not.
bool ReadDirectory(TBlock& b, uint32_t offset, std::vector<TEntry>& entries) {
    if (!b.Has(offset, 2))
        return false;
    const uint32_t n = b.U16(offset);
    if (n > MaxEntries || !b.Has(uint64_t{offset} + 2, uint64_t{n} * 12))
        return false;
    for (uint32_t i = 0; i < n; ++i) {
        const uint64_t at = offset + 2 + uint64_t{i} * 12;
        TEntry e;
        e.Tag = b.U16(at);
        e.Type = b.U16(at + 2);
        e.Count = b.U32(at + 4);
        const uint64_t total = uint64_t{TypeSize(e.Type)} * e.Count;
        if (TypeSize(e.Type) == 0 || total > MaxValue)
            continue;
        const uint64_t from = total <= 4 ? at + 8 : b.U32(at + 8);
        if (!b.Has(from, total))
            continue;
        e.Value = b.Bytes(from, static_cast<size_t>(total));
        if (b.Big) {
            const size_t unit = SwapUnit(e.Type);
            for (size_t k = 0; k + unit <= e.Value.size(); k += unit)
                std::reverse(e.Value.begin() + static_cast<std::ptrdiff_t>(k),
                             e.Value.begin() + static_cast<std::ptrdiff_t>(k + unit));
        }
        if (IsDirectoryTag(e.Tag)) {
            if ((e.Type != LongType && e.Type != 13) || e.Count != 1)
                continue;
            e.Directory = true;
            e.Pointer = LittleU32(e.Value.data());
        }
        entries.push_back(std::move(e));
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const TEntry& a, const TEntry& c) { return a.Tag < c.Tag; });
    return true;
}

void PutU16(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    out[at] = static_cast<uint8_t>(v);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
}
void PutU32(std::vector<uint8_t>& out, size_t at, uint64_t v) {
    for (size_t k = 0; k < 4; ++k)
        out[at + k] = static_cast<uint8_t>(v >> (8 * k));
}
void Align(std::vector<uint8_t>& out, uint64_t base) {
    if ((base + out.size()) % 2 != 0)
        out.push_back(0);
}

// Writes the entries as a directory at the end of Out (which will lie at Base in the file):
// the directory, then the values longer than four bytes. Returns its offset in the file.
uint64_t WriteDirectory(const std::vector<TEntry>& entries, uint64_t base,
                        std::vector<uint8_t>& out) {
    Align(out, base);
    const size_t at = out.size();
    const uint64_t offset = base + at;
    out.resize(at + 2 + 12 * entries.size() + 4, 0);
    PutU16(out, at, static_cast<uint32_t>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        const TEntry& e = entries[i];
        const size_t slot = at + 2 + 12 * i;
        PutU16(out, slot, e.Tag);
        PutU16(out, slot + 2, e.Type);
        PutU32(out, slot + 4, e.Count);
        if (e.Value.size() <= 4) {
            std::copy(e.Value.begin(), e.Value.end(),
                      out.begin() + static_cast<std::ptrdiff_t>(slot + 8));
        } else {
            Align(out, base);
            PutU32(out, slot + 8, base + out.size());
            out.insert(out.end(), e.Value.begin(), e.Value.end());
        }
    }
    return offset;
}

// Copies the block's directory at Offset, and the directories it points to (to Depth levels),
// to the end of Out; 0 when it cannot be read.
uint64_t CopyDirectory(TBlock& b, uint32_t offset, uint64_t base, std::vector<uint8_t>& out,
                       int depth) {
    std::vector<TEntry> entries;
    if (!ReadDirectory(b, offset, entries))
        return 0;
    std::vector<TEntry> kept;
    for (TEntry& e : entries) {
        if (e.Directory) {
            const uint64_t sub = depth > 0 ? CopyDirectory(b, e.Pointer, base, out, depth - 1) : 0;
            if (sub == 0)
                continue;
            e.Type = LongType;
            e.Value.assign(4, 0);
            for (size_t k = 0; k < 4; ++k)
                e.Value[k] = static_cast<uint8_t>(sub >> (8 * k));
        }
        kept.push_back(std::move(e));
    }
    return WriteDirectory(kept, base, out);
}

} // namespace

std::vector<std::pair<uint16_t, std::string>> ExifTextTags(const uint8_t* exif, size_t size) {
    std::vector<std::pair<uint16_t, std::string>> tags;
    if (exif == nullptr)
        return tags;
    TBlock block(exif, size);
    std::vector<TEntry> entries;
    if (!block.Valid || !ReadDirectory(block, block.First, entries))
        return tags;
    for (const TEntry& e : entries) {
        const bool text = e.Tag == 270 || e.Tag == 271 || e.Tag == 272 || e.Tag == 305 ||
                          e.Tag == 306 || e.Tag == 315 || e.Tag == 33432;
        if (!text || e.Type != 2)
            continue;
        std::string value(e.Value.begin(), e.Value.end());
        value = value.substr(0, value.find('\0'));
        if (!value.empty())
            tags.emplace_back(e.Tag, value);
    }
    return tags;
}

namespace {

bool Append(const std::string& path, TBlock& block) {
    std::vector<TEntry> first;
    if (!block.Valid || !ReadDirectory(block, block.First, first))
        return false;
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    uint8_t header[8] = {};
    if (!file.read(reinterpret_cast<char*>(header), 8) || std::memcmp(header, "II*\0", 4) != 0)
        return false;
    file.seekg(0, std::ios::end);
    const auto end = static_cast<uint64_t>(file.tellg());
    // The output's first directory as it stands: its entries stay, their values where they are.
    const uint32_t ifd0 = LittleU32(header + 4);
    uint8_t count[2];
    file.seekg(ifd0);
    if (!file.read(reinterpret_cast<char*>(count), 2))
        return false;
    const size_t n = static_cast<size_t>(count[0] | count[1] << 8);
    std::vector<uint8_t> own(12 * n + 4);
    if (!file.read(reinterpret_cast<char*>(own.data()), static_cast<std::streamsize>(own.size())))
        return false;

    const uint64_t base = end + end % 2;
    std::vector<uint8_t> out(base - end, 0);
    std::vector<std::pair<uint16_t, uint64_t>> pointers;
    for (const TEntry& e : first)
        if (e.Directory && (e.Tag == ExifIfdTag || e.Tag == GpsIfdTag)) {
            const uint64_t at = CopyDirectory(block, e.Pointer, end, out, e.Tag == ExifIfdTag);
            if (at != 0)
                pointers.emplace_back(e.Tag, at);
        }
    if (pointers.empty())
        return false;
    // The new first directory: the output's entries and the pointers, in tag order.
    std::vector<std::vector<uint8_t>> entries;
    for (size_t i = 0; i < n; ++i)
        entries.emplace_back(own.begin() + static_cast<std::ptrdiff_t>(12 * i),
                             own.begin() + static_cast<std::ptrdiff_t>(12 * i + 12));
    for (const auto& [tag, at] : pointers) {
        std::vector<uint8_t> e(12, 0);
        PutU16(e, 0, tag);
        PutU16(e, 2, LongType);
        PutU32(e, 4, 1);
        PutU32(e, 8, at);
        entries.push_back(e);
    }
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& c) {
        return (a[0] | a[1] << 8) < (c[0] | c[1] << 8);
    });
    Align(out, end);
    const uint64_t newFirst = end + out.size();
    const size_t at = out.size();
    out.resize(at + 2 + 12 * entries.size() + 4);
    PutU16(out, at, static_cast<uint32_t>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i)
        std::copy(entries[i].begin(), entries[i].end(),
                  out.begin() + static_cast<std::ptrdiff_t>(at + 2 + 12 * i));
    std::copy(own.end() - 4, own.end(), out.end() - 4); // the next directory, as it was
    if (end + out.size() > UINT32_MAX)
        return false;

    file.clear();
    file.seekp(static_cast<std::streamoff>(end));
    file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
    std::vector<uint8_t> pointer(4);
    PutU32(pointer, 0, newFirst);
    file.seekp(4);
    file.write(reinterpret_cast<const char*>(pointer.data()), 4);
    file.flush();
    if (!file)
        throw std::runtime_error("cannot write " + path + ": the EXIF directories");
    return true;
}

} // namespace

bool AppendExif(const std::string& path, const uint8_t* exif, size_t size) {
    TBlock block(exif, size);
    return Append(path, block);
}

bool AppendExifOfTiff(const std::string& path, const std::string& tiff) {
    TBlock block(tiff);
    return Append(path, block);
}

} // namespace vt::host
