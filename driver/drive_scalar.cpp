// Scalar, enumeration and union drivers (BuiltinType and EnumType groups).
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "drivers.h"

namespace {

// "un_char" gets a buffer of this size; longer text is cut to fit.
constexpr std::size_t kUnionTextBuffer = 28;

}  // namespace

int drive_BuiltinTypeChar(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "BuiltinTypeChar", index, record);
  const std::string text = tc["c_char"].asString();
  const char c_char = text.empty() ? '\0' : text[0];
  BuiltinTypeChar(c_char);
  return 0;
}

int drive_BuiltinTypeShort(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "BuiltinTypeShort", index, record);
  const int value = tc["s_short"].asInt();
  const short s_short = static_cast<short>(static_cast<std::uint16_t>(value));
  BuiltinTypeShort(s_short);
  return 0;
}

int drive_BuiltinTypeInt(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "BuiltinTypeInt", index, record);
  const int i_int = tc["i_int"].asInt();
  BuiltinTypeInt(i_int);
  return 0;
}

int drive_BuiltinTypeLong(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "BuiltinTypeLong", index, record);
  const long l_long = tc["l_long"].asInt();
  BuiltinTypeLong(l_long);
  return 0;
}

int drive_BuiltinTypeLongLong(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "BuiltinTypeLongLong", index, record);
  const long long ll_long = tc["ll_long"].asInt();
  BuiltinTypeLongLong(ll_long);
  return 0;
}

int drive_BuiltinTypeFloat(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "BuiltinTypeFloat", index, record);
  const float f_float = NarrowToFloat(tc["f_float"].asDouble());
  BuiltinTypeFloat(f_float);
  return 0;
}

int drive_BuiltinTypeDouble(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "BuiltinTypeDouble", index, record);
  const double d_double = tc["d_double"].asDouble();
  BuiltinTypeDouble(d_double);
  return 0;
}

int drive_BuiltinTypeLongDouble(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "BuiltinTypeLongDouble", index, record);
  // Read as an int on purpose: only the integer part reaches the function.
  const long double ld_double = tc["ld_double"].asInt();
  BuiltinTypeLongDouble(ld_double);
  return 0;
}

int drive_EnumTypeTest(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "EnumTypeTest", index, record);
  // The C global is a 4-byte enumeration that may hold any int; a C++
  // cast to the enumeration type would be undefined for most of them.
  const int season = tc["cc"].asInt();
  static_assert(sizeof cc == sizeof season, "enumerations are 4 bytes");
  std::memcpy(&cc, &season, sizeof cc);
  g_glbal = tc["g_glbal"].asInt();
  EnumTypeTest();
  int after = 0;
  std::memcpy(&after, &cc, sizeof cc);
  tc.Observe("cc", after);
  tc.Observe("g_glbal", g_glbal);
  return 0;
}

int drive_UionTypeTest(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "UionTypeTest", index, record);
  const Member u = tc["un_a"];
  UnionA local;
  local.un_int = u["un_int"].asInt();
  const std::string text = u["un_char"].asString();
  // Never released: after the call the union no longer holds its address.
  char* buffer = new char[kUnionTextBuffer];
  const std::size_t length = std::min(text.size(), kUnionTextBuffer - 1);
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
  local.un_char = buffer;
  un_a = local;
  UionTypeTest();
  Json::Value observed(Json::objectValue);
  observed["un_int"] = un_a.un_int;
  tc.Observe("un_a", observed);
  return 0;
}
