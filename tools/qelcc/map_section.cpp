#include "map_section.h"

#include <cstdio>
#include <cstring>

namespace qel {
namespace mapsection {

const char kSectionName[] = ".qelmap";

namespace {

const char kMagic[kMagicSize + 1] = "QELMAP";

void PutLe(std::string* out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::uint64_t GetLe(const std::string& s, std::size_t at, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes; i-- > 0;)
    v = (v << 8) | static_cast<unsigned char>(s[at + static_cast<std::size_t>(i)]);
  return v;
}

// The longest string literal a C90 compiler must accept is 509 characters;
// -pedantic warns beyond it, and user builds often make that an error.
const std::size_t kMaxLiteral = 500;

// How each byte reads to the assembler's .ascii, written inside a C string
// literal: printable characters as they are, the rest (and the characters
// either language escapes, and '?' which could start a trigraph) as an
// octal escape of the assembler. A map runs to hundreds of kilobytes, so the
// spellings are made once and copied.
struct AsciiTable {
  char text[256][6] = {};
  unsigned char size[256] = {};
  AsciiTable() {
    for (int c = 0; c < 256; ++c) {
      if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\' && c != '?') {
        text[c][0] = static_cast<char>(c);
        size[c] = 1;
      } else {
        text[c][0] = '\\';
        text[c][1] = '\\';
        text[c][2] = static_cast<char>('0' + ((c >> 6) & 7));
        text[c][3] = static_cast<char>('0' + ((c >> 3) & 7));
        text[c][4] = static_cast<char>('0' + (c & 7));
        size[c] = 5;
      }
    }
  }
};

const AsciiTable& Ascii() {
  static const AsciiTable table;
  return table;
}

std::string ElfText(const std::string& bytes) {
  static const char kOpen[] = "__asm__(\".pushsection .qelmap,\\\"\\\",%progbits\\n.ascii \\\"";
  static const char kClose[] = "\\\"\\n.popsection\");\n";
  const std::size_t open = sizeof kOpen - 1, close = sizeof kClose - 1;
  const AsciiTable& ascii = Ascii();
  // The worst case: every byte escaped, a chunk per (kMaxLiteral - open) / 5.
  std::string out;
  out.resize(bytes.size() * 5 + (bytes.size() / 64 + 1) * (open + close));
  char* w = &out[0];
  const unsigned char* at = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* const end = at + bytes.size();
  while (at < end) {
    std::memcpy(w, kOpen, open);
    std::size_t chunk = open;
    while (at < end && chunk + 5 + sizeof kClose < kMaxLiteral) {
      const unsigned n = ascii.size[*at];
      std::memcpy(w + chunk, ascii.text[*at], 5);
      chunk += n;
      ++at;
    }
    w += chunk;
    std::memcpy(w, kClose, close);
    w += close;
  }
  out.resize(static_cast<std::size_t>(w - out.data()));
  return out;
}

std::string CoffText(const std::string& bytes) {
  // The compiler knows this section, so it keeps its own notion of the
  // current section right (top-level asm would have to switch back blind).
  std::string out = "static const unsigned char __qel_map[" + std::to_string(bytes.size()) +
                    "] __attribute__((section(\".qelmap\"), used)) = {";
  out.reserve(out.size() + bytes.size() * 4 + bytes.size() / 32 + 8);
  char buf[8];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i % 32 == 0) out += '\n';
    const unsigned c = static_cast<unsigned char>(bytes[i]);
    char* p = buf + sizeof buf;
    if (i + 1 < bytes.size()) *--p = ',';
    unsigned v = c;
    do {
      *--p = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v);
    out.append(p, static_cast<std::size_t>(buf + sizeof buf - p));
  }
  out += "};\n";
  return out;
}

}  // namespace

std::string Encode(const Record& record) {
  std::string out(kMagic, kMagicSize);
  out.push_back(static_cast<char>(kLayoutVersion));
  out.push_back(static_cast<char>(record.instrumented ? kFlagInstrumented : 0));
  PutLe(&out, record.unit, 2);
  PutLe(&out, 0, 2);
  PutLe(&out, record.payload.size(), 4);
  PutLe(&out, record.identity, 8);
  out += record.payload;
  return out;
}

bool Decode(const std::string& section, std::vector<Record>* records, std::string* error) {
  std::size_t at = 0;
  while (at < section.size()) {
    if (section[at] == 0) {  // alignment between two objects' records
      ++at;
      continue;
    }
    const std::string where = "map section, offset " + std::to_string(at) + ": ";
    if (section.size() - at < kHeaderSize) {
      *error = where + "a record header is cut short";
      return false;
    }
    if (section.compare(at, kMagicSize, kMagic) != 0) {
      *error = where + "no record starts here";
      return false;
    }
    if (static_cast<unsigned char>(section[at + kOffsetVersion]) != kLayoutVersion) {
      *error = where + "record layout " +
               std::to_string(static_cast<unsigned char>(section[at + kOffsetVersion])) +
               " is not supported (this reader knows layout " + std::to_string(kLayoutVersion) +
               ")";
      return false;
    }
    Record r;
    r.instrumented = (section[at + kOffsetFlags] & kFlagInstrumented) != 0;
    r.unit = static_cast<std::uint16_t>(GetLe(section, at + kOffsetUnit, 2));
    const std::uint64_t size = GetLe(section, at + kOffsetPayloadSize, 4);
    r.identity = GetLe(section, at + kOffsetIdentity, 8);
    if (r.unit == 0 || r.unit > 32767) {
      *error = where + "unit id " + std::to_string(r.unit) + " is out of range";
      return false;
    }
    if (size > kMaxPayload || size > section.size() - at - kHeaderSize) {
      *error = where + "the record's document (" + std::to_string(size) +
               " bytes) runs past the section";
      return false;
    }
    r.payload = section.substr(at + kHeaderSize, static_cast<std::size_t>(size));
    at += kHeaderSize + static_cast<std::size_t>(size);
    records->push_back(std::move(r));
  }
  return true;
}

ObjectFormat FormatOfMacros(const std::string& macros) {
  auto defined = [&](const char* name) {
    return macros.find(std::string("#define ") + name + " ") != std::string::npos;
  };
  if (defined("_WIN32") || defined("__CYGWIN__")) return ObjectFormat::kCoff;
  if (defined("__ELF__")) return ObjectFormat::kElf;
  return ObjectFormat::kOther;
}

std::string SectionText(const std::string& bytes, ObjectFormat format) {
  switch (format) {
    case ObjectFormat::kElf:
      return ElfText(bytes);
    case ObjectFormat::kCoff:
      return CoffText(bytes);
    case ObjectFormat::kOther:
      break;
  }
  return "";
}

std::string SectionFileText(const std::string& path) {
  // The file's name is an assembler string: GNU as and clang's assembler
  // read the same escapes there as in .ascii, so any byte gets through.
  static const char kOpen[] = "__asm__(\".pushsection .qelmap,\\\"\\\",%progbits\\n.incbin \\\"";
  static const char kClose[] = "\\\"\\n.popsection\");\n";
  const AsciiTable& ascii = Ascii();
  std::string out = kOpen;
  for (const unsigned char c : path) out.append(ascii.text[c], ascii.size[c]);
  out += kClose;
  // One literal (clang measures literals joined, so splitting would not
  // help), which C90 allows 509 characters.
  if (out.size() > kMaxLiteral) return "";
  return out;
}

}  // namespace mapsection
}  // namespace qel
