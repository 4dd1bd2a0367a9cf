#include <stdio.h>
#include <stdlib.h>

#include "orrin.h"

int RunDemo(void)
{
    int i;
    int *buffer = (int *)malloc(5 * sizeof(int));

    if (buffer == NULL)
        return 0;
    for (i = 0; i < 5; i++) {
        buffer[i] = i;
        printf("%d", buffer[i]);
    }
    point(buffer);
    free(buffer);
    return 0;
}

int main(void)
{
    (void)RunDemo();
    return 0;
}
