// Maps read out of the programs while the run goes on, then added in the
// order the programs were named, give exactly what reading every program at
// the end gives: the same maps (the same first file of each), the same
// warnings and errors, whatever the order and whatever the reader skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "early_maps.hpp"
#include "map_section.h"
#include "srcmap.hpp"

using namespace qelc;
namespace ms = qel::mapsection;

namespace {

void put(std::string* out, std::size_t at, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i)
    (*out)[at + static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
}

// A 64-bit little-endian relocatable ELF file holding the named sections.
std::string elfImage(const std::vector<std::pair<std::string, std::string>>& sections) {
  std::string image(64, '\0');
  image.replace(0, 7,
                "\x7f"
                "ELF\x02\x01\x01",
                7);
  std::string names(1, '\0');
  std::vector<std::pair<std::size_t, std::size_t>> where;  // name offset, data offset
  auto all = sections;
  all.emplace_back(".shstrtab", "");
  for (auto& [name, bytes] : all) {
    where.emplace_back(names.size(), 0);
    names += name + '\0';
  }
  all.back().second = names;
  for (std::size_t i = 0; i < all.size(); ++i) {
    where[i].second = image.size();
    image += all[i].second;
  }
  const std::size_t shoff = image.size(), count = all.size() + 1;
  image.resize(shoff + count * 64, '\0');
  for (std::size_t i = 0; i < all.size(); ++i) {
    const std::size_t at = shoff + (i + 1) * 64;
    put(&image, at, where[i].first, 4);
    put(&image, at + 4, i + 1 == all.size() ? 3 : 1, 4);  // STRTAB, else PROGBITS
    put(&image, at + 24, where[i].second, 8);
    put(&image, at + 32, all[i].second.size(), 8);
  }
  put(&image, 16, 1, 2);
  put(&image, 40, shoff, 8);
  put(&image, 52, 64, 2);
  put(&image, 58, 64, 2);
  put(&image, 60, count, 2);
  put(&image, 62, count - 1, 2);
  return image;
}

// A unit's map; `identity` 0 leaves it to the record's header.
std::string mapText(int unit, uint64_t identity, const std::string& source) {
  std::ostringstream o;
  o << R"({"format": "qelmap", "version": 1, "unit": )" << unit << R"(, "source": ")" << source
    << "\"";
  if (identity) o << R"(, "identity": ")" << hashText(identity) << "\"";
  o << R"(, "files": [{"id": 0, "path": ")" << source << R"("}], "nodes": [{"id": 1, "file": 0, )"
    << R"("line": )" << unit + 1 << "}]}";
  return o.str();
}

ms::Record record(int unit, uint64_t identity, const std::string& payload) {
  ms::Record r;
  r.unit = static_cast<uint16_t>(unit);
  r.identity = identity;
  r.payload = payload;
  return r;
}

std::string section(const std::vector<ms::Record>& records) {
  std::string bytes;
  for (const ms::Record& r : records) bytes += ms::Encode(r) + std::string(3, '\0');
  return bytes;
}

// Every map of a SourceMap, with the file each was first read from.
std::string dump(const SourceMap& map) {
  std::ostringstream o;
  const auto one = [&](const UnitMap& u) {
    o << u.unit << " " << hashText(u.identity) << " " << u.hasIdentity << " " << u.instrumented
      << " " << u.source << " " << u.mapFile << " " << u.nodes.size() << "\n";
  };
  for (const auto& [unit, u] : map.units) one(u);
  for (const auto& [unit, u] : map.otherBuilds) one(u);
  return o.str();
}

const char* outcomeName(ModuleMaps m) {
  switch (m) {
    case ModuleMaps::kRead:
      return "read";
    case ModuleMaps::kNone:
      return "none";
    case ModuleMaps::kUnreadable:
      return "unreadable";
    case ModuleMaps::kInvalid:
      return "invalid";
  }
  return "?";
}

constexpr uint64_t kLib1 = 0x1111, kLib2 = 0x2222, kOther1 = 0x3333;

