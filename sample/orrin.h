/* Shared types, globals and functions of the orrin sample project.
 * Every function group has its own source file; this header is the one
 * contract between them, the start-up file and the test driver (which is
 * C++, hence the linkage block). */
#ifndef ORRIN_H
#define ORRIN_H

#ifdef __cplusplus
extern "C" {
#endif

/* ---- shared types ---------------------------------------------------- */

typedef struct LNode {
    int data;
    struct LNode *next;
} LNode, *LinkList;

typedef struct StructOne {
    int i_int;
    int array_one[2];
    int array_two[3][4];
    int *point_one;
    int **point_two;
    void *extra_one;
    unsigned int w : 1;
    void *extra_two;
} StructOne;

typedef struct StructHolder {
    StructOne *structone;
} StructHolder;

typedef union UnionA {
    int un_int;
    char *un_char;
} UnionA;

typedef enum Weekday {
    Monday, Tuesday, Wednesday, Thursday, Friday, Saturday, Sunday
} Weekday;

enum Season { spring = 0, summer = 100, autumn = 193, winter = 97 };

/* ---- globals ----------------------------------------------------------- */

extern int g_glbal;
extern enum Season cc;
extern UnionA un_a;

/* ---- ArrayType --------------------------------------------------------- */

void ArrayTypeOne(int array_one[2]);
void ArrayTypeTwo(int array_two[3][4]);
void ArrayTypeThree(int array_three[2][3][4]);
/* Reads 2, 3 and 2 leading rows: callers must supply at least that many. */
void ArrayTypeNoSize(int array_one[], int array_two[][4], int array_three[][3][4]);
void ArrayTypeTest1(int *arrsk[10]);
void ArrayTypeTest2(int (*uof[3])[4]);

/* ---- BuiltinType ------------------------------------------------------- */

void BuiltinTypeChar(char c_char);
void BuiltinTypeShort(short s_short);
void BuiltinTypeInt(int i_int);
void BuiltinTypeLong(long l_long);
void BuiltinTypeLongLong(long long ll_long);
void BuiltinTypeFloat(float f_float);
void BuiltinTypeDouble(double d_double);
void BuiltinTypeLongDouble(long double ld_double);

/* ---- EnumType (with the union test) ------------------------------------ */

void EnumTypeTest(void);
void UionTypeTest(void);

/* ---- ListNode ---------------------------------------------------------- */

void InitLinkedList(void);
LinkList CreateLinkedListHead(int n);
LinkList CreateLinkedListTail(int n);
void InsertLinkedList(LinkList L, int i, int x);
void deleteLinkedList(LinkList L, int i);
int GetElem(LinkList L, int i);
int getlength(LinkList L);
void output(LinkList L);
void ClearList(LinkList L);

/* ---- PointType --------------------------------------------------------- */

void PointTypeOne(int *point_one, int length);
void PointTypeTwo(int **point_two);
void PointTypeThree(int ***point_three);
void PointTypeTest1(int *rusks);
void PointTypeTest2(int (*uuf)[4]);
int point(int *intArr);

/* ---- StructorUnionType ------------------------------------------------- */

void StructTypeTest1(StructHolder m_struct);
void StructTypeTest2(StructHolder *mm_struct);
void StructTypeTest3(StructHolder mm_struct[2]);
void StructTypeTest4(StructHolder mm_struct[2][3]);

/* ---- start-up ---------------------------------------------------------- */

int RunDemo(void);

#ifdef __cplusplus
}
#endif

#endif /* ORRIN_H */
