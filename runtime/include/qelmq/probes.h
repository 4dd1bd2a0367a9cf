/* The plain C probes of the runtime, declared once for C and C++. */
#ifndef QELMQ_PROBES_H
#define QELMQ_PROBES_H

#include "qelmq/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Node probe: statement or branch `nodeId` of unit `unitId` passed, with
   `nodeValue`. Only the low 16 bits of each count; nodeId -1 records
   nothing. Returns 1. */
QEL_EXPORT int QelNode(int unitId, int nodeId, int nodeValue);

/* Condition probe: records the outcome of condition `condId` and, given a
   condition string, the MC/DC vector of decision `decisionId`. Returns the
   low 16 bits of `result`. */
QEL_EXPORT int QelExp(int unitId, int condId, int decisionId, int* condString, int groupId,
                      int result);
/* Condition string helpers: two ints, the 2-bit codes and the last index. */
QEL_EXPORT int* QelStringInit(int* condString);
QEL_EXPORT int QelStringAddCond(int* condString, int index, int result);

/* Value probe: appends one item of type `typeCode` (QelTypeCode) to
   `buffer` at `*position`; QEL_HEADER writes the record's header, QEL_FLUSH
   sends the record. */
QEL_EXPORT void QelPrint(const char* valueName, char* buffer, int* position, int typeCode, ...);

/* Memory tracking: blocks with a non-zero `line` are listed in leak reports
   until QelDelete. */
QEL_EXPORT void* QelNew(unsigned size, const char* file, const char* function, int line);
QEL_EXPORT void QelDelete(void* pointer);
/* realloc for blocks from QelNew; any other block goes to the C library's
   realloc untouched. */
QEL_EXPORT void* QelRenew(void* pointer, unsigned size, const char* file, const char* function,
                          int line);
QEL_EXPORT int check_leaks(void);
QEL_EXPORT int check_leak(void);

/* Configuration and shutdown. */
QEL_EXPORT void readIP(char* ip, char* state, char* noMcdc);
QEL_EXPORT int QelExit(void);

#ifdef __cplusplus
}
#endif

/* Value type codes of QelPrint. */
enum QelTypeCode {
  QEL_STRING = 0,
  QEL_BOOL_TEXT = 1,
  QEL_CHAR_U = 2,
  QEL_UCHAR = 3,
  QEL_BOOL = 7,
  QEL_USHORT = 8,
  QEL_ULONG = 9,
  QEL_ULONGLONG = 10,
  QEL_CHAR_S = 12,
  QEL_CHAR = 13,
  QEL_SHORT = 15,
  QEL_INT = 16,
  QEL_LONG = 17,
  QEL_LONGLONG = 18,
  QEL_FLOAT = 21,
  QEL_DOUBLE = 22,
  QEL_LONGDOUBLE = 23,
  QEL_HEADER = 26,
  QEL_FLUSH = 27
};

#endif
