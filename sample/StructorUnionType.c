#include "orrin.h"

void StructTypeTest1(StructHolder m_struct)
{
    (void)m_struct;
}

void StructTypeTest2(StructHolder *mm_struct)
{
    (void)mm_struct;
}

void StructTypeTest3(StructHolder mm_struct[2])
{
    (void)mm_struct;
}

void StructTypeTest4(StructHolder mm_struct[2][3])
{
    (void)mm_struct;
}
