// Reads the built Veltrane.dll as a file: a 32-bit image whose export directory names the
// module "Veltrane.dll" and holds exactly ProcessImage (ordinal 1) and RegisterPlugin
// (ordinal 2), which needs no DLL beyond the system's own, and whose version resource carries
// the module's version numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

class TPeFile {
public:
    explicit TPeFile(const char* path) {
        std::ifstream in(path, std::ios::binary);
        Bytes.assign(std::istreambuf_iterator<char>(in), {});
        if (Bytes.size() < 0x200)
            throw std::runtime_error("cannot read the module");
        Nt = U32(0x3C);
        const uint32_t optional = Nt + 24;
        const uint16_t sections = U16(Nt + 6);
        const uint32_t sectionTable = optional + U16(Nt + 20);
        for (uint16_t i = 0; i < sections; ++i) {
            const uint32_t s = sectionTable + 40u * i;
            Sections.push_back({U32(s + 12), U32(s + 8), U32(s + 20)});
        }
    }

    uint16_t U16(uint32_t at) const {
        return static_cast<uint16_t>(Bytes.at(at) | Bytes.at(at + 1) << 8);
    }
    uint32_t U32(uint32_t at) const { return U16(at) | static_cast<uint32_t>(U16(at + 2)) << 16; }
    uint32_t Offset(uint32_t rva) const {
        for (const TSection& s : Sections)
            if (rva >= s.Rva && rva < s.Rva + s.Size)
                return rva - s.Rva + s.Raw;
        throw std::runtime_error("address outside every section");
    }
    std::string Text(uint32_t rva) const {
        std::string s;
        for (uint32_t at = Offset(rva); Bytes.at(at) != 0; ++at)
            s += static_cast<char>(Bytes[at]);
        return s;
    }
    uint16_t Machine() const { return U16(Nt + 4); }
    // Data directory entry i: (rva, size).
    std::pair<uint32_t, uint32_t> Directory(int i) const {
        const uint32_t at = Nt + 24 + 96 + 8u * static_cast<uint32_t>(i);
        return {U32(at), U32(at + 4)};
    }

    std::vector<uint8_t> Bytes;

private:
    struct TSection {
        uint32_t Rva, Size, Raw;
    };
    uint32_t Nt = 0;
    std::vector<TSection> Sections;
};

// One node of a version-information block.
struct TVersionNode {
    std::string Key;
    std::vector<uint8_t> Value; // raw bytes
    std::string Text;           // for text values
    std::vector<TVersionNode> Children;
};

std::string Utf16At(const std::vector<uint8_t>& b, uint32_t& at) {
    std::string s;
    for (;;) {
        const uint16_t c = static_cast<uint16_t>(b.at(at) | b.at(at + 1) << 8);
        at += 2;
        if (c == 0)
            return s;
        s += static_cast<char>(c);
    }
}

uint32_t Align4(uint32_t x) {
    return (x + 3u) & ~3u;
}

TVersionNode ParseVersion(const std::vector<uint8_t>& b, uint32_t start) {
    TVersionNode node;
    const uint32_t length = static_cast<uint32_t>(b.at(start) | b.at(start + 1) << 8);
    const uint32_t valueLength = static_cast<uint32_t>(b.at(start + 2) | b.at(start + 3) << 8);
    const bool text = (b.at(start + 4) | b.at(start + 5) << 8) == 1;
    uint32_t at = start + 6;
    node.Key = Utf16At(b, at);
    at = Align4(at);
    if (valueLength > 0) {
        if (text) {
            uint32_t t = at;
            node.Text = Utf16At(b, t);
            at += valueLength * 2;
        } else {
            node.Value.assign(&b.at(at), &b.at(at) + valueLength);
            at += valueLength;
        }
    }
    at = Align4(at);
    while (at < start + length) {
        const uint32_t childLength = static_cast<uint32_t>(b.at(at) | b.at(at + 1) << 8);
        if (childLength == 0)
            break;
        node.Children.push_back(ParseVersion(b, at));
        at = Align4(at + childLength);
    }
    return node;
}

} // namespace

