// Array and pointer drivers (ArrayType and PointType groups).
#include <algorithm>
#include <memory>
#include <vector>

#include "drivers.h"

namespace {

Json::Value RowsToJson(const int* first, int rows, int columns) {
  Json::Value out(Json::arrayValue);
  for (int r = 0; r < rows; ++r) out.append(IntsToJson(first + r * columns, columns));
  return out;
}

}  // namespace

int drive_ArrayTypeOne(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "ArrayTypeOne", index, record);
  const Member in = tc["array_one"];
  int array_one[2];
  for (int j = 0; j < 2; ++j) array_one[j] = in[j].asInt();
  ArrayTypeOne(array_one);
  tc.Observe("array_one", IntsToJson(array_one, 2));
  return 0;
}

int drive_ArrayTypeTwo(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "ArrayTypeTwo", index, record);
  const Member in = tc["array_two"];
  int array_two[3][4];
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 4; ++b) array_two[a][b] = in[a][b].asInt();
  ArrayTypeTwo(array_two);
  tc.Observe("array_two", RowsToJson(&array_two[0][0], 3, 4));
  return 0;
}

int drive_ArrayTypeThree(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "ArrayTypeThree", index, record);
  const Member in = tc["array_three"];
  int array_three[2][3][4];
  for (int a = 0; a < 2; ++a)
    for (int b = 0; b < 3; ++b)
      for (int c = 0; c < 4; ++c) array_three[a][b][c] = in[a][b][c].asInt();
  ArrayTypeThree(array_three);
  Json::Value planes(Json::arrayValue);
  for (int a = 0; a < 2; ++a) planes.append(RowsToJson(&array_three[a][0][0], 3, 4));
  tc.Observe("array_three", planes);
  return 0;
}

int drive_ArrayTypeNoSize(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "ArrayTypeNoSize", index, record);
  // The unsized dimensions are read as one row, but the function prints
  // 2, 3 and 2 rows: the storage covers those, the extra rows stay zero.
  int array_one[2] = {};
  int array_two[3][4] = {};
  int array_three[2][3][4] = {};
  array_one[0] = tc["array_one"][0].asInt();
  const Member two = tc["array_two"];
  for (int b = 0; b < 4; ++b) array_two[0][b] = two[0][b].asInt();
  const Member three = tc["array_three"];
  for (int b = 0; b < 3; ++b)
    for (int c = 0; c < 4; ++c) array_three[0][b][c] = three[0][b][c].asInt();
  ArrayTypeNoSize(array_one, array_two, array_three);
  // The rows the file gives, as for the other arrays.
  tc.Observe("array_one", IntsToJson(array_one, 1));
  tc.Observe("array_two", RowsToJson(&array_two[0][0], 1, 4));
  Json::Value planes(Json::arrayValue);
  planes.append(RowsToJson(&array_three[0][0][0], 3, 4));
  tc.Observe("array_three", planes);
  return 0;
}

int drive_ArrayTypeTest1(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "ArrayTypeTest1", index, record);
  const Member in = tc["arrsk"];
  int values[10];
  int* arrsk[10];
  for (int j = 0; j < 10; ++j) {
    values[j] = in[j].asInt();
    arrsk[j] = &values[j];
  }
  ArrayTypeTest1(arrsk);
  tc.Observe("arrsk", IntsToJson(values, 10));
  return 0;
}

int drive_ArrayTypeTest2(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "ArrayTypeTest2", index, record);
  const Member in = tc["uof"];
  int rows[3][4];
  int(*uof[3])[4];
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 4; ++b) rows[a][b] = in[a][b].asInt();
    uof[a] = &rows[a];
  }
  ArrayTypeTest2(uof);
  tc.Observe("uof", RowsToJson(&rows[0][0], 3, 4));
  return 0;
}

int drive_PointTypeOne(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "PointTypeOne", index, record);
  const Member in = tc["point_one"];
  std::vector<int> counted(static_cast<std::size_t>(in.count()));
  for (std::size_t j = 0; j < counted.size(); ++j) counted[j] = in[static_cast<int>(j)].asInt();
  const int length = tc["length"].asInt();

  // The function prints `length` ints: it gets at least that many, with
  // zeros after the counted ones, so it never reads past its block.
  const int count = static_cast<int>(counted.size());
  if (length > count && length > kMaxPointTypeOneLength)
    throw VectorError(tc.key(), "length",
                      "length " + std::to_string(length) + " exceeds the " + std::to_string(count) +
                          " counted values and the driver's limit of " +
                          std::to_string(kMaxPointTypeOneLength) + " ints");
  const std::size_t size = static_cast<std::size_t>(std::max(count, length));
  int* point_one = new int[size]();
  std::copy(counted.begin(), counted.end(), point_one);
  PointTypeOne(point_one, length);
  tc.Observe("point_one", IntsToJson(point_one, count));
  return 0;
}

int drive_PointTypeTwo(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "PointTypeTwo", index, record);
  const Member in = tc["point_two"];
  int** point_two = ReadCountedRows(in);
  PointTypeTwo(point_two);
  Json::Value rows(Json::arrayValue);
  const int n = in.count();
  for (int r = 0; r < n; ++r) rows.append(IntsToJson(point_two[r], in[r].count()));
  tc.Observe("point_two", rows);
  return 0;
}

int drive_PointTypeThree(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "PointTypeThree", index, record);
  int value = tc["point_three"].asInt();
  int* first = &value;
  int** second = &first;
  int*** point_three = &second;
  PointTypeThree(point_three);
  tc.Observe("point_three", ***point_three);
  return 0;
}

int drive_PointTypeTest1(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "PointTypeTest1", index, record);
  const Member in = tc["rusks"];
  int rusks[10];
  for (int j = 0; j < 10; ++j) rusks[j] = in[j].asInt();
  PointTypeTest1(&rusks[0]);
  tc.Observe("rusks", IntsToJson(rusks, 10));
  return 0;
}

int drive_PointTypeTest2(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "PointTypeTest2", index, record);
  const Member in = tc["uuf"];
  int uuf[3][4];
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 4; ++b) uuf[a][b] = in[a][b].asInt();
  PointTypeTest2(&uuf[0]);
  tc.Observe("uuf", RowsToJson(&uuf[0][0], 3, 4));
  return 0;
}

int drive_point(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "point", index, record);
  int count = 0;
  int* intArr = ReadCountedInts(tc["intArr"], &count);
  const int result = point(intArr);
  tc.Observe("return", result);
  tc.Observe("intArr", IntsToJson(intArr, count));
  return 0;
}