class EarlyMaps : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/early_maps_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    // Two programs carrying the same library maps (unit 2's map names no
    // identity: the header gives it), each with a unit of its own.
    const std::vector<ms::Record> lib = {record(1, kLib1, mapText(1, kLib1, "lib/one.c")),
                                         record(2, kLib2, mapText(2, 0, "lib/two.c"))};
    auto a = lib, b = lib;
    a.push_back(record(3, 0x33, mapText(3, 0x33, "a.c")));
    b.push_back(record(4, 0x44, mapText(4, 0x44, "b.c")));
    b.push_back(record(4, 0x44, "a second copy is never parsed"));
    write("a", a);
    write("b", b);
    writeImage("plain", elfImage({{".text", "code"}}));
    write("empty", {});
    // Unit 1 of another build, beside a unit of its own.
    write("rebuilt", {record(1, kOther1, mapText(1, kOther1, "lib/one.c")),
                      record(5, 0x55, mapText(5, 0x55, "c.c"))});
    writeImage("damaged", elfImage({{".qelmap", section(a).substr(0, 100)}}));
    // The library's unit 1 damaged: harmless once a program brought it.
    write("badlib", {record(1, kLib1, "{not json"), record(6, 0x66, mapText(6, 0x66, "d.c"))});
    write("badown", {record(7, 0x77, mapText(7, 0x77, "e.c")),
                     record(8, 0x88, R"({"format": "qelmap", "version": 1})")});
    write("disagree", {record(9, 0x99, mapText(10, 0x99, "f.c"))});
    // Unit 11 is also in the map folder without an identity: a clash.
    write("clash", {record(11, 0xbb, mapText(11, 0xbb, "g.c"))});
  }
  void TearDown() override { EXPECT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0); }

  // An ELF file `name` whose `.qelmap` section holds `records`.
  void write(const std::string& name, const std::vector<ms::Record>& records) {
    writeImage(name, elfImage({{".qelmap", section(records)}}));
  }
  void writeImage(const std::string& name, const std::string& image) {
    std::ofstream(P(name), std::ios::binary) << image;
  }
  std::string P(const std::string& name) const { return dir_ + "/" + name; }
  std::vector<std::string> paths(const std::vector<std::string>& names) const {
    std::vector<std::string> out;
    for (const auto& n : names) out.push_back(P(n));
    return out;
  }
  // What a map folder brought before the programs' maps.
  static SourceMap folderMap() {
    SourceMap map;
    UnitMap u;
    u.unit = 11;
    u.mapFile = "maps/11.qelmap.json";
    std::string error;
    map.add(u, &error);
    return map;
  }

  // Each module read at the end, one after the other, as the collector
  // always did.
  static std::string readAtTheEnd(const std::vector<std::string>& modules, SourceMap* map,
                                  bool* ok) {
    std::ostringstream err;
    *ok = true;
    for (const std::string& path : modules) {
      std::size_t added = 0;
      std::string error;
      const ModuleMaps m = loadModuleMaps(path, map, &added, &error);
      err << outcomeName(m) << " " << added << " " << error << "\n";
      if (m == ModuleMaps::kInvalid) {
        *ok = false;
        break;
      }
    }
    return err.str();
  }

  std::string dir_;
};

const std::vector<std::string> kAll = {"a",       "b",        "plain",   "empty",
                                       "missing", "rebuilt",  "damaged", "badlib",
                                       "badown",  "disagree", "clash"};
const std::vector<std::string> kHarmless = {"a", "b", "plain", "empty", "missing", "rebuilt"};