TEST(DllImage, Is32BitWithExactlyTheTwoExports) {
    TPeFile pe(VT_DLL_PATH);
    EXPECT_EQ(pe.Machine(), 0x14C) << "i386";
    const auto [rva, size] = pe.Directory(0);
    ASSERT_NE(rva, 0u);
    const uint32_t at = pe.Offset(rva);
    EXPECT_EQ(pe.Text(pe.U32(at + 12)), "Veltrane.dll");
    EXPECT_EQ(pe.U32(at + 16), 1u) << "ordinal base";
    ASSERT_EQ(pe.U32(at + 20), 2u) << "functions";
    ASSERT_EQ(pe.U32(at + 24), 2u) << "names";
    const uint32_t names = pe.Offset(pe.U32(at + 32));
    const uint32_t ordinals = pe.Offset(pe.U32(at + 36));
    std::map<std::string, unsigned> exports;
    for (uint32_t i = 0; i < 2; ++i)
        exports[pe.Text(pe.U32(names + 4 * i))] = pe.U16(ordinals + 2 * i) + 1u;
    EXPECT_EQ(exports,
              (std::map<std::string, unsigned>{{"ProcessImage", 1}, {"RegisterPlugin", 2}}));
}

TEST(DllImage, NeedsOnlySystemDlls) {
    TPeFile pe(VT_DLL_PATH);
    const auto [rva, size] = pe.Directory(1);
    std::set<std::string> dlls;
    for (uint32_t at = pe.Offset(rva); pe.U32(at + 12) != 0; at += 20) {
        std::string name = pe.Text(pe.U32(at + 12));
        std::transform(name.begin(), name.end(), name.begin(), [](char c) {
            return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        });
        dlls.insert(name);
    }
    const std::set<std::string> system = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll",
                                          "advapi32.dll"};
    for (const std::string& dll : dlls)
        EXPECT_TRUE(system.count(dll)) << dll << " is not a system DLL";
    EXPECT_TRUE(dlls.count("user32.dll"));
}

TEST(DllImage, CarriesTheVersionResource) {
    TPeFile pe(VT_DLL_PATH);
    const auto [rva, size] = pe.Directory(2);
    ASSERT_NE(rva, 0u);
    const uint32_t root = pe.Offset(rva);
    // Walks one level of the resource tree to the entry with the given id.
    auto entry = [&](uint32_t dir, uint32_t id) -> uint32_t {
        const uint32_t count = pe.U16(dir + 12) + pe.U16(dir + 14);
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t e = dir + 16 + 8 * i;
            if (id == 0xFFFFFFFFu || pe.U32(e) == id)
                return pe.U32(e + 4);
        }
        throw std::runtime_error("resource not found");
    };
    const uint32_t types = entry(root, 16);                        // RT_VERSION
    const uint32_t names = entry(root + (types & 0x7FFFFFFFu), 1); // id 1
    const uint32_t langs = entry(root + (names & 0x7FFFFFFFu), 0xFFFFFFFFu);
    const uint32_t data = root + langs;
    const uint32_t blockRva = pe.U32(data);
    const uint32_t blockSize = pe.U32(data + 4);
    const uint32_t blockAt = pe.Offset(blockRva);
    std::vector<uint8_t> block(&pe.Bytes.at(blockAt), &pe.Bytes.at(blockAt) + blockSize);

    const TVersionNode info = ParseVersion(block, 0);
    EXPECT_EQ(info.Key, "VS_VERSION_INFO");
    ASSERT_EQ(info.Value.size(), 52u);
    auto dword = [&](size_t i) {
        uint32_t v;
        std::memcpy(&v, info.Value.data() + 4 * i, 4);
        return v;
    };
    EXPECT_EQ(dword(0), 0xFEEF04BDu);
    EXPECT_EQ(dword(2), (1u << 16) | 1u) << "file version 1.1";
    EXPECT_EQ(dword(3), (2005u << 16) | 0u) << "file version .2005.0";
    EXPECT_EQ(dword(4), (1u << 16) | 1u) << "product version 1.1";
    EXPECT_EQ(dword(5), (2005u << 16) | 0u) << "product version .2005.0";

    const TVersionNode* table = nullptr;
    for (const TVersionNode& child : info.Children)
        if (child.Key == "StringFileInfo" && !child.Children.empty())
            table = &child.Children.front();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->Key, "040904E4");
    std::map<std::string, std::string> strings;
    for (const TVersionNode& s : table->Children)
        strings[s.Key] = s.Text;
    EXPECT_EQ(strings["FileVersion"], "1.1.2005.0");
    EXPECT_EQ(strings["ProductVersion"], "1.0.0.0");
    for (const auto& [key, value] : strings) {
        if (key != "FileVersion" && key != "ProductVersion") {
            EXPECT_EQ(value, "") << key;
        }
    }
}
