#include <stdio.h>

#include "orrin.h"

void PointTypeOne(int *point_one, int length)
{
    int j;
    for (j = 0; j < length; j++)
        printf("%d", point_one[j]);
}

void PointTypeTwo(int **point_two)
{
    (void)point_two;
}

void PointTypeThree(int ***point_three)
{
    (void)point_three;
}

void PointTypeTest1(int *rusks)
{
    (void)rusks;
}

void PointTypeTest2(int (*uuf)[4])
{
    (void)uuf;
}

int point(int *intArr)
{
    int local = 100;
    /* Only the parameter's own copy is redirected: the caller sees nothing. */
    intArr = &local;
    (void)intArr;
    return 0;
}
