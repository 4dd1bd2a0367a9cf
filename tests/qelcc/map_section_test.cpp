// The map in the object code: the record layout, the C text that puts the
// records into the section, and the ELF reader, also on hostile files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <random>

#include "elf_sections.h"
#include "map_section.h"
#include "qelcc_support.h"

using namespace qelcc_test;
namespace ms = qel::mapsection;
namespace elf = qel::elf;

namespace {

// ---- a small ELF writer: header, sections, section name table ----------

struct Section {
  std::string name;
  std::string bytes;
  uint32_t type = 1;  // PROGBITS
  uint64_t flags = 0;
};

struct ElfShape {
  bool is64 = true;
  bool little = true;
  bool extended = false;  // counts in section header 0 (e_shnum 0, e_shstrndx 0xffff)
};

void Put(std::string* out, size_t at, uint64_t v, int bytes, bool little) {
  if (out->size() < at + static_cast<size_t>(bytes)) out->resize(at + static_cast<size_t>(bytes));
  for (int i = 0; i < bytes; ++i) {
    const int shift = little ? 8 * i : 8 * (bytes - 1 - i);
    (*out)[at + static_cast<size_t>(i)] = static_cast<char>((v >> shift) & 0xFF);
  }
}

std::string BuildElf(const std::vector<Section>& sections, ElfShape shape = ElfShape()) {
  const bool w = shape.is64, le = shape.little;
  const size_t ehsize = w ? 64 : 52, shentsize = w ? 64 : 40;
  std::string image(ehsize, '\0');
  image[0] = 0x7f;
  image[1] = 'E';
  image[2] = 'L';
  image[3] = 'F';
  image[4] = static_cast<char>(w ? 2 : 1);
  image[5] = static_cast<char>(le ? 1 : 2);
  image[6] = 1;
  // Contents: the sections, then the name table.
  std::string names(1, '\0');
  std::vector<std::pair<size_t, size_t>> where;  // offset, name offset
  std::vector<Section> all = sections;
  all.push_back(Section{".shstrtab", "", 3, 0});
  for (Section& s : all) {
    where.emplace_back(0, names.size());
    names += s.name + '\0';
  }
  all.back().bytes = names;
  for (size_t i = 0; i < all.size(); ++i) {
    where[i].first = image.size();
    image += all[i].bytes;
  }
  const size_t shoff = image.size();
  const size_t count = all.size() + 1;  // with the null section
  image.resize(shoff + count * shentsize, '\0');
  auto header = [&](size_t index, uint32_t name, uint32_t type, uint64_t flags, uint64_t offset,
                    uint64_t size, uint32_t link) {
    const size_t at = shoff + index * shentsize;
    Put(&image, at, name, 4, le);
    Put(&image, at + 4, type, 4, le);
    Put(&image, at + 8, flags, w ? 8 : 4, le);
    Put(&image, at + (w ? 24 : 16), offset, w ? 8 : 4, le);
    Put(&image, at + (w ? 32 : 20), size, w ? 8 : 4, le);
    Put(&image, at + (w ? 40 : 24), link, 4, le);
  };
  const size_t strndx = count - 1;
  header(0, 0, 0, 0, 0, shape.extended ? count : 0,
         shape.extended ? static_cast<uint32_t>(strndx) : 0);
  for (size_t i = 0; i < all.size(); ++i) {
    header(i + 1, static_cast<uint32_t>(where[i].second), all[i].type, all[i].flags, where[i].first,
           all[i].bytes.size(), 0);
  }
  Put(&image, 16, 1, 2, le);  // relocatable
  Put(&image, w ? 40 : 32, shoff, w ? 8 : 4, le);
  Put(&image, w ? 52 : 40, ehsize, 2, le);
  Put(&image, w ? 58 : 46, shentsize, 2, le);
  Put(&image, w ? 60 : 48, shape.extended ? 0 : count, 2, le);
  Put(&image, w ? 62 : 50, shape.extended ? 0xFFFF : strndx, 2, le);
  return image;
}

elf::Result Find(const std::string& image, std::string* contents, std::string* error = nullptr) {
  std::string e;
  return elf::FindSection(elf::MemorySource(image), ".qelmap", contents, error ? error : &e);
}

ms::Record Rec(uint16_t unit, const std::string& payload, bool instrumented = true) {
  ms::Record r;
  r.unit = unit;
  r.instrumented = instrumented;
  r.identity = 0x0123456789ABCDEFull ^ unit;
  r.payload = payload;
  return r;
}

// ---- records -------------------------------------------------------------

TEST(MapRecords, RoundTripWithAlignmentBetweenThem) {
  std::string section = ms::Encode(Rec(1, "{\"a\":1}")) + std::string(5, '\0') +
                        ms::Encode(Rec(32767, "", false)) + std::string(3, '\0');
  ASSERT_EQ(ms::Encode(Rec(1, "")).size(), ms::kHeaderSize);
  std::vector<ms::Record> got;
  std::string error;
  ASSERT_TRUE(ms::Decode(section, &got, &error)) << error;
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].unit, 1);
  EXPECT_TRUE(got[0].instrumented);
  EXPECT_EQ(got[0].identity, 0x0123456789ABCDEFull ^ 1);
  EXPECT_EQ(got[0].payload, "{\"a\":1}");
  EXPECT_EQ(got[1].unit, 32767);
  EXPECT_FALSE(got[1].instrumented);
  EXPECT_EQ(got[1].payload, "");
  // The header's fields where the layout puts them, little-endian.
  std::string one = ms::Encode(Rec(0x1234, "xy"));
  EXPECT_EQ(one.substr(0, 6), "QELMAP");
  EXPECT_EQ(static_cast<unsigned char>(one[8]), 0x34);
  EXPECT_EQ(static_cast<unsigned char>(one[9]), 0x12);
  EXPECT_EQ(static_cast<unsigned char>(one[12]), 2);
  EXPECT_EQ(static_cast<unsigned char>(one[16]), (0xEFu ^ 0x34u));
}

