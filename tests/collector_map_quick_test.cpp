// The quick map reader against the general one: every map it takes on reads
// into exactly the same unit, whatever the spacing and key order, and every
// map it cannot read exactly (escapes it does not decode, repeated keys,
// numbers written otherwise, invalid maps) is left to the general reader,
// so the result and the error messages stay the general reader's.
#include <gtest/gtest.h>

#include <sstream>

#include "qeltools/json_io.hpp"
#include "report_fixtures.h"
#include "srcmap.hpp"

using namespace qelc;

namespace {

std::string rangeText(const MapRange& r) {
  std::ostringstream o;
  o << r.line << ":" << r.column << "-" << r.endLine << ":" << r.endColumn;
  return o.str();
}

// Every field of a unit, one line each.
std::string dump(const UnitMap& u) {
  std::ostringstream o;
  o << u.unit << " " << u.group << " " << u.source << " " << u.hash << " " << u.identity << " "
    << u.hasIdentity << " " << u.instrumented << " " << u.reason << " " << u.mapFile << "\n";
  for (const auto& [id, path] : u.files) o << "file " << id << " " << path << "\n";
  for (const auto& [id, hash] : u.fileHashes) o << "hash " << id << " " << hash << "\n";
  for (const auto& f : u.functions)
    o << "fn " << f.name << " " << f.file << " " << f.line << " " << f.column << " " << f.endLine
      << " " << f.entryNode << "\n";
  for (const auto& n : u.nodes) {
    o << "node " << n.id << " " << n.file << " " << n.line << " " << n.column << " " << n.function
      << " " << n.kind << " lines";
    for (int l : n.lines) o << " " << l;
    o << "\n";
  }
  for (const auto& d : u.decisions) {
    o << "decision " << d.id << " " << d.condId << " " << d.file << " " << d.function << " "
      << d.kind << " [" << d.text << "] " << rangeText(d.range) << " " << d.mcdc << "\n";
    for (const auto& c : d.conditions)
      o << "  cond " << c.id << " " << c.index << " [" << c.text << "] " << rangeText(c.range)
        << "\n";
  }
  return o.str();
}

std::string fixtureMap(const std::string& dir, const std::string& file) {
  return qeltest::readText(std::string(QEL_REPORT_FIXTURES) + "/" + dir + "/" + file);
}

// A map with every kind of entry and optional field, as a JSON document.
qeltools::Json richMap() {
  return qeltools::Json::parse(R"({
    "format": "qelmap", "version": 1, "unit": 12, "group": 3, "source": "src/a.c",
    "hash": "fnv1a64:0123456789abcdef", "identity": "fnv1a64:00000000deadbeef",
    "instrumented": true, "reason": "", "extra": {"nested": [1, 2.5e3, -0.5, null, "x\"y"]},
    "files": [{"id": 0, "path": "src/a.c", "hash": "fnv1a64:0000000000000001"},
              {"id": 4, "path": "inc/b.h"}],
    "functions": [{"name": "f", "file": 0, "line": 3, "column": 1, "end_line": 9,
                   "entry_node": 1},
                  {"name": "g", "file": 4, "line": 2}],
    "nodes": [{"id": 1, "file": 0, "line": 3, "column": 5, "function": "f", "kind": "entry",
               "lines": [3, 4]},
              {"id": 2, "file": 4, "line": 7}],
    "decisions": [{"id": 1, "cond_id": 2, "file": 0, "function": "f", "kind": "if",
                   "text": "a && (b || c)\n\t/", "line": 5, "column": 7, "end_line": 6,
                   "end_column": 2, "mcdc": false,
                   "conditions": [{"id": 4, "index": 2, "text": "c", "line": 6, "column": 1},
                                  {"id": 2, "index": 0, "text": "a"},
                                  {"id": 3, "index": 1, "text": "b", "line": 5, "column": 12,
                                   "end_line": 5, "end_column": 13}]},
                  {"id": 2, "cond_id": 5, "file": 4, "line": 8}]
  })");
}

// What the general reader makes of `text`, and whether the quick one takes
// it on; when it does, both must agree field for field.
bool quickAgrees(const std::string& text, bool* taken) {
  UnitMap general, quick;
  std::string error;
  const bool valid = parseUnitMapGeneral(text, "m.json", &general, &error);
  *taken = readUnitMapQuickly(text, "m.json", &quick);
  if (*taken && !valid) {
    ADD_FAILURE() << "taken on, yet invalid: " << error << "\n" << text;
    return false;
  }
  if (!*taken) return true;
  EXPECT_EQ(dump(quick), dump(general)) << text;
  return dump(quick) == dump(general);
}

}  // namespace

