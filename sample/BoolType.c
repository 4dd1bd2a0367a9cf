/* The BoolType group has no functions; its file stays so that the group
 * keeps its place beside its test-vector file. */
#include "orrin.h"

typedef int orrin_bool_group_is_empty;
