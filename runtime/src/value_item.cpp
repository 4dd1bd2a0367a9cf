// Items of value records: "$" name "#" type tag "#" value.
#include "value_item.h"

#include <cstdio>

#include "qelmq/probes.h"

namespace qel_text {

namespace {

// The tag a code shows; null for codes that add no item.
const char* tag_of(QelTypeCode code) {
  switch (code) {
    case QEL_STRING:
      return "QEL_STRING";
    // Text booleans show the same tag as integer ones.
    case QEL_BOOL_TEXT:
      return "QEL_BOOL";
    case QEL_CHAR_U:
      return "QEL_CHAR_U";
    case QEL_UCHAR:
      return "QEL_UCHAR";
    case QEL_BOOL:
      return "QEL_BOOL";
    case QEL_USHORT:
      return "QEL_USHORT";
    case QEL_ULONG:
      return "QEL_ULONG";
    case QEL_ULONGLONG:
      return "QEL_ULONGLONG";
    case QEL_CHAR_S:
      return "QEL_CHAR_S";
    case QEL_CHAR:
      return "QEL_CHAR";
    case QEL_SHORT:
      return "QEL_SHORT";
    case QEL_INT:
      return "QEL_INT";
    case QEL_LONG:
      return "QEL_LONG";
    case QEL_LONGLONG:
      return "QEL_LONGLONG";
    case QEL_FLOAT:
      return "QEL_FLOAT";
    case QEL_DOUBLE:
      return "QEL_DOUBLE";
    case QEL_LONGDOUBLE:
      return "QEL_LONGDOUBLE";
    case QEL_HEADER:
    case QEL_FLUSH:
      return nullptr;
  }
  return nullptr;
}

}  // namespace

int format_item(char* out, const char* name, int typeCode, va_list args) {
  if (!name) name = "";
  // Checked before the cast: an int outside the enumeration's range must
  // never be held in it.
  if (typeCode < QEL_STRING || typeCode > QEL_FLUSH) return -1;
  const QelTypeCode code = static_cast<QelTypeCode>(typeCode);
  const char* tag = tag_of(code);
  if (!tag) return -1;
  int n;
  switch (code) {
    case QEL_STRING:
    case QEL_BOOL_TEXT: {
      const char* text = va_arg(args, const char*);
      // A missing text has nothing to show, whichever of the two codes.
      if (!text) return -1;
      n = std::snprintf(out, kItemBuffer, "$%s#%s#%s", name, tag, text);
      break;
    }
    case QEL_CHAR_U:
    case QEL_UCHAR:
    case QEL_CHAR_S:
    case QEL_CHAR:
      n = std::snprintf(out, kItemBuffer, "$%s#%s#%c", name, tag, va_arg(args, int));
      break;
    case QEL_BOOL:
    case QEL_SHORT:
    case QEL_INT:
      n = std::snprintf(out, kItemBuffer, "$%s#%s#%d", name, tag, va_arg(args, int));
      break;
    case QEL_USHORT:
      n = std::snprintf(out, kItemBuffer, "$%s#%s#%u", name, tag,
                        static_cast<unsigned>(va_arg(args, int)));
      break;
    case QEL_ULONG:
      n = std::snprintf(out, kItemBuffer, "$%s#%s#%lu", name, tag, va_arg(args, unsigned long));
      break;
    case QEL_ULONGLONG:
      n = std::snprintf(out, kItemBuffer, "$%s#%s#%llu", name, tag,
                        va_arg(args, unsigned long long));
      break;
    case QEL_LONG:
      n = std::snprintf(out, kItemBuffer, "$%s#%s#%ld", name, tag, va_arg(args, long));
      break;
    case QEL_LONGLONG:
      n = std::snprintf(out, kItemBuffer, "$%s#%s#%lld", name, tag, va_arg(args, long long));
      break;
    case QEL_FLOAT:
      n = std::snprintf(out, kItemBuffer, "$%s#%s#%f", name, tag, va_arg(args, double));
      break;
    case QEL_DOUBLE:
      n = std::snprintf(out, kItemBuffer, "$%s#%s#%lf", name, tag, va_arg(args, double));
      break;
    case QEL_LONGDOUBLE:
      n = std::snprintf(out, kItemBuffer, "$%s#%s#%Lf", name, tag, va_arg(args, long double));
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
