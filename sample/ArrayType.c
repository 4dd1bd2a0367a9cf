#include <stdio.h>

#include "orrin.h"

void ArrayTypeOne(int array_one[2])
{
    int j;
    for (j = 0; j < 2; j++)
        printf("%d", array_one[j]);
}

void ArrayTypeTwo(int array_two[3][4])
{
    int a, b;
    for (a = 0; a < 3; a++)
        for (b = 0; b < 4; b++)
            printf("%d", array_two[a][b]);
}

void ArrayTypeThree(int array_three[2][3][4])
{
    int a, b, c;
    for (a = 0; a < 2; a++)
        for (b = 0; b < 3; b++)
            for (c = 0; c < 4; c++)
                printf("%d", array_three[a][b][c]);
}

void ArrayTypeNoSize(int array_one[], int array_two[][4], int array_three[][3][4])
{
    ArrayTypeOne(array_one);
    ArrayTypeTwo(array_two);
    ArrayTypeThree(array_three);
}

void ArrayTypeTest1(int *arrsk[10])
{
    (void)arrsk;
}

void ArrayTypeTest2(int (*uof[3])[4])
{
    (void)uof;
}
