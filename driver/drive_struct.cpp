// Structure drivers (StructorUnionType group).
#include <cstring>

#include "drivers.h"

void BuildStructOne(const Member& s, StructOne& out)
{
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

void BuildHolder(const Member& element, StructOne& one, StructHolder& holder)
{
    BuildStructOne(element["structone"], one);
    holder.structone = &one;
}

}  // namespace

int drive_StructTypeTest1(Json::Value root, int index)
{
    TestCase tc(root, "StructTypeTest1", index);
    StructOne one;
    StructHolder m_struct;
    BuildHolder(tc["m_struct"], one, m_struct);
    StructTypeTest1(m_struct);
    return 0;
}

int drive_StructTypeTest2(Json::Value root, int index)
{
    TestCase tc(root, "StructTypeTest2", index);
    StructOne one;
    StructHolder mm_struct;
    BuildHolder(tc["mm_struct"], one, mm_struct);
    StructTypeTest2(&mm_struct);
    return 0;
}

int drive_StructTypeTest3(Json::Value root, int index)
{
    TestCase tc(root, "StructTypeTest3", index);
    const Member in = tc["mm_struct"];
    StructOne ones[2];
    StructHolder mm_struct[2];
    for (int k = 0; k < 2; ++k) BuildHolder(in[k], ones[k], mm_struct[k]);
    StructTypeTest3(mm_struct);
    return 0;
}

int drive_StructTypeTest4(Json::Value root, int index)
{
    TestCase tc(root, "StructTypeTest4", index);
    const Member in = tc["mm_struct"];
    StructOne ones[2][3];
    StructHolder mm_struct[2][3];
    for (int a = 0; a < 2; ++a)
        for (int b = 0; b < 3; ++b) BuildHolder(in[a][b], ones[a][b], mm_struct[a][b]);
    StructTypeTest4(mm_struct);
    return 0;
}
