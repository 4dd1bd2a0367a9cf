// The map document as written for every compile, against the same document
// built as a tree by the JSON library and dumped as the maps were first
// written: readers and stored maps rely on its bytes (identity checks, a
// map left as it is when nothing changed).
#include "mapdir.h"

#include <gtest/gtest.h>

#include <string>

#include "qeltools/json_io.hpp"

namespace {

using qeltools::Json;
using qeltools::jsonBytes;

std::string ThroughTheLibrary(const qelcc::UnitMap& map) {
  Json doc = Json::object();
  doc["format"] = "qelmap";
  doc["version"] = 1;
  doc["unit"] = map.unit;
  doc["group"] = map.group;
  doc["source"] = jsonBytes(map.source);
  doc["object"] = jsonBytes(map.object);
  doc["hash"] = qelcc::FileHash(map.source);
  doc["identity"] = qelcc::HashText(map.identity);
  doc["instrumented"] = map.instrumented;
  if (!map.instrumented) doc["reason"] = jsonBytes(map.reason);
  Json files = Json::array();
  for (size_t i = 0; i < map.files.size(); ++i) {
    files.push_back({{"id", static_cast<int>(i)},
                     {"path", jsonBytes(map.files[i])},
                     {"hash", qelcc::FileHash(map.files[i])}});
  }
  doc["files"] = std::move(files);
  Json fns = Json::array();
  for (const qelcc::MapFunction& fn : map.functions) {
    fns.push_back({{"name", jsonBytes(fn.name)},
                   {"file", fn.file},
                   {"line", fn.line},
                   {"column", fn.column},
                   {"end_line", fn.end_line},
                   {"entry_node", fn.entry_node}});
  }
  doc["functions"] = std::move(fns);
  Json nodes = Json::array();
  for (const qelcc::MapNode& n : map.nodes) {
    nodes.push_back({{"id", n.id},
                     {"file", n.file},
                     {"line", n.line},
                     {"column", n.column},
                     {"function", jsonBytes(n.function)},
                     {"lines", n.lines},
                     {"kind", n.kind}});
  }
  doc["nodes"] = std::move(nodes);
  Json decs = Json::array();
  for (const qelcc::MapDecision& d : map.decisions) {
    Json j = {{"id", d.id},
              {"cond_id", d.cond_id},
              {"file", d.file},
              {"function", jsonBytes(d.function)},
              {"kind", d.kind},
              {"line", d.line},
              {"column", d.column},
              {"end_line", d.end_line},
              {"end_column", d.end_column},
              {"text", jsonBytes(d.text)},
              {"mcdc", d.mcdc}};
    if (!d.form.empty()) j["form"] = d.form;
    Json conds = Json::array();
    for (const qelcc::MapCondition& c : d.conditions) {
      conds.push_back({{"id", c.id},
                       {"index", c.index},
                       {"text", jsonBytes(c.text)},
                       {"line", c.line},
                       {"column", c.column},
                       {"end_line", c.end_line},
                       {"end_column", c.end_column}});
    }
    j["conditions"] = std::move(conds);
    decs.push_back(std::move(j));
  }
  doc["decisions"] = std::move(decs);
  return qeltools::dumpJson(doc, 1) + "\n";
}

TEST(MapDocument, ReadsByteForByteAsTheLibraryWritesIt) {
  qelcc::UnitMap map;
  map.unit = 32767;
  map.group = 65535;
  map.source = TESTS_SOURCE_FILE;  // a file that exists: its hash is written
  map.object = "/tmp/out dir/\"quoted\"\\back\tslash.o";
  map.identity = 0x0123456789abcdefULL;
  map.files = {TESTS_SOURCE_FILE, "/no/such/file.h", "caf\xc3\xa9/\xff\xfe bytes.c"};
  map.functions.push_back({"main", 0, 1, 5, 9, 1});
  map.functions.push_back({"f\x7f\x01", 2, 4294967295u, 0, 0, -1});
  qelcc::MapNode n;
  n.id = 1;
  n.line = 3;
  n.column = 7;
  n.function = "main";
  n.kind = "entry";
  n.lines = {3, 4, 10};
  map.nodes.push_back(n);
  n.id = 2;
  n.lines.clear();  // an empty array
  n.function = "";
  map.nodes.push_back(n);
  qelcc::MapDecision d;
  d.id = 7;
  d.cond_id = 8;
  d.kind = "if";
  d.text = "a && s[i] == '\"' || c == '\\\\' /* \xe2\x80\x94 */\n  && x";
  d.conditions.push_back({8, 0, "a", 1, 2, 1, 3});
  d.conditions.push_back({9, 1, "s[i] == '\"'", 1, 8, 1, 19});
  map.decisions.push_back(d);
  d.form = "events";
  d.mcdc = false;
  d.conditions.clear();  // a decision whose conditions are not listed
  map.decisions.push_back(d);
  EXPECT_EQ(qelcc::MapDocument(map), ThroughTheLibrary(map));

  // A unit built without probes: its reason, and nothing listed.
  qelcc::UnitMap none;
  none.source = "<stdin>";
  none.instrumented = false;
  none.reason = "libclang cannot parse it: x.c:1:2: error: \"expected ';'\"\r\n";
  EXPECT_EQ(qelcc::MapDocument(none), ThroughTheLibrary(none));
}

}  // namespace