TEST(MapRecords, MalformedSectionsAreRefusedWithTheOffset) {
  const std::string good = ms::Encode(Rec(7, "payload"));
  std::vector<ms::Record> got;
  std::string error;
  EXPECT_FALSE(ms::Decode(good.substr(0, 20), &got, &error));
  EXPECT_NE(error.find("cut short"), std::string::npos) << error;
  EXPECT_FALSE(ms::Decode(good.substr(0, good.size() - 1), &got, &error));
  EXPECT_NE(error.find("runs past"), std::string::npos) << error;
  std::string bad_magic = good;
  bad_magic[1] = 'X';
  EXPECT_FALSE(ms::Decode(good + bad_magic, &got, &error));
  EXPECT_NE(error.find("offset " + std::to_string(good.size())), std::string::npos) << error;
  std::string layout = good;
  layout[6] = 9;
  EXPECT_FALSE(ms::Decode(layout, &got, &error));
  EXPECT_NE(error.find("layout 9"), std::string::npos) << error;
  std::string unit0 = ms::Encode(Rec(0, ""));
  EXPECT_FALSE(ms::Decode(unit0, &got, &error));
  std::string huge = good;
  huge[15] = '\x7f';  // a payload size near 2 GB
  EXPECT_FALSE(ms::Decode(huge, &got, &error));
}

