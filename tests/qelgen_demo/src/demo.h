/* A second project for the driver generator: small geometry and text
 * functions whose signatures cover what the vector format can encode, and
 * three that it cannot (a function pointer, a void pointer, variadic). */
#ifndef QELGEN_DEMO_H
#define QELGEN_DEMO_H

#ifdef __cplusplus
extern "C" {
#endif

struct Point {
    int x;
    int y;
};

struct Polygon {
    int corners;
    struct Point points[4];
    struct Point *anchor;
};

enum Quadrant { kOrigin = 0, kFirst = 1, kSecond = 2, kThird = 3, kFourth = 4 };

struct Item {
    int quantity;
    double price;
};

struct Order {
    char code;
    struct Item item;
    unsigned int urgent : 1;
};

union Number {
    int whole;
    float real;
};

extern int g_calls;

/* geometry.c */
int clamp(int value, int low, int high);
double distance(struct Point a, struct Point b);
void scale_polygon(struct Polygon *poly, int factor);
enum Quadrant quadrant_of(struct Point p);
long sum_values(const int *values, int count);
void normalize(float weights[4]);
int matrix_trace(int m[3][3]);
int first_of_each(int **rows, int n);

/* text.c */
int count_vowels(const char *text);
void upper_case(char *text);
int parse_number(union Number *out, const char *text, short as_real);
long long total_cost(const struct Order orders[3]);
int apply(int (*fn)(int), int x);
void *buffer_of(void *raw);
int log_message(const char *format, ...);

#ifdef __cplusplus
}
#endif

#endif