TEST_F(EarlyMaps, ReadFirstAndAppliedInOrderEqualsLoadingEachInTurn) {
  std::mt19937 random(7);
  std::vector<std::vector<std::string>> orders = {kHarmless,
                                                  {"badlib", "a", "b"},
                                                  {"a", "badlib", "b"},
                                                  {"a", "b", "disagree"},
                                                  {"a", "clash"}};
  for (int i = 0; i < 40; ++i) {
    auto order = i % 2 ? kAll : kHarmless;
    std::shuffle(order.begin(), order.end(), random);
    orders.push_back(order);
  }
  for (const auto& names : orders) {
    const std::vector<std::string> modules = paths(names);
    std::string trace;
    for (const auto& n : names) trace += n + " ";
    SCOPED_TRACE(trace);
    SourceMap want = folderMap();
    bool wantOk = false;
    const std::string wantText = readAtTheEnd(modules, &want, &wantOk);

    // As the reader does: every module read first, each unit map parsed
    // only the first time it is met; then applied in order.
    std::set<std::pair<uint16_t, uint64_t>> known;
    ModuleReadOptions options;
    options.skip = [&](uint16_t unit, uint64_t identity) {
      return known.count({unit, identity}) > 0;
    };
    std::vector<ModuleRead> reads(modules.size());
    for (std::size_t m = 0; m < modules.size(); ++m) {
      ASSERT_TRUE(readModuleMaps(modules[m], options, &reads[m]));
      for (const ModuleRecord& r : reads[m].records)
        if (r.state == ModuleRecord::State::kParsed) known.emplace(r.unit, r.identity);
    }
    SourceMap got = folderMap();
    std::ostringstream gotText;
    bool gotOk = true;
    for (ModuleRead& read : reads) {
      std::size_t added = 0;
      std::string error;
      const ModuleMaps m = applyModuleMaps(std::move(read), &got, &added, &error);
      gotText << outcomeName(m) << " " << added << " " << error << "\n";
      if (m == ModuleMaps::kInvalid) {
        gotOk = false;
        break;
      }
    }
    EXPECT_EQ(gotText.str(), wantText);
    EXPECT_EQ(gotOk, wantOk);
    EXPECT_EQ(dump(got), dump(want));

    // And through the reader's thread, with the collector's messages.
    SourceMap viaReader = folderMap();
    std::ostringstream readerText;
    {
      EarlyMapReader reader;
      for (const auto& path : modules) reader.add(path);
      EXPECT_EQ(addProgramMaps(modules, &reader, &viaReader, readerText), wantOk);
    }
    EXPECT_EQ(dump(viaReader), dump(want));
    SourceMap plain = folderMap();
    std::ostringstream plainText;
    addProgramMaps(modules, nullptr, &plain, plainText);
    EXPECT_EQ(readerText.str(), plainText.str());
  }
}

TEST_F(EarlyMaps, EachKindOfModuleKeepsItsWarningOrError) {
  // The modules read early, then added in order; the messages with the
  // folder written D.
  const auto collect = [&](const std::vector<std::string>& names, SourceMap* map, bool* ok) {
    EarlyMapReader reader;
    for (const auto& path : paths(names)) reader.add(path);
    std::ostringstream err;
    *map = folderMap();
    *ok = addProgramMaps(paths(names), &reader, map, err);
    std::string text = err.str();
    for (std::size_t at; (at = text.find(dir_)) != std::string::npos;)
      text.replace(at, dir_.size(), "D");
    return text;
  };
  SourceMap map;
  bool ok = false;
  EXPECT_EQ(collect({"a", "badlib", "b", "plain", "empty", "missing", "rebuilt"}, &map, &ok),
            "qelcollect: warning: D/plain holds no source maps (not built with qelcc)\n"
            "qelcollect: warning: D/empty holds no source maps (its section is empty)\n"
            "qelcollect: warning: cannot read source maps out of D/missing: cannot open "
            "D/missing: No such file or directory\n");
  EXPECT_TRUE(ok);
  EXPECT_EQ(map.units.size(), 7u);  // 1 to 6, and the folder's 11
  EXPECT_EQ(map.units.at(1).mapFile, P("a") + " (unit 1)");
  EXPECT_EQ(map.units.at(2).identity, kLib2);  // from the record's header
  ASSERT_NE(map.find(1, kOther1), nullptr);
  EXPECT_EQ(map.find(1, kOther1)->mapFile, P("rebuilt") + " (unit 1)");

  // An invalid map of a module adds none of its maps.
  EXPECT_EQ(collect({"a", "badown"}, &map, &ok),
            "qelcollect: D/badown (unit 8): \"unit\" must be an integer from 1 to 32767\n");
  EXPECT_FALSE(ok);
  EXPECT_EQ(map.find(7, 0x77), nullptr);
  EXPECT_EQ(collect({"badlib", "a"}, &map, &ok)
                .rfind("qelcollect: D/badlib (unit 1): not valid JSON: ", 0),
            0u);
  EXPECT_EQ(collect({"b", "a", "disagree"}, &map, &ok),
            "qelcollect: D/disagree (unit 9): the record's header and its map disagree\n");
  EXPECT_EQ(map.units.at(1).mapFile, P("b") + " (unit 1)");
  EXPECT_EQ(collect({"a", "clash"}, &map, &ok),
            "qelcollect: unit 11 is mapped twice: maps/11.qelmap.json and D/clash (unit 11)\n");
  EXPECT_EQ(collect({"damaged"}, &map, &ok).rfind("qelcollect: D/damaged: section .qelmap: ", 0),
            0u);
}