TEST(MapRecords, TargetsAndTheirObjectFormats) {
  EXPECT_EQ(ms::FormatOfMacros("#define __ELF__ 1\n#define __x86_64__ 1\n"), ms::ObjectFormat::kElf);
  EXPECT_EQ(ms::FormatOfMacros("#define __MINGW32__ 1\n#define _WIN32 1\n"), ms::ObjectFormat::kCoff);
  EXPECT_EQ(ms::FormatOfMacros("#define __CYGWIN__ 1\n"), ms::ObjectFormat::kCoff);
  EXPECT_EQ(ms::FormatOfMacros("#define __APPLE__ 1\n#define __MACH__ 1\n"), ms::ObjectFormat::kOther);
  EXPECT_EQ(ms::FormatOfMacros("#define __ELF_NOT__ 1\n"), ms::ObjectFormat::kOther);
  EXPECT_EQ(ms::SectionText("x", ms::ObjectFormat::kOther), "");
  // The compilers here, as qelcc asks them.
  for (const char* cc : {"gcc", "clang-19", "i686-w64-mingw32-gcc"}) {
    if (Sh(std::string("command -v ") + cc + " >/dev/null") != 0) continue;
    std::string macros;
    ASSERT_EQ(Sh(std::string(cc) + " -dM -E -x c /dev/null", &macros), 0);
    EXPECT_EQ(ms::FormatOfMacros(macros), std::string(cc).find("mingw") != std::string::npos
                                               ? ms::ObjectFormat::kCoff
                                               : ms::ObjectFormat::kElf)
        << cc;
  }
}

// Every byte value, quotes, backslashes and trigraph starts come out of the
// object exactly as they went in, from C that a strict C90 build accepts.
TEST(MapRecords, SectionTextCompilesStrictlyAndKeepsEveryByte) {
  std::string bytes;
  for (int round = 0; round < 3; ++round) {
    for (int c = 0; c < 256; ++c) bytes.push_back(static_cast<char>(c));
  }
  bytes += "?\?=?\?/?\?'\"\\\"\\\\ end";
  const std::string dir = NewDir("section_text");
  std::ofstream(dir + "/t.c") << "int f(void);\nint f(void) { return 1; }\n"
                              << ms::SectionText(bytes, ms::ObjectFormat::kElf);
  for (const char* cc : {"gcc", "clang-14", "clang-19"}) {
    if (Sh(std::string("command -v ") + cc + " >/dev/null") != 0) continue;
    SCOPED_TRACE(cc);
    std::string out;
    ASSERT_EQ(Sh(std::string(cc) + " -std=c89 -pedantic -Wall -Wextra -Werror -Wc++-compat -c " +
                     dir + "/t.c -o " + dir + "/t.o",
                 &out),
              0)
        << out;
    std::string section, error;
    ASSERT_EQ(elf::FindSectionInFile(dir + "/t.o", ".qelmap", &section, &error),
              elf::Result::kFound)
        << error;
    EXPECT_EQ(section, bytes);
  }
  if (Sh("command -v i686-w64-mingw32-gcc >/dev/null") == 0) {
    std::ofstream(dir + "/w.c") << "int f(void);\nint f(void) { return 1; }\n"
                                << ms::SectionText(bytes, ms::ObjectFormat::kCoff);
    std::string out;
    ASSERT_EQ(Sh("i686-w64-mingw32-gcc -std=c89 -pedantic -Wall -Wextra -Werror -c " + dir +
                     "/w.c -o " + dir + "/w.o && i686-w64-mingw32-objcopy -O binary "
                     "--only-section=.qelmap " + dir + "/w.o " + dir + "/w.bin",
                 &out),
              0)
        << out;
    EXPECT_EQ(ReadFile(dir + "/w.bin").substr(0, bytes.size()), bytes);
  }
  Sh("rm -rf '" + dir + "'");
}

