#include <stdio.h>

#include "orrin.h"

void BuiltinTypeChar(char c_char)
{
    printf("%c", c_char);
}

void BuiltinTypeShort(short s_short)
{
    printf("%hd", s_short);
}

void BuiltinTypeInt(int i_int)
{
    printf("%d", i_int);
}

void BuiltinTypeLong(long l_long)
{
    printf("%ld", l_long);
}

void BuiltinTypeLongLong(long long ll_long)
{
    printf("%lld", ll_long);
}

void BuiltinTypeFloat(float f_float)
{
    printf("%f", f_float);
}

void BuiltinTypeDouble(double d_double)
{
    printf("%f", d_double);
}

void BuiltinTypeLongDouble(long double ld_double)
{
    /* long double is wider than double here: "%lf" would read a double. */
    printf("%Lf", ld_double);
}
