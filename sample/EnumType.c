#include <stdio.h>

#include "orrin.h"

int g_glbal = 10;
enum Season cc = spring;
UnionA un_a;

void EnumTypeTest(void)
{
    enum Season x;

    g_glbal = 1000;
    printf("%d \n", spring);
    printf("%d, %c \n", summer, summer);
    printf("%d \n", autumn);
    cc = winter;
    if (cc == winter)
        printf("mySeason is winter \n");
    x = summer;
    if (x == summer)
        printf("x is equal to summer\n");
    printf("%d bytes\n", (int)sizeof(enum Season));
    printf("sizeof Weekday is: %d \n", (int)sizeof(Weekday));
}

void UionTypeTest(void)
{
    un_a.un_int = 10;
}