TEST_F(EarlyMaps, TheReaderParsesTheMapsOfASuitesLibraryOnce) {
  EarlyMapReader reader;
  for (const auto& path : paths({"a", "b", "rebuilt"})) reader.add(path);
  reader.finish();
  const ModuleRead* a = reader.result(P("a"));
  const ModuleRead* b = reader.result(P("b"));
  ASSERT_TRUE(a && b && reader.result(P("rebuilt")));
  std::string states;
  for (const ModuleRead* read : {a, b})
    for (const ModuleRecord& r : read->records) states += std::to_string(static_cast<int>(r.state));
  // a: all parsed; b: the library's two left alone, its own unit parsed
  // once and its second copy never.
  EXPECT_EQ(states,
            "111"
            "0010");
  EXPECT_EQ(reader.result(P("rebuilt"))->records[0].state, ModuleRecord::State::kParsed);
}

TEST_F(EarlyMaps, AModuleReadEarlyIsTheFileThatRanAndOneNotThereYetIsReadAgain) {
  EarlyMapReader reader;
  for (const auto& path : paths({"a", "late"})) reader.add(path);
  reader.finish();
  ASSERT_EQ(reader.result(P("late"))->outcome, ModuleMaps::kUnreadable);
  // Written after it was named; `a` replaced after it ran.
  write("late", {record(12, 0xcc, mapText(12, 0xcc, "late.c"))});
  write("a", {});
  SourceMap map;
  std::ostringstream err;
  EXPECT_TRUE(addProgramMaps(paths({"a", "late"}), &reader, &map, err));
  EXPECT_EQ(err.str(), "");
  EXPECT_TRUE(map.find(3, 0x33) && map.find(12, 0xcc)) << dump(map);
}

TEST_F(EarlyMaps, StoppedOrGivenUpTheModulesNotReadAreReadAtTheEnd) {
  std::vector<std::string> many;
  for (int i = 0; i < 200; ++i) many.push_back(P(i % 2 ? "a" : "rebuilt"));
  {
    // Destroyed with modules still queued: it gives them up and returns.
    EarlyMapReader reader;
    for (const auto& path : many) reader.add(path);
  }
  EarlyMapReader reader;
  for (const auto& path : paths(kHarmless)) reader.add(path);
  reader.stop();
  reader.add(P("badown"));  // too late: not taken
  EXPECT_EQ(reader.result(P("badown")), nullptr);
  SourceMap want, got;
  std::ostringstream wantText, gotText;
  addProgramMaps(paths(kHarmless), nullptr, &want, wantText);
  addProgramMaps(paths(kHarmless), &reader, &got, gotText);
  EXPECT_EQ(gotText.str(), wantText.str());
  EXPECT_EQ(dump(got), dump(want));
}

TEST_F(EarlyMaps, AMapTakenForKnownButNotAddedIsReadFromTheFile) {
  // Read as if its maps were all known, then applied to an empty map.
  ModuleReadOptions options;
  options.skip = [](uint16_t, uint64_t) { return true; };
  ModuleRead read;
  ASSERT_TRUE(readModuleMaps(P("b"), options, &read));
  SourceMap got, want;
  std::size_t gotAdded = 0, wantAdded = 0;
  std::string gotError, wantError;
  EXPECT_EQ(applyModuleMaps(std::move(read), &got, &gotAdded, &gotError), ModuleMaps::kRead);
  EXPECT_EQ(loadModuleMaps(P("b"), &want, &wantAdded, &wantError), ModuleMaps::kRead);
  EXPECT_EQ(gotAdded, wantAdded);
  EXPECT_EQ(dump(got), dump(want));
  EXPECT_EQ(got.units.size(), 3u);
}

}  // namespace
