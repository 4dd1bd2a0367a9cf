#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "demo.h"

int g_calls = 0;

static int is_vowel(char c)
{
    switch (c) {
    case 'a': case 'e': case 'i': case 'o': case 'u':
    case 'A': case 'E': case 'I': case 'O': case 'U':
        return 1;
    }
    return 0;
}

int count_vowels(const char *text)
{
    int n = 0;
    g_calls++;
    for (; *text; text++)
        n += is_vowel(*text);
    return n;
}

void upper_case(char *text)
{
    for (; *text; text++)
        if (*text >= 'a' && *text <= 'z')
            *text = (char)(*text - 'a' + 'A');
    printf("upper_case done\n");
}

int parse_number(union Number *out, const char *text, short as_real)
{
    if (as_real)
        out->real = (float)atof(text);
    else
        out->whole = atoi(text);
    return as_real ? 2 : 1;
}

long long total_cost(const struct Order orders[3])
{
    long long cents = 0;
    int i;
    for (i = 0; i < 3; i++) {
        long long line = (long long)(orders[i].item.quantity * orders[i].item.price * 100.0 + 0.5);
        cents += orders[i].urgent ? line * 2 : line;
    }
    return cents;
}

int apply(int (*fn)(int), int x)
{
    return fn(x);
}

void *buffer_of(void *raw)
{
    return raw;
}

int log_message(const char *format, ...)
{
    va_list args;
    int n;
    va_start(args, format);
    n = vprintf(format, args);
    va_end(args);
    return n;
}
