// Reads one named section out of an ELF file (object, executable or shared
// library; 32 or 64 bits, either byte order). The file may be anything a
// user points at, so every offset and size is checked against the file
// before it is used, and nothing is read that the section headers do not
// name.
#ifndef QELCC_ELF_SECTIONS_H
#define QELCC_ELF_SECTIONS_H

#include <cstdint>
#include <string>

namespace qel {
namespace elf {

enum class Result {
  kFound,       // *contents holds the section (several of that name: joined)
  kNoSection,   // a well-formed ELF file without it
  kNotElf,      // not an ELF file (a PE image, a script, ...)
  kMalformed,   // an ELF file whose headers contradict its size
  kUnreadable,  // the file could not be opened or read
};

// Where the bytes come from: a whole image in memory, or a file read piece
// by piece (executables can be large, the section is small).
class Source {
 public:
  virtual ~Source() = default;
  virtual std::uint64_t Size() const = 0;
  // Reads [offset, offset + n) into out; false if that is not in the file.
  virtual bool Read(std::uint64_t offset, std::size_t n, std::string* out) const = 0;
};

class MemorySource : public Source {
 public:
  explicit MemorySource(const std::string& bytes) : bytes_(bytes) {}
  std::uint64_t Size() const override { return bytes_.size(); }
  bool Read(std::uint64_t offset, std::size_t n, std::string* out) const override;

 private:
  const std::string& bytes_;
};

// Finds the section named `name`. `max_size` bounds what is read.
Result FindSection(const Source& source, const std::string& name, std::string* contents,
                   std::string* error, std::uint64_t max_size = 1ull << 30);

// The same for a file on disk.
Result FindSectionInFile(const std::string& path, const std::string& name, std::string* contents,
                         std::string* error, std::uint64_t max_size = 1ull << 30);

}  // namespace elf
}  // namespace qel

#endif
