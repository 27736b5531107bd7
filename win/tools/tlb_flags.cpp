// Sets type flags on one type description of a finished MSFT type library, in place:
//   tlb_flags LIBRARY.tlb TYPENAME FLAGS
// FLAGS (decimal or 0x hex) are or-ed into the type's flags. widl refuses some
// attributes (nonextensible on a dispinterface) that the library must still carry, and
// this is the smallest honest way to get them there: the same field that
// ICreateTypeInfo::SetTypeFlags writes. Runs on the build machine, so plain C++ only.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kMagic = 0x5446534D;  // "MSFT"
constexpr size_t kHeaderSize = 0x54;
constexpr uint32_t kHelpDllFlag = 0x100;
constexpr size_t kTypeInfoSize = 0x64;
constexpr size_t kTypeInfoFlags = 0x30;
constexpr size_t kTypeInfoName = 0x34;
constexpr size_t kSegmentSize = 16;
constexpr int kTypeInfoSegment = 0;
constexpr int kNameSegment = 7;

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "tlb_flags: %s\n", why.c_str());
    std::exit(1);
}

class Library {
  public:
    explicit Library(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)) {}

    uint32_t u32(size_t at) const {
        if (at + 4 > bytes_.size()) fail("the library is truncated");
        uint32_t v;
        std::memcpy(&v, &bytes_[at], 4);
        return v;  // the format is little-endian, as is every machine this runs on
    }
    void set_u32(size_t at, uint32_t v) { std::memcpy(&bytes_[at], &v, 4); }
    const std::vector<unsigned char>& bytes() const { return bytes_; }

    size_t segment(int index) const {
        const uint32_t count = u32(0x20);
        size_t directory = kHeaderSize + 4u * count;
        if (u32(0x14) & kHelpDllFlag) directory += 4;
        return u32(directory + static_cast<size_t>(index) * kSegmentSize);
    }

    std::string name_at(uint32_t offset) const {
        const size_t at = segment(kNameSegment) + offset;
        const uint32_t length = u32(at + 8) & 0xFF;
        if (at + 12 + length > bytes_.size()) fail("a name runs past the end");
        return std::string(reinterpret_cast<const char*>(&bytes_[at + 12]), length);
    }

    // Offset of the type description with this name, in the file.
    size_t find_type(const std::string& name) const {
        if (u32(0) != kMagic) fail("not an MSFT type library");
        const uint32_t count = u32(0x20);
        const size_t table = segment(kTypeInfoSegment);
        for (uint32_t i = 0; i < count; ++i) {
            const size_t at = table + u32(kHeaderSize + 4u * i);
            if (at + kTypeInfoSize > bytes_.size()) fail("a type description runs past the end");
            if (name_at(u32(at + kTypeInfoName)) == name) return at;
        }
        fail("no type named " + name);
    }

  private:
    std::vector<unsigned char> bytes_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) fail("usage: tlb_flags LIBRARY.tlb TYPENAME FLAGS");
    const std::string path = argv[1];
    char* end = nullptr;
    const unsigned long flags = std::strtoul(argv[3], &end, 0);
    if (*end != '\0' || flags == 0 || flags > 0xFFFF) fail("FLAGS must be a type flag value");

    std::ifstream in(path, std::ios::binary);
    if (!in) fail("cannot read " + path);
    Library library(std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {}));
    in.close();

    const size_t at = library.find_type(argv[2]);
    library.set_u32(at + kTypeInfoFlags,
                    library.u32(at + kTypeInfoFlags) | static_cast<uint32_t>(flags));

    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(library.bytes().data()),
              static_cast<std::streamsize>(library.bytes().size()));
    if (!out) fail("cannot write " + path);
    return 0;
}
