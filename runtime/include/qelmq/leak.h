#pragma once
#include <cstdint>

#include "qelmq/export.h"

// Header in front of every recorded block.
struct AllocHeader {
  AllocHeader* next;
  char file[100];
  char function[100];
  int32_t line;
  uint32_t size;
};

extern "C" {
QEL_EXPORT void* QelNew(unsigned size, const char* file, const char* function, int line);
QEL_EXPORT void QelDelete(void* pointer);
QEL_EXPORT int check_leaks(void);
QEL_EXPORT int check_leak(void);
}
