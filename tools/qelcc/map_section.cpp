#include "map_section.h"

#include <cstdio>

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

// One byte as the assembler's .ascii reads it, written inside a C string
// literal: printable characters as they are, the rest (and the characters
// either language escapes, and '?' which could start a trigraph) as an
// octal escape of the assembler.
void AppendAsciiByte(std::string* out, unsigned char c) {
  if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\' && c != '?') {
    out->push_back(static_cast<char>(c));
    return;
  }
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\\\%03o", c);
  *out += buf;
}

std::string ElfText(const std::string& bytes) {
  static const char kOpen[] = "__asm__(\".pushsection .qelmap,\\\"\\\",%progbits\\n.ascii \\\"";
  static const char kClose[] = "\\\"\\n.popsection\");\n";
  std::string out;
  out.reserve(bytes.size() * 2 + 64);
  std::size_t at = 0;
  while (at < bytes.size()) {
    std::string chunk = kOpen;
    while (at < bytes.size() && chunk.size() + 5 + sizeof kClose < kMaxLiteral) {
      AppendAsciiByte(&chunk, static_cast<unsigned char>(bytes[at++]));
    }
    out += chunk;
    out += kClose;
  }
  return out;
}

std::string CoffText(const std::string& bytes) {
  // The compiler knows this section, so it keeps its own notion of the
  // current section right (top-level asm would have to switch back blind).
  std::string out = "static const unsigned char __qel_map[" + std::to_string(bytes.size()) +
                    "] __attribute__((section(\".qelmap\"), used)) = {";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i % 32 == 0) out += "\n";
    out += std::to_string(static_cast<unsigned char>(bytes[i]));
    if (i + 1 < bytes.size()) out += ",";
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

}  // namespace mapsection
}  // namespace qel
