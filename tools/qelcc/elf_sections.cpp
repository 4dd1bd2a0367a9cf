#include "elf_sections.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

namespace qel {
namespace elf {

namespace {

// ELF identification and header fields used here (System V ABI, "ELF
// Header" and "Sections").
constexpr std::size_t kIdentSize = 16;
constexpr unsigned char kClass32 = 1, kClass64 = 2;
constexpr unsigned char kData2Lsb = 1, kData2Msb = 2;
constexpr std::uint32_t kShnXindex = 0xFFFF;  // e_shstrndx escape
constexpr std::uint32_t kShtNobits = 8;
constexpr std::uint64_t kShfCompressed = 0x800;
// A section header table larger than this is not a real file's.
constexpr std::uint64_t kMaxSections = 1u << 20;
// Sizes of the two header layouts, fixed by the ABI.
constexpr std::size_t kEhdr32 = 52, kEhdr64 = 64, kShdr32 = 40, kShdr64 = 64;

struct Layout {
  bool is64 = false;
  bool little = true;
  std::uint64_t Get(const std::string& b, std::size_t at, int bytes) const {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) {
      const unsigned char c = static_cast<unsigned char>(b[at + static_cast<std::size_t>(i)]);
      if (little) {
        v |= static_cast<std::uint64_t>(c) << (8 * i);
      } else {
        v = (v << 8) | c;
      }
    }
    return v;
  }
  // A field that is 4 bytes in ELF32 and 8 in ELF64.
  std::uint64_t Word(const std::string& b, std::size_t at32, std::size_t at64) const {
    return is64 ? Get(b, at64, 8) : Get(b, at32, 4);
  }
};

struct SectionHeader {
  std::uint32_t name = 0;
  std::uint32_t type = 0;
  std::uint64_t flags = 0;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::uint32_t link = 0;
};

SectionHeader ParseHeader(const Layout& l, const std::string& b) {
  SectionHeader h;
  h.name = static_cast<std::uint32_t>(l.Get(b, 0, 4));
  h.type = static_cast<std::uint32_t>(l.Get(b, 4, 4));
  h.flags = l.Word(b, 8, 8);
  h.offset = l.Word(b, 16, 24);
  h.size = l.Word(b, 20, 32);
  h.link = static_cast<std::uint32_t>(l.is64 ? l.Get(b, 40, 4) : l.Get(b, 24, 4));
  return h;
}

// True when [offset, offset + size) lies inside a file of `file_size` bytes.
bool Inside(std::uint64_t offset, std::uint64_t size, std::uint64_t file_size) {
  return offset <= file_size && size <= file_size - offset;
}

}  // namespace

bool MemorySource::Read(std::uint64_t offset, std::size_t n, std::string* out) const {
  if (!Inside(offset, n, bytes_.size())) return false;
  out->assign(bytes_, static_cast<std::size_t>(offset), n);
  return true;
}

Result FindSection(const Source& src, const std::string& name, std::string* contents,
                   std::string* error, std::uint64_t max_size) {
  contents->clear();
  const std::uint64_t file_size = src.Size();
  std::string ident;
  if (!src.Read(0, kIdentSize, &ident) || ident.compare(0, 4,
                                                        "\x7f"
                                                        "ELF") != 0) {
    return Result::kNotElf;
  }
  Layout l;
  const unsigned char cls = static_cast<unsigned char>(ident[4]);
  const unsigned char data = static_cast<unsigned char>(ident[5]);
  if ((cls != kClass32 && cls != kClass64) || (data != kData2Lsb && data != kData2Msb)) {
    *error = "unknown ELF class or byte order";
    return Result::kMalformed;
  }
  l.is64 = cls == kClass64;
  l.little = data == kData2Lsb;
  std::string eh;
  if (!src.Read(0, l.is64 ? kEhdr64 : kEhdr32, &eh)) {
    *error = "the ELF header is cut short";
    return Result::kMalformed;
  }
  const std::uint64_t shoff = l.Word(eh, 32, 40);
  const std::size_t shentsize = static_cast<std::size_t>(l.Get(eh, l.is64 ? 58 : 46, 2));
  std::uint64_t shnum = l.Get(eh, l.is64 ? 60 : 48, 2);
  std::uint64_t shstrndx = l.Get(eh, l.is64 ? 62 : 50, 2);
  if (shoff == 0) return Result::kNoSection;  // no section header table at all
  const std::size_t want = l.is64 ? kShdr64 : kShdr32;
  if (shentsize < want) {
    *error = "section headers of " + std::to_string(shentsize) + " bytes";
    return Result::kMalformed;
  }
  auto header = [&](std::uint64_t index, SectionHeader* h) {
    if (index > std::numeric_limits<std::uint64_t>::max() / shentsize) return false;
    const std::uint64_t at = shoff + index * shentsize;
    if (at < shoff) return false;
    std::string b;
    if (!src.Read(at, want, &b)) return false;
    *h = ParseHeader(l, b);
    return true;
  };
  // Extended numbering: the real counts live in section header 0.
  if (shnum == 0 || shstrndx == kShnXindex) {
    SectionHeader zero;
    if (!header(0, &zero)) {
      *error = "section header 0 lies outside the file";
      return Result::kMalformed;
    }
    if (shnum == 0) shnum = zero.size;
    if (shstrndx == kShnXindex) shstrndx = zero.link;
  }
  if (shnum > kMaxSections || !Inside(shoff, shnum * shentsize, file_size)) {
    *error = std::to_string(shnum) + " section headers do not fit in the file";
    return Result::kMalformed;
  }
  SectionHeader strtab;
  if (shstrndx >= shnum || !header(shstrndx, &strtab)) {
    *error = "the section name table is not among the sections";
    return Result::kMalformed;
  }
  if (strtab.type == kShtNobits || !Inside(strtab.offset, strtab.size, file_size) ||
      strtab.size > max_size) {
    *error = "the section name table lies outside the file";
    return Result::kMalformed;
  }
  std::string names;
  if (!src.Read(strtab.offset, static_cast<std::size_t>(strtab.size), &names)) {
    *error = "the section name table cannot be read";
    return Result::kMalformed;
  }
  bool found = false;
  for (std::uint64_t i = 1; i < shnum; ++i) {
    SectionHeader h;
    if (!header(i, &h)) {
      *error = "section header " + std::to_string(i) + " lies outside the file";
      return Result::kMalformed;
    }
    if (h.name >= names.size()) continue;  // a name outside the table names nothing
    const std::size_t end = names.find('\0', h.name);
    if (end == std::string::npos || names.compare(h.name, end - h.name, name) != 0) continue;
    if (h.type == kShtNobits) {
      *error = "section " + name + " has no contents in the file";
      return Result::kMalformed;
    }
    if (h.flags & kShfCompressed) {
      *error = "section " + name + " is compressed";
      return Result::kMalformed;
    }
    if (!Inside(h.offset, h.size, file_size) || h.size > max_size - contents->size()) {
      *error = "section " + name + " lies outside the file";
      return Result::kMalformed;
    }
    std::string part;
    if (!src.Read(h.offset, static_cast<std::size_t>(h.size), &part)) {
      *error = "section " + name + " cannot be read";
      return Result::kMalformed;
    }
    *contents += part;
    found = true;
  }
  return found ? Result::kFound : Result::kNoSection;
}

namespace {

class FileSource : public Source {
 public:
  explicit FileSource(std::FILE* f, std::uint64_t size) : f_(f), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  bool Read(std::uint64_t offset, std::size_t n, std::string* out) const override {
    if (!Inside(offset, n, size_)) return false;
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<long>::max()) ||
        std::fseek(f_, static_cast<long>(offset), SEEK_SET) != 0) {
      return false;
    }
    out->resize(n);
    return n == 0 || std::fread(&(*out)[0], 1, n, f_) == n;
  }

 private:
  std::FILE* f_;
  std::uint64_t size_;
};

}  // namespace

Result FindSectionInFile(const std::string& path, const std::string& name, std::string* contents,
                         std::string* error, std::uint64_t max_size) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return Result::kUnreadable;
  }
  Result r = Result::kUnreadable;
  if (std::fseek(f, 0, SEEK_END) == 0) {
    const long size = std::ftell(f);
    if (size >= 0) {
      FileSource src(f, static_cast<std::uint64_t>(size));
      r = FindSection(src, name, contents, error, max_size);
    }
  }
  if (r == Result::kUnreadable) *error = "cannot read " + path;
  std::fclose(f);
  return r;
}

}  // namespace elf
}  // namespace qel