// The file read by the assembler gives the section the same bytes as the
// text that spells them, on both compilers and the usual code models, from
// a directory whose name needs every kind of escape. A name too long for a
// strict C90 literal once escaped gets no such text.
TEST(MapRecords, SectionFileTextReadsTheFileIntoTheSameBytes) {
  std::string bytes;
  for (int round = 0; round < 300; ++round) {
    for (int c = 0; c < 256; ++c) bytes.push_back(static_cast<char>(c ^ round));
  }
  std::string odd = "sp ace \"q\" back\\slash\ttab\nline \xc3\xa9 ?\?= %{|} $x";
  std::string longer = "/tmp/";
  for (int i = 0; i < 60; ++i) longer += "\xc3\xa9";
  EXPECT_EQ(ms::SectionFileText(longer + "/map.bin"), "");
  const std::string base = NewDir("section_file"), dir = base + "/" + odd;
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  std::ofstream(dir + "/map.bin", std::ios::binary) << bytes;
  const std::string head = "int f(void);\nint f(void) { return 1; }\n";
  std::ofstream(dir + "/file.c") << head << ms::SectionFileText(dir + "/map.bin");
  std::ofstream(dir + "/text.c") << head << ms::SectionText(bytes, ms::ObjectFormat::kElf);
  // The shell never sees the directory's name: the compilers run in it.
  struct Back {
    char cwd[4096];
    Back() { cwd[0] = getcwd(cwd, sizeof cwd) ? cwd[0] : '\0'; }
    ~Back() {
      if (cwd[0] && chdir(cwd) != 0) std::perror("chdir");
    }
  } back;
  ASSERT_EQ(chdir(dir.c_str()), 0);
  for (const char* cc : {"gcc", "clang-14", "clang-19"}) {
    if (Sh(std::string("command -v ") + cc + " >/dev/null") != 0) continue;
    for (const char* flags : {"-O0", "-O2", "-O2 -fPIC", "-O0 -g", "-O2 -m32", "-O2 -masm=intel"}) {
      SCOPED_TRACE(std::string(cc) + " " + flags);
      for (const char* src : {"file", "text"}) {
        std::string out, section, error;
        ASSERT_EQ(Sh(std::string(cc) + " " + flags +
                         " -std=c89 -pedantic -Wall -Wextra -Werror -c " + src + ".c -o " + src +
                         ".o",
                     &out),
                  0)
            << src << ": " << out;
        ASSERT_EQ(elf::FindSectionInFile(dir + "/" + src + ".o", ".qelmap", &section, &error),
                  elf::Result::kFound)
            << src << ": " << error;
        EXPECT_EQ(section.size(), bytes.size()) << src;
        EXPECT_TRUE(section == bytes) << src;
      }
    }
  }
  if (!::testing::Test::HasFailure()) Sh("rm -rf '" + base + "'");
}

// ---- the ELF reader ------------------------------------------------------

TEST(ElfSections, EveryClassAndByteOrderAndExtendedNumbering) {
  const std::vector<Section> sections = {{".text", "code"}, {".qelmap", "first"},
                                         {".data", "d"}, {".qelmap", "+second"}};
  for (bool is64 : {true, false}) {
    for (bool little : {true, false}) {
      for (bool extended : {false, true}) {
        SCOPED_TRACE(std::string(is64 ? "64" : "32") + (little ? " LE" : " BE") +
                     (extended ? " extended" : ""));
        std::string contents, error;
        const std::string image = BuildElf(sections, ElfShape{is64, little, extended});
        ASSERT_EQ(Find(image, &contents, &error), elf::Result::kFound) << error;
        EXPECT_EQ(contents, "first+second");
        EXPECT_EQ(Find(BuildElf({{".text", "x"}}, ElfShape{is64, little, extended}), &contents),
                  elf::Result::kNoSection);
      }
    }
  }
}

TEST(ElfSections, WhatIsNotElfOrHasNoTable) {
  std::string contents;
  EXPECT_EQ(Find("", &contents), elf::Result::kNotElf);
  EXPECT_EQ(Find("MZ\x90\x00 a PE image", &contents), elf::Result::kNotElf);
  EXPECT_EQ(Find("#!/bin/sh\necho\n", &contents), elf::Result::kNotElf);
  EXPECT_EQ(Find(std::string("\x7f" "ELF", 4), &contents), elf::Result::kNotElf);
  std::string image = BuildElf({{".qelmap", "m"}});
  Put(&image, 40, 0, 8, true);  // no section header table
  EXPECT_EQ(Find(image, &contents), elf::Result::kNoSection);
  std::string error;
  EXPECT_EQ(elf::FindSectionInFile("/nonexistent/x", ".qelmap", &contents, &error),
            elf::Result::kUnreadable);
  EXPECT_NE(error.find("/nonexistent/x"), std::string::npos);
}

