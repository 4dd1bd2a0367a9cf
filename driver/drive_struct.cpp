// Structure drivers (StructorUnionType group).
#include <cstring>

#include "drivers.h"

void BuildStructOne(const Member& s, StructOne& out) {
  out.i_int = s["i_int"].asInt();

  const Member one = s["array_one"];
  int array_one[2];
  for (int j = 0; j < 2; ++j) array_one[j] = one[j].asInt();
  std::memcpy(out.array_one, array_one, sizeof array_one);

  const Member two = s["array_two"];
  int array_two[3][4];
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 4; ++b) array_two[a][b] = two[a][b].asInt();
  std::memcpy(out.array_two, array_two, sizeof array_two);

  out.point_one = ReadCountedInts(s["point_one"]);
  out.point_two = ReadCountedRows(s["point_two"]);
  out.extra_one = nullptr;
  out.w = static_cast<unsigned>(s["w"].asInt()) & 1u;
  out.extra_two = nullptr;
}

namespace {

void BuildHolder(const Member& element, StructOne& one, StructHolder& holder) {
  BuildStructOne(element["structone"], one);
  holder.structone = &one;
}

// The holder after the call, shaped like its object in the file; the counted
// blocks keep the lengths the file gave them.
Json::Value HolderToJson(const Member& element, const StructHolder& holder) {
  const StructOne& one = *holder.structone;
  const Member s = element["structone"];
  Json::Value out(Json::objectValue);
  out["i_int"] = one.i_int;
  out["array_one"] = IntsToJson(one.array_one, 2);
  Json::Value rows(Json::arrayValue);
  for (int a = 0; a < 3; ++a) rows.append(IntsToJson(one.array_two[a], 4));
  out["array_two"] = rows;
  out["point_one"] = IntsToJson(one.point_one, s["point_one"].count());
  Json::Value counted(Json::arrayValue);
  const Member two = s["point_two"];
  const int n = two.count();
  for (int r = 0; r < n; ++r) counted.append(IntsToJson(one.point_two[r], two[r].count()));
  out["point_two"] = counted;
  out["w"] = static_cast<int>(one.w);
  Json::Value wrapped(Json::objectValue);
  wrapped["structone"] = out;
  return wrapped;
}

}  // namespace

int drive_StructTypeTest1(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "StructTypeTest1", index, record);
  StructOne one;
  StructHolder m_struct;
  BuildHolder(tc["m_struct"], one, m_struct);
  StructTypeTest1(m_struct);
  tc.Observe("m_struct", HolderToJson(tc["m_struct"], m_struct));
  return 0;
}

int drive_StructTypeTest2(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "StructTypeTest2", index, record);
  StructOne one;
  StructHolder mm_struct;
  BuildHolder(tc["mm_struct"], one, mm_struct);
  StructTypeTest2(&mm_struct);
  tc.Observe("mm_struct", HolderToJson(tc["mm_struct"], mm_struct));
  return 0;
}

int drive_StructTypeTest3(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "StructTypeTest3", index, record);
  const Member in = tc["mm_struct"];
  StructOne ones[2];
  StructHolder mm_struct[2];
  for (int k = 0; k < 2; ++k) BuildHolder(in[k], ones[k], mm_struct[k]);
  StructTypeTest3(mm_struct);
  Json::Value observed(Json::arrayValue);
  for (int k = 0; k < 2; ++k) observed.append(HolderToJson(in[k], mm_struct[k]));
  tc.Observe("mm_struct", observed);
  return 0;
}

int drive_StructTypeTest4(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "StructTypeTest4", index, record);
  const Member in = tc["mm_struct"];
  StructOne ones[2][3];
  StructHolder mm_struct[2][3];
  for (int a = 0; a < 2; ++a)
    for (int b = 0; b < 3; ++b) BuildHolder(in[a][b], ones[a][b], mm_struct[a][b]);
  StructTypeTest4(mm_struct);
  Json::Value observed(Json::arrayValue);
  for (int a = 0; a < 2; ++a) {
    Json::Value row(Json::arrayValue);
    for (int b = 0; b < 3; ++b) row.append(HolderToJson(in[a][b], mm_struct[a][b]));
    observed.append(row);
  }
  tc.Observe("mm_struct", observed);
  return 0;
}
