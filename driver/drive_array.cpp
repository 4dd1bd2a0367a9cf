// Array and pointer drivers (ArrayType and PointType groups).
#include <algorithm>
#include <memory>
#include <vector>

#include "drivers.h"

int drive_ArrayTypeOne(Json::Value root, int index)
{
    TestCase tc(root, "ArrayTypeOne", index);
    const Member in = tc["array_one"];
    int array_one[2];
    for (int j = 0; j < 2; ++j) array_one[j] = in[j].asInt();
    ArrayTypeOne(array_one);
    return 0;
}

int drive_ArrayTypeTwo(Json::Value root, int index)
{
    TestCase tc(root, "ArrayTypeTwo", index);
    const Member in = tc["array_two"];
    int array_two[3][4];
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 4; ++b) array_two[a][b] = in[a][b].asInt();
    ArrayTypeTwo(array_two);
    return 0;
}

int drive_ArrayTypeThree(Json::Value root, int index)
{
    TestCase tc(root, "ArrayTypeThree", index);
    const Member in = tc["array_three"];
    int array_three[2][3][4];
    for (int a = 0; a < 2; ++a)
        for (int b = 0; b < 3; ++b)
            for (int c = 0; c < 4; ++c) array_three[a][b][c] = in[a][b][c].asInt();
    ArrayTypeThree(array_three);
    return 0;
}

int drive_ArrayTypeNoSize(Json::Value root, int index)
{
    TestCase tc(root, "ArrayTypeNoSize", index);
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
    return 0;
}

int drive_ArrayTypeTest1(Json::Value root, int index)
{
    TestCase tc(root, "ArrayTypeTest1", index);
    const Member in = tc["arrsk"];
    int values[10];
    int* arrsk[10];
    for (int j = 0; j < 10; ++j) {
        values[j] = in[j].asInt();
        arrsk[j] = &values[j];
    }
    ArrayTypeTest1(arrsk);
    return 0;
}

int drive_ArrayTypeTest2(Json::Value root, int index)
{
    TestCase tc(root, "ArrayTypeTest2", index);
    const Member in = tc["uof"];
    int rows[3][4];
    int(*uof[3])[4];
    for (int a = 0; a < 3; ++a) {
        for (int b = 0; b < 4; ++b) rows[a][b] = in[a][b].asInt();
        uof[a] = &rows[a];
    }
    ArrayTypeTest2(uof);
    return 0;
}

int drive_PointTypeOne(Json::Value root, int index)
{
    TestCase tc(root, "PointTypeOne", index);
    const Member in = tc["point_one"];
    std::vector<int> counted(static_cast<std::size_t>(in.count()));
    for (std::size_t j = 0; j < counted.size(); ++j) counted[j] = in[static_cast<int>(j)].asInt();
    const int length = tc["length"].asInt();

    // The function prints `length` ints: it gets at least that many, with
    // zeros after the counted ones, so it never reads past its block.
    const int count = static_cast<int>(counted.size());
    if (length > count && length > kMaxPointTypeOneLength)
        throw VectorError(tc.key(), "length",
                          "length " + std::to_string(length) + " exceeds the " +
                              std::to_string(count) +
                              " counted values and the driver's limit of " +
                              std::to_string(kMaxPointTypeOneLength) + " ints");
    const std::size_t size = static_cast<std::size_t>(std::max(count, length));
    int* point_one = new int[size]();
    std::copy(counted.begin(), counted.end(), point_one);
    PointTypeOne(point_one, length);
    return 0;
}

int drive_PointTypeTwo(Json::Value root, int index)
{
    TestCase tc(root, "PointTypeTwo", index);
    int** point_two = ReadCountedRows(tc["point_two"]);
    PointTypeTwo(point_two);
    return 0;
}

int drive_PointTypeThree(Json::Value root, int index)
{
    TestCase tc(root, "PointTypeThree", index);
    int value = tc["point_three"].asInt();
    int* first = &value;
    int** second = &first;
    int*** point_three = &second;
    PointTypeThree(point_three);
    return 0;
}

int drive_PointTypeTest1(Json::Value root, int index)
{
    TestCase tc(root, "PointTypeTest1", index);
    const Member in = tc["rusks"];
    int rusks[10];
    for (int j = 0; j < 10; ++j) rusks[j] = in[j].asInt();
    PointTypeTest1(&rusks[0]);
    return 0;
}

int drive_PointTypeTest2(Json::Value root, int index)
{
    TestCase tc(root, "PointTypeTest2", index);
    const Member in = tc["uuf"];
    int uuf[3][4];
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 4; ++b) uuf[a][b] = in[a][b].asInt();
    PointTypeTest2(&uuf[0]);
    return 0;
}

int drive_point(Json::Value root, int index)
{
    TestCase tc(root, "point", index);
    int* intArr = ReadCountedInts(tc["intArr"]);
    (void)point(intArr);
    return 0;
}