TEST(ElfSections, HeadersThatContradictTheFileAreMalformed) {
  const std::string good = BuildElf({{".qelmap", "map bytes"}});
  const size_t shoff = good.size() - 3 * 64;
  struct Case {
    const char* what;
    size_t at;
    uint64_t value;
    int bytes;
  };
  const Case cases[] = {
      {"class", 4, 7, 1},
      {"byte order", 5, 0, 1},
      {"table beyond the file", 40, good.size() - 10, 8},
      {"table offset wraps", 40, ~0ull - 8, 8},
      {"entries too small", 58, 16, 2},
      {"too many entries", 60, 0xFFFE, 2},
      {"name table index", 62, 40, 2},
      {"section beyond the file", shoff + 64 + 24, good.size(), 8},
      {"section size wraps", shoff + 64 + 32, ~0ull - 2, 8},
      {"name table beyond", shoff + 128 + 32, 1ull << 40, 8},
      {"no contents", shoff + 64 + 4, 8, 4},
      {"compressed", shoff + 64 + 8, 0x800, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string image = good, contents, error;
    Put(&image, c.at, c.value, c.bytes, true);
    EXPECT_EQ(Find(image, &contents, &error), elf::Result::kMalformed);
    EXPECT_FALSE(error.empty());
  }
  // A name outside the name table names nothing.
  std::string image = good, contents;
  Put(&image, shoff + 64, 1u << 30, 4, true);
  EXPECT_EQ(Find(image, &contents), elf::Result::kNoSection);
  // Cut anywhere, the file reads as something, never past its end.
  for (size_t n = 0; n < good.size(); ++n) {
    elf::Result r = Find(good.substr(0, n), &contents);
    EXPECT_NE(r, elf::Result::kFound) << n;
  }
}

// Random damage to a real object and to a built image: whatever comes back,
// nothing is read outside the file (the sanitizer builds check that).
TEST(ElfSections, RandomDamageNeverReadsOutsideTheFile) {
  std::vector<std::string> images = {BuildElf({{".qelmap", "abc"}, {".x", "y"}}),
                                     BuildElf({{".qelmap", "abc"}}, ElfShape{false, false, true})};
  const std::string dir = NewDir("elf_damage");
  std::ofstream(dir + "/o.c") << "int f(int a) { return a + 1; }\n"
                              << ms::SectionText(ms::Encode(Rec(3, "{}")), ms::ObjectFormat::kElf);
  if (Sh("gcc -c " + dir + "/o.c -o " + dir + "/o.o") == 0) images.push_back(ReadFile(dir + "/o.o"));
  Sh("rm -rf '" + dir + "'");
  std::mt19937 rng(12345);
  int found = 0;
  for (const std::string& base : images) {
    for (int round = 0; round < 4000; ++round) {
      std::string image = base;
      const int flips = 1 + static_cast<int>(rng() % 8);
      for (int f = 0; f < flips; ++f) {
        image[rng() % image.size()] = static_cast<char>(rng() & 0xFF);
      }
      if (rng() % 4 == 0) image.resize(rng() % image.size());
      std::string contents, error;
      if (Find(image, &contents, &error) == elf::Result::kFound) {
        ++found;
        EXPECT_LE(contents.size(), image.size());
        std::vector<ms::Record> records;
        ms::Decode(contents, &records, &error);
      }
    }
  }
  EXPECT_GT(found, 0);
}

}  // namespace
