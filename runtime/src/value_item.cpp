// Items of value records: "$" name "#" type tag "#" value.
#include "value_item.h"

#include <cstdio>

#include "qelmq/probes.h"
#include "qelmq/protocol/texts.h"

namespace qel_text {

namespace {

using qel_wire::value_tag;
using qel_wire::ValueTag;

// The tag a code shows; null for codes that add no item.
const char* tag_of(QelTypeCode code) {
  switch (code) {
    case QEL_STRING:
      return value_tag(ValueTag::String);
    // Text booleans show the same tag as integer ones.
    case QEL_BOOL_TEXT:
      return value_tag(ValueTag::Bool);
    case QEL_CHAR_U:
      return value_tag(ValueTag::CharU);
    case QEL_UCHAR:
      return value_tag(ValueTag::UChar);
    case QEL_BOOL:
      return value_tag(ValueTag::Bool);
    case QEL_USHORT:
      return value_tag(ValueTag::UShort);
    case QEL_ULONG:
      return value_tag(ValueTag::ULong);
    case QEL_ULONGLONG:
      return value_tag(ValueTag::ULongLong);
    case QEL_CHAR_S:
      return value_tag(ValueTag::CharS);
    case QEL_CHAR:
      return value_tag(ValueTag::Char);
    case QEL_SHORT:
      return value_tag(ValueTag::Short);
    case QEL_INT:
      return value_tag(ValueTag::Int);
    case QEL_LONG:
      return value_tag(ValueTag::Long);
    case QEL_LONGLONG:
      return value_tag(ValueTag::LongLong);
    case QEL_FLOAT:
      return value_tag(ValueTag::Float);
    case QEL_DOUBLE:
      return value_tag(ValueTag::Double);
    case QEL_LONGDOUBLE:
      return value_tag(ValueTag::LongDouble);
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
