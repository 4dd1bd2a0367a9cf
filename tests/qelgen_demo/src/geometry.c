#include <math.h>

#include "demo.h"

int clamp(int value, int low, int high)
{
    if (value < low)
        return low;
    if (value > high)
        return high;
    return value;
}

double distance(struct Point a, struct Point b)
{
    double dx = (double)(a.x - b.x);
    double dy = (double)(a.y - b.y);
    return sqrt(dx * dx + dy * dy);
}

void scale_polygon(struct Polygon *poly, int factor)
{
    int i;
    for (i = 0; i < poly->corners && i < 4; i++) {
        poly->points[i].x *= factor;
        poly->points[i].y *= factor;
    }
    if (poly->anchor != 0) {
        poly->anchor->x *= factor;
        poly->anchor->y *= factor;
    }
}

enum Quadrant quadrant_of(struct Point p)
{
    if (p.x == 0 || p.y == 0)
        return kOrigin;
    if (p.x > 0)
        return p.y > 0 ? kFirst : kFourth;
    return p.y > 0 ? kSecond : kThird;
}

long sum_values(const int *values, int count)
{
    long total = 0;
    int i;
    for (i = 0; i < count; i++)
        total += values[i];
    return total;
}

void normalize(float weights[4])
{
    float total = 0.0f;
    int i;
    for (i = 0; i < 4; i++)
        total += weights[i];
    if (total == 0.0f)
        return;
    for (i = 0; i < 4; i++)
        weights[i] /= total;
}

int matrix_trace(int m[3][3])
{
    return m[0][0] + m[1][1] + m[2][2];
}

int first_of_each(int **rows, int n)
{
    int i, total = 0;
    for (i = 0; i < n; i++)
        total += rows[i][0];
    return total;
}
