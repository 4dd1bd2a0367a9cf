// The source map inside the object code: the records qelcc places in the
// `.qelmap` section of every object it builds, so that caches, relinks,
// copies and installs keep code and map together (layout:
// docs/map-format.md, "The map in the object code").
//
// A record is a fixed 24-byte header and the unit's map document. Linkers
// concatenate the sections of all linked objects, possibly with zero bytes
// between them for alignment, so a section holds any number of records.
#ifndef QELCC_MAP_SECTION_H
#define QELCC_MAP_SECTION_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qel {
namespace mapsection {

// The section's name in ELF and PE objects.
extern const char kSectionName[];  // ".qelmap"

// Header of one record; every multi-byte field little-endian.
//   offset 0   6 bytes  magic "QELMAP"
//   offset 6   1 byte   layout version (kLayoutVersion)
//   offset 7   1 byte   flags: bit 0 set when the unit was instrumented
//   offset 8   2 bytes  unit id (1 to 32767)
//   offset 10  2 bytes  reserved, 0
//   offset 12  4 bytes  payload size in bytes
//   offset 16  8 bytes  unit identity
//   offset 24           payload: the unit's map document (JSON, UTF-8)
constexpr std::size_t kHeaderSize = 24;
constexpr std::size_t kMagicSize = 6;
constexpr std::size_t kOffsetVersion = 6;
constexpr std::size_t kOffsetFlags = 7;
constexpr std::size_t kOffsetUnit = 8;
constexpr std::size_t kOffsetReserved = 10;
constexpr std::size_t kOffsetPayloadSize = 12;
constexpr std::size_t kOffsetIdentity = 16;
static_assert(kOffsetIdentity + 8 == kHeaderSize, "header fields end where the payload starts");
static_assert(kOffsetReserved + 2 == kOffsetPayloadSize, "header fields are contiguous");
constexpr std::uint8_t kLayoutVersion = 1;
constexpr std::uint8_t kFlagInstrumented = 0x01;
// A document larger than this is refused on both sides (a map of the largest
// unit qelcc accepts, 65534 nodes and 65535 conditions, stays far below).
constexpr std::uint32_t kMaxPayload = 256u << 20;

struct Record {
  std::uint16_t unit = 0;
  bool instrumented = true;
  std::uint64_t identity = 0;
  std::string payload;
};

// The record's bytes, header and payload.
std::string Encode(const Record& record);

// Splits a section's contents into its records; zero bytes between records
// are skipped. False, with *error naming the offset, when the bytes are not
// a sequence of whole records.
bool Decode(const std::string& section, std::vector<Record>* records, std::string* error);

// How the compiler's assembler is told to place bytes in the section.
enum class ObjectFormat {
  kElf,    // a section that is not loaded: kept by --gc-sections and strip
  kCoff,   // PE/COFF (MinGW): read-only data
  kOther,  // no section (Mach-O and unknown targets): the map folder only
};

// The object format of the target whose predefined macros are `macros`, as
// `cc -dM -E -x c /dev/null` prints them (__ELF__, _WIN32, __APPLE__).
ObjectFormat FormatOfMacros(const std::string& macros);

// C text that places `bytes` in the section when compiled: top-level asm
// statements for ELF, a read-only array for PE. Strictly conforming where
// the user's code is (C90 with -pedantic: no string longer than 509
// characters), silent under -Wall -Wextra. Empty for kOther.
std::string SectionText(const std::string& bytes, ObjectFormat format);

// C text that places the contents of the file `path` in the section, ELF
// only: one top-level asm statement in which the assembler reads the file
// (.incbin). The compiler then never sees the bytes themselves, which as
// SectionText runs to several times their size. `path` should be absolute:
// the assembler looks a relative one up in its own include path. The file
// must still be there when the text is assembled. Empty when the path is
// too long for a C90 string literal once escaped.
std::string SectionFileText(const std::string& path);

}  // namespace mapsection
}  // namespace qel

#endif
