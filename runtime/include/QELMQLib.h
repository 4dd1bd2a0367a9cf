/* Probe runtime: the calls that instrumented code makes. */
#ifndef QELMQLIB_H
#define QELMQLIB_H

#ifdef __cplusplus
#include "qelmq/thread_exit.h"
#include "qelmq/QelSendProperty.h"
#include "qelmq/QelSendDD.h"
#include "qelmq/QelSendCond.h"
#include "qelmq/QelSendMCDC.h"
#include "qelmq/TextSender.h"
#include "qelmq/QelSendUniTest.h"
#include "qelmq/QelSendLast.h"
#include "qelmq/leak.h"
#else
/* C view of the plain probes. */
int QelNode(int unitId, int nodeId, int nodeValue);
int QelExp(int unitId, int condId, int decisionId, int* condString, int groupId, int result);
int* QelStringInit(int* condString);
int QelStringAddCond(int* condString, int index, int result);
void QelPrint(const char* valueName, char* buffer, int* position, int typeCode, ...);
void* QelNew(unsigned size, const char* file, const char* function, int line);
void QelDelete(void* pointer);
int check_leaks(void);
int check_leak(void);
void readIP(char* ip, char* state, char* noMcdc);
int QelExit(void);
#endif

/* Value type codes of QelPrint. */
enum {
  QEL_STRING = 0, QEL_BOOL_TEXT = 1, QEL_CHAR_U = 2, QEL_UCHAR = 3, QEL_BOOL = 7,
  QEL_USHORT = 8, QEL_ULONG = 9, QEL_ULONGLONG = 10, QEL_CHAR_S = 12, QEL_CHAR = 13,
  QEL_SHORT = 15, QEL_INT = 16, QEL_LONG = 17, QEL_LONGLONG = 18, QEL_FLOAT = 21,
  QEL_DOUBLE = 22, QEL_LONGDOUBLE = 23, QEL_HEADER = 26, QEL_FLUSH = 27
};

#endif
