// Value probes and method timing: format on the caller's stack, hand one
// text per record to the twin text senders.
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "qelmq/TextSender.h"
#include "qelmq/thread_exit.h"

namespace qel_text {

int format_item(char* out, const char* name, int typeCode, va_list args) {
  if (!name) name = "";
  int n;
  switch (typeCode) {
    case 0:
    case 1: {
      const char* text = va_arg(args, const char*);
      // A missing text has nothing to show, whichever of the two codes.
      if (!text) return -1;
      n = std::snprintf(out, kItemBuffer, "$%s#%s#%s", name, typeCode == 0 ? "QEL_STRING" : "QEL_BOOL",
                        text);
      break;
    }
    case 2:
    case 3:
    case 12:
    case 13: {
      static const char* const tags[] = {"QEL_CHAR_U", "QEL_UCHAR", "QEL_CHAR_S", "QEL_CHAR"};
      const char* tag = tags[typeCode < 12 ? typeCode - 2 : typeCode - 10];
      n = std::snprintf(out, kItemBuffer, "$%s#%s#%c", name, tag, va_arg(args, int));
      break;
    }
    case 7:
    case 15:
    case 16: {
      const char* tag = typeCode == 7 ? "QEL_BOOL" : typeCode == 15 ? "QEL_SHORT" : "QEL_INT";
      n = std::snprintf(out, kItemBuffer, "$%s#%s#%d", name, tag, va_arg(args, int));
      break;
    }
    case 8:
      n = std::snprintf(out, kItemBuffer, "$%s#%s#%u", name, "QEL_USHORT",
                        static_cast<unsigned>(va_arg(args, int)));
      break;
    case 9:
      n = std::snprintf(out, kItemBuffer, "$%s#%s#%lu", name, "QEL_ULONG",
                        va_arg(args, unsigned long));
      break;
    case 10:
      n = std::snprintf(out, kItemBuffer, "$%s#%s#%llu", name, "QEL_ULONGLONG",
                        va_arg(args, unsigned long long));
      break;
    case 17:
      n = std::snprintf(out, kItemBuffer, "$%s#%s#%ld", name, "QEL_LONG", va_arg(args, long));
      break;
    case 18:
      n = std::snprintf(out, kItemBuffer, "$%s#%s#%lld", name, "QEL_LONGLONG",
                        va_arg(args, long long));
      break;
    case 21:
      n = std::snprintf(out, kItemBuffer, "$%s#%s#%f", name, "QEL_FLOAT", va_arg(args, double));
      break;
    case 22:
      n = std::snprintf(out, kItemBuffer, "$%s#%s#%lf", name, "QEL_DOUBLE", va_arg(args, double));
      break;
    case 23:
      n = std::snprintf(out, kItemBuffer, "$%s#%s#%Lf", name, "QEL_LONGDOUBLE",
                        va_arg(args, long double));
      break;
    default:
      return -1;
  }
  if (n < 0) return -1;
  // snprintf has kept the first kItemBuffer - 1 characters of a longer item.
  if (static_cast<std::size_t>(n) >= kItemBuffer) n = static_cast<int>(kItemBuffer - 1);
  return n;
}

}  // namespace qel_text

namespace {

void append(char* buffer, int* position, const char* text, std::size_t len) {
  if (len > static_cast<std::size_t>(INT_MAX - *position)) return;
  std::memcpy(buffer + *position, text, len);
  *position += static_cast<int>(len);
}

template <typename Member>
void enqueue(Member member, std::string& text) {
  thread_exit* inst = thread_exit::current();
  if (!inst) return;
  auto* sender = inst->*member;
  if (sender) sender->execute(text);
}

}  // namespace

void QelPrint(const char* valueName, char* buffer, int* position, int typeCode, ...) {
  if (!buffer || !position || *position < 0) return;
  try {
    if (typeCode == 26) {
      // The header leads the record: it goes to the start of the buffer.
      if (!valueName) return;
      std::size_t len = std::strlen(valueName);
      if (len > static_cast<std::size_t>(INT_MAX - *position)) return;
      std::memcpy(buffer, valueName, len);
      *position += static_cast<int>(len);
      return;
    }
    if (typeCode == 27) {
      buffer[*position] = '\0';
      std::string text(buffer, static_cast<std::size_t>(*position));
      enqueue(&thread_exit::sendParam, text);
      return;
    }
    char item[qel_text::kItemBuffer];
    va_list args;
    va_start(args, typeCode);
    int n = qel_text::format_item(item, valueName, typeCode, args);
    va_end(args);
    if (n < 0) return;
    append(buffer, position, item, static_cast<std::size_t>(n));
  } catch (...) {
    // Out of memory for the record's copy: the record is lost, the program
    // under test goes on.
  }
}

void QelSendMethodTime(int a, int b, int c) {
  try {
    char text[40];
    std::snprintf(text, sizeof(text), "%d %d %d", a, b, c);
    std::string record(text);
    enqueue(&thread_exit::sendTime, record);
  } catch (...) {
  }
}