TEST(QuickMaps, ReadsTheMapsQelccWritesAsTheGeneralReaderDoes) {
  for (const auto& [dir, file] :
       {std::pair<std::string, std::string>{"parcel_map", "1.qelmap.json"},
        {"gate_map", "7.qelmap.json"}}) {
    bool taken = false;
    EXPECT_TRUE(quickAgrees(fixtureMap(dir, file), &taken)) << dir;
    EXPECT_TRUE(taken) << dir;
  }
  // Pretty or compact, keys in any order.
  const qeltools::Json rich = richMap();
  for (const std::string& text : {rich.dump(), rich.dump(2), rich.dump(0)}) {
    bool taken = false;
    EXPECT_TRUE(quickAgrees(text, &taken));
    EXPECT_TRUE(taken) << text;
  }
  const nlohmann::json sorted = nlohmann::json::parse(rich.dump());  // keys sorted
  bool taken = false;
  EXPECT_TRUE(quickAgrees(sorted.dump(1), &taken));
  EXPECT_TRUE(taken);
}

TEST(QuickMaps, LeavesWhatItCannotReadExactlyToTheGeneralReader) {
  const std::string base = richMap().dump();
  const auto with = [&](const std::string& from, const std::string& to) {
    const std::string t = qeltest::replaceAll(base, from, to);
    EXPECT_NE(t, base) << from;
    return t;
  };
  const std::vector<std::string> declined = {
      with("\"src/a.c\"", "\"src/\\u00e9.c\""),                // an escape it does not decode
      with("\"src/a.c\"", "\"src/\xc3\xa9.c\""),               // bytes beyond ASCII
      with("\"version\":1", "\"version\":1.0"),                // a number written otherwise
      with("\"unit\":12", "\"unit\":12,\"unit\":13"),          // a key twice
      with("\"column\":5", "\"column\":05"),                   // not JSON
      with("\"unit\":12", "\"unit\":0"),                       // out of range
      with("\"file\":4,\"line\":7", "\"file\":9,\"line\":7"),  // a file not listed
      with("\"index\":1", "\"index\":3"),                      // indices with a gap
      with("\"mcdc\":false", "\"mcdc\":0"),                    // not a boolean
      with("\"group\":3", "\"group\":null"),                   // null for a field
      base + " x",                                             // text after the map
      base.substr(0, base.size() - 1),                         // cut short
      "[]",
  };
  for (const std::string& text : declined) {
    bool taken = true;
    EXPECT_TRUE(quickAgrees(text, &taken));
    EXPECT_FALSE(taken) << text;
  }
  // The public entry gives the general reader's error word for word.
  UnitMap u;
  std::string quickError, generalError;
  const std::string bad = with("\"file\":4,\"line\":7", "\"file\":9,\"line\":7");
  EXPECT_FALSE(parseUnitMap(bad, "m.json", &u, &quickError));
  EXPECT_FALSE(parseUnitMapGeneral(bad, "m.json", &u, &generalError));
  EXPECT_EQ(quickError, generalError);
  EXPECT_EQ(quickError, "m.json: file id 9 is not listed");
  // What it declines and the general reader accepts still reads.
  std::string error;
  ASSERT_TRUE(parseUnitMap(with("\"src/a.c\"", "\"src/\\u00e9.c\""), "m.json", &u, &error))
      << error;
  EXPECT_EQ(u.files[0], "src/\xc3\xa9.c");
}

TEST(QuickMaps, AFolderOfMapsReadOnEveryCoreReadsInOrder) {
  const std::string dir = qeltest::freshDir("quickmaps");
  qeltools::Json rich = richMap();
  for (int unit = 1; unit <= 9; ++unit) {
    rich["unit"] = unit;
    rich["identity"] = hashText(static_cast<uint64_t>(unit));
    qeltest::writeText(dir + "/" + std::to_string(unit) + ".qelmap.json", rich.dump(1));
  }
  SourceMap map;
  std::string error;
  ASSERT_TRUE(loadMapDir(dir, &map, &error)) << error;
  ASSERT_EQ(map.units.size(), 9u);
  for (const auto& [unit, u] : map.units) {
    EXPECT_EQ(u.unit, unit);
    EXPECT_EQ(u.identity, unit);
    EXPECT_EQ(u.mapFile, dir + "/" + std::to_string(unit) + ".qelmap.json");
    EXPECT_EQ(u.decisions.size(), 2u);
  }
  // Two maps broken: the error is the first one's, whichever thread read it.
  qeltest::writeText(dir + "/4.qelmap.json", "{\"format\": \"qelmap\", \"version\": 2}");
  qeltest::writeText(dir + "/7.qelmap.json", "{");
  SourceMap again;
  EXPECT_FALSE(loadMapDir(dir, &again, &error));
  EXPECT_EQ(error, dir +
                       "/4.qelmap.json: map version 2 is not supported (this collector reads "
                       "version 1)");
}
