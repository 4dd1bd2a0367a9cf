#include "generator.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <sstream>

#include "cparse.h"
#include "qeltools/json_io.hpp"

namespace qelgen {

namespace {

using qel::cparse::Str;
using qel::cparse::TranslationUnit;
using qeltools::Json;

// A char* inside a union gets a buffer of this size; longer text is cut.
constexpr int kUnionTextBuffer = 28;

// Where a value sits: rules differ for a parameter, a structure member, a
// union member and an array element (see the vector format).
enum class Role { kParam, kField, kUnionMember, kElement };

CXType Canon(CXType t) { return clang_getCanonicalType(t); }

bool IsCharKind(CXTypeKind k) {
  return k == CXType_Char_S || k == CXType_Char_U || k == CXType_SChar || k == CXType_UChar;
}

bool IsScalar(CXType t) {
  const CXTypeKind k = Canon(t).kind;
  return (k >= CXType_Bool && k <= CXType_LongDouble) || k == CXType_Enum;
}

std::string Spell(CXType t) {
  std::string s = Str(clang_getTypeSpelling(t));
  // C spellings that C++ spells otherwise.
  std::size_t at;
  while ((at = s.find("_Bool")) != std::string::npos) s.replace(at, 5, "bool");
  // The driver's storage is its own to fill: qualifiers go (a const int*
  // parameter still accepts the int* built for it).
  for (const char* word : {"const ", "volatile ", " const", " volatile"}) {
    const std::string w = word;
    while ((at = s.find(w)) != std::string::npos) s.erase(at, w.size());
  }
  return s;
}

// A declaration of any C type, arrays and pointers to arrays included.
std::string Decl(CXType t, const std::string& name) { return "qelgen_t<" + Spell(t) + "> " + name; }

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

std::string Where(CXCursor c) {
  CXFile file;
  unsigned line = 0, column = 0;
  clang_getSpellingLocation(clang_getCursorLocation(c), &file, &line, &column, nullptr);
  return Str(clang_getFileName(file)) + ":" + std::to_string(line);
}

// The record's declaration, to recognise a structure that points at its
// own kind (a list or tree: the vector format has no encoding for one).
bool PointsAtItself(CXType record) {
  const CXCursor self = clang_getTypeDeclaration(Canon(record));
  for (CXCursor f : qel::cparse::Fields(Canon(record))) {
    CXType ft = Canon(clang_getCursorType(f));
    while (ft.kind == CXType_Pointer || ft.kind == CXType_ConstantArray)
      ft = Canon(ft.kind == CXType_Pointer ? clang_getPointeeType(ft)
                                           : clang_getArrayElementType(ft));
    if (ft.kind == CXType_Record && clang_equalCursors(clang_getTypeDeclaration(ft), self))
      return true;
  }
  return false;
}

class Emitter {
 public:
  std::string code;
  std::string failure;  // why the value cannot be driven; empty if it can

  void Line(int indent, const std::string& text) {
    code += std::string(static_cast<std::size_t>(indent) * 4, ' ') + text + "\n";
  }
  std::string Tmp(const std::string& base) { return base + "_" + std::to_string(next_++); }

  // Statements that fill `lvalue` (an object of type t) from `member` (an
  // expression of type Member).
  void Read(CXType declared, const std::string& member, const std::string& lvalue, Role role,
            int indent);
  // Statements that store the value of `lvalue` after the call into the
  // Json::Value `target`; `member` is where it was read from (counts).
  void Observe(CXType declared, const std::string& member, const std::string& lvalue,
               const std::string& target, int indent);

 private:
  void ReadScalar(CXType t, const std::string& member, const std::string& lvalue, int indent);
  void ReadRecord(CXType t, const std::string& member, const std::string& lvalue, int indent);
  void ReadPointer(CXType t, const std::string& member, const std::string& lvalue, Role role,
                   int indent);
  void Fail(const std::string& why) {
    if (failure.empty()) failure = why;
  }
  int next_ = 0;
};

void Emitter::ReadScalar(CXType declared, const std::string& member, const std::string& lvalue,
                         int indent) {
  const CXType t = Canon(declared);
  const std::string type = Spell(t);
  switch (t.kind) {
    case CXType_Bool:
      Line(indent, lvalue + " = " + member + ".asInt() != 0;");
      return;
    case CXType_Char_S:
    case CXType_Char_U:
    case CXType_SChar:
    case CXType_UChar: {
      const std::string text = Tmp("text");
      Line(indent, "const std::string " + text + " = " + member + ".asString();");
      Line(indent, lvalue + " = static_cast<" + type + ">(" + text + ".empty() ? '\\0' : " + text +
                       "[0]);");
      return;
    }
    case CXType_Short:
    case CXType_UShort:
      Line(indent, lvalue + " = static_cast<" + type + ">(static_cast<std::uint16_t>(" + member +
                       ".asInt()));");
      return;
    case CXType_Float:
      Line(indent, lvalue + " = NarrowToFloat(" + member + ".asDouble());");
      return;
    case CXType_Double:
      Line(indent, lvalue + " = " + member + ".asDouble();");
      return;
    case CXType_LongDouble:
      // Read as an int on purpose: only the integer part reaches the function.
      Line(indent, lvalue + " = " + member + ".asInt();");
      return;
    case CXType_Enum: {
      // A C enumeration may hold any int; a C++ cast to it would not.
      const std::string v = Tmp("value");
      Line(indent, "{");
      Line(indent + 1, "const int " + v + " = " + member + ".asInt();");
      Line(indent + 1, "static_assert(sizeof(" + lvalue + ") == sizeof " + v +
                           ", \"enumerations are 4 bytes\");");
      Line(indent + 1, "std::memcpy(&" + lvalue + ", &" + v + ", sizeof " + v + ");");
      Line(indent, "}");
      return;
    }
    default:
      // Every other integer: the 32-bit signed range of the vector format.
      Line(indent, lvalue + " = static_cast<" + type + ">(" + member + ".asInt());");
      return;
  }
}

void Emitter::ReadRecord(CXType declared, const std::string& member, const std::string& lvalue,
                         int indent) {
  const CXType t = Canon(declared);
  const CXCursor decl = clang_getTypeDeclaration(t);
  const bool isUnion = clang_getCursorKind(decl) == CXCursor_UnionDecl;
  if (clang_Cursor_isAnonymousRecordDecl(decl) || Spell(t).find("(anonymous") != std::string::npos)
    return Fail("an anonymous structure or union (" + Spell(t) + ")");
  const std::string m = Tmp("in");
  Line(indent, "{");
  Line(indent + 1, "const Member " + m + " = " + member + ";");
  for (CXCursor f : qel::cparse::Fields(t)) {
    const std::string name = Str(clang_getCursorSpelling(f));
    if (name.empty()) {
      Fail("an unnamed member in " + Spell(t));
      continue;
    }
    const std::string fieldLvalue = lvalue + "." + name;
    const std::string fieldMember = m + "[" + Quote(name) + "]";
    if (clang_Cursor_isBitField(f)) {
      const int width = clang_getFieldDeclBitWidth(f);
      const unsigned long long mask = width >= 32 ? 0xffffffffull : (1ull << width) - 1;
      Line(indent + 1, fieldLvalue + " = static_cast<" + Spell(Canon(clang_getCursorType(f))) +
                           ">(static_cast<unsigned>(" + fieldMember + ".asInt()) & " +
                           std::to_string(mask) + "u);");
      continue;
    }
    Read(clang_getCursorType(f), fieldMember, fieldLvalue,
         isUnion ? Role::kUnionMember : Role::kField, indent + 1);
  }
  Line(indent, "}");
}

void Emitter::ReadPointer(CXType declared, const std::string& member, const std::string& lvalue,
                          Role role, int indent) {
  const CXType t = Canon(declared);
  const CXType p = Canon(clang_getPointeeType(t));
  const bool noEncoding =
      p.kind == CXType_Void || p.kind == CXType_FunctionProto || p.kind == CXType_FunctionNoProto;
  if (noEncoding) {
    if (role == Role::kField || role == Role::kUnionMember) {
      Line(indent, lvalue + " = nullptr;");
      return;
    }
    return Fail(p.kind == CXType_Void ? "a pointer to void (nothing says what it points at)"
                                      : "a function pointer");
  }
  if (IsCharKind(p.kind)) {
    const std::string text = Tmp("text"), size = Tmp("size"), buffer = Tmp("buffer");
    Line(indent, "{");
    Line(indent + 1, "const std::string " + text + " = " + member + ".asString();");
    if (role == Role::kUnionMember)
      Line(indent + 1,
           "const std::size_t " + size + " = " + std::to_string(kUnionTextBuffer) + ";");
    else
      Line(indent + 1, "const std::size_t " + size + " = " + text + ".size() + 1;");
    Line(indent + 1, "char* " + buffer + " = new char[" + size + "];");
    Line(indent + 1, "const std::size_t length_" + buffer + " = std::min(" + text + ".size(), " +
                         size + " - 1);");
    Line(indent + 1, "std::memcpy(" + buffer + ", " + text + ".data(), length_" + buffer + ");");
    Line(indent + 1, buffer + "[length_" + buffer + "] = '\\0';");
    Line(indent + 1, lvalue + " = reinterpret_cast<" + Spell(t) + ">(" + buffer + ");");
    Line(indent, "}");
    return;
  }
  if (IsScalar(p)) {
    // Counted: the leading elements that are not null.
    const std::string in = Tmp("in"), n = Tmp("count"), block = Tmp("block");
    Line(indent, "{");
    Line(indent + 1, "const Member " + in + " = " + member + ";");
    Line(indent + 1, "const int " + n + " = " + in + ".count();");
    Line(indent + 1, Decl(p, "*" + block) + " = new " + Spell(p) + "[" + n + "]();");
    Line(indent + 1, "for (int j = 0; j < " + n + "; ++j) {");
    Read(p, in + "[j]", block + "[j]", Role::kElement, indent + 2);
    Line(indent + 1, "}");
    Line(indent + 1, lvalue + " = " + block + ";");
    Line(indent, "}");
    return;
  }
  if (p.kind == CXType_Pointer) {
    const CXType q = Canon(clang_getPointeeType(p));
    if (IsScalar(q) && !IsCharKind(q.kind)) {
      // Rows, each counted on its own.
      const std::string in = Tmp("in"), n = Tmp("rows"), block = Tmp("block");
      Line(indent, "{");
      Line(indent + 1, "const Member " + in + " = " + member + ";");
      Line(indent + 1, "const int " + n + " = " + in + ".count();");
      Line(indent + 1, Decl(p, "*" + block) + " = new " + Spell(p) + "[" + n + "]();");
      Line(indent + 1, "for (int r = 0; r < " + n + "; ++r) {");
      ReadPointer(p, in + "[r]", block + "[r]", Role::kElement, indent + 2);
      Line(indent + 1, "}");
      Line(indent + 1, lvalue + " = " + block + ";");
      Line(indent, "}");
      return;
    }
    if (q.kind == CXType_Pointer && IsScalar(Canon(clang_getPointeeType(q)))) {
      // Three levels: one value reached through a chain of pointers.
      const CXType v = Canon(clang_getPointeeType(q));
      const std::string value = Tmp("value");
      Line(indent, "{");
      Line(indent + 1, Decl(v, "*" + value) + " = new " + Spell(v) + "();");
      Read(v, member, "*" + value, Role::kElement, indent + 1);
      Line(indent + 1, lvalue + " = new " + Spell(p) + "(new " + Spell(q) + "(" + value + "));");
      Line(indent, "}");
      return;
    }
    return Fail("a pointer to " + Spell(p) + " (no vector encoding)");
  }
  if (p.kind == CXType_ConstantArray) {
    // Rows of fixed size: as many as the vector gives, at least one.
    const std::string in = Tmp("in"), n = Tmp("rows"), block = Tmp("block");
    Line(indent, "{");
    Line(indent + 1, "const Member " + in + " = " + member + ";");
    Line(indent + 1, "const int " + n + " = std::max(" + in + ".count(), 1);");
    Line(indent + 1, Decl(p, "*" + block) + " = new " + Decl(p, "[" + n + "]") + "();");
    Line(indent + 1, "for (int r = 0; r < " + n + "; ++r) {");
    Read(p, in + "[r]", block + "[r]", Role::kElement, indent + 2);
    Line(indent + 1, "}");
    Line(indent + 1, lvalue + " = " + block + ";");
    Line(indent, "}");
    return;
  }
  if (p.kind == CXType_Record) {
    if (PointsAtItself(p))
      return Fail("a linked structure " + Spell(p) +
                  " (the vector format gives no list encoding; drive it by hand)");
    const std::string object = Tmp("object");
    Line(indent, Decl(p, "*" + object) + " = new " + Spell(p) + "();");
    Read(p, member, "(*" + object + ")", Role::kElement, indent);
    Line(indent, lvalue + " = " + object + ";");
    return;
  }
  Fail("a pointer to " + Spell(p) + " (no vector encoding)");
}

void Emitter::Read(CXType declared, const std::string& member, const std::string& lvalue, Role role,
                   int indent) {
  const CXType t = Canon(declared);
  if (IsScalar(t)) return ReadScalar(t, member, lvalue, indent);
  switch (t.kind) {
    case CXType_ConstantArray: {
      const CXType e = Canon(clang_getArrayElementType(t));
      const long long n = clang_getArraySize(t);
      const std::string in = Tmp("in"), j = Tmp("j");
      Line(indent, "{");
      Line(indent + 1, "const Member " + in + " = " + member + ";");
      Line(indent + 1,
           "for (int " + j + " = 0; " + j + " < " + std::to_string(n) + "; ++" + j + ") {");
      if (e.kind == CXType_Pointer) {
        // An array of pointers: each element's storage is the driver's.
        const CXType p = Canon(clang_getPointeeType(e));
        if (!(IsScalar(p) && !IsCharKind(p.kind)) && p.kind != CXType_ConstantArray) {
          Fail("an array of pointers to " + Spell(p));
        } else {
          const std::string store = Tmp("store");
          // new T[1] has the type T* also when T is an array type.
          Line(indent + 2, Decl(p, "*" + store) + " = new " + Decl(p, "") + "[1]();");
          Read(p, in + "[" + j + "]", "(*" + store + ")", Role::kElement, indent + 2);
          Line(indent + 2, lvalue + "[" + j + "] = " + store + ";");
        }
      } else {
        Read(e, in + "[" + j + "]", lvalue + "[" + j + "]", Role::kElement, indent + 2);
      }
      Line(indent + 1, "}");
      Line(indent, "}");
      return;
    }
    case CXType_Record:
      return ReadRecord(t, member, lvalue, indent);
    case CXType_Pointer:
      return ReadPointer(t, member, lvalue, role, indent);
    default:
      return Fail("a value of type " + Spell(t) + " (no vector encoding)");
  }
}

void Emitter::Observe(CXType declared, const std::string& member, const std::string& lvalue,
                      const std::string& target, int indent) {
  const CXType t = Canon(declared);
  if (IsScalar(t)) {
    if (IsCharKind(t.kind))
      Line(indent, target + " = std::string(1, static_cast<char>(" + lvalue + "));");
    else if (t.kind == CXType_Enum)
      Line(indent, target + " = static_cast<int>(" + lvalue + ");");
    else if (t.kind == CXType_Bool)
      Line(indent, target + " = static_cast<bool>(" + lvalue + ");");
    else if (t.kind == CXType_Float || t.kind == CXType_Double || t.kind == CXType_LongDouble)
      Line(indent, target + " = static_cast<double>(" + lvalue + ");");
    else if (t.kind == CXType_ULong || t.kind == CXType_ULongLong || t.kind == CXType_UInt)
      Line(indent, target + " = static_cast<Json::UInt64>(" + lvalue + ");");
    else
      Line(indent, target + " = static_cast<Json::Int64>(" + lvalue + ");");
    return;
  }
  switch (t.kind) {
    case CXType_ConstantArray: {
      const CXType e = Canon(clang_getArrayElementType(t));
      const long long n = clang_getArraySize(t);
      const std::string j = Tmp("j"), element = Tmp("element");
      Line(indent, target + " = Json::Value(Json::arrayValue);");
      Line(indent, "for (int " + j + " = 0; " + j + " < " + std::to_string(n) + "; ++" + j + ") {");
      Line(indent + 1, "Json::Value " + element + ";");
      if (e.kind == CXType_Pointer)
        Observe(clang_getPointeeType(e), member + "[" + j + "]", "(*" + lvalue + "[" + j + "])",
                element, indent + 1);
      else
        Observe(e, member + "[" + j + "]", lvalue + "[" + j + "]", element, indent + 1);
      Line(indent + 1, target + ".append(" + element + ");");
      Line(indent, "}");
      return;
    }
    case CXType_Record: {
      Line(indent, target + " = Json::Value(Json::objectValue);");
      const bool isUnion = clang_getCursorKind(clang_getTypeDeclaration(t)) == CXCursor_UnionDecl;
      for (CXCursor f : qel::cparse::Fields(t)) {
        const std::string name = Str(clang_getCursorSpelling(f));
        const CXType ft = Canon(clang_getCursorType(f));
        // A union's pointer members may hold what another member wrote.
        if (ft.kind == CXType_Pointer && isUnion) continue;
        if (ft.kind == CXType_Pointer) {
          const CXType p = Canon(clang_getPointeeType(ft));
          if (p.kind == CXType_Void || p.kind == CXType_FunctionProto || IsCharKind(p.kind))
            continue;
          if (p.kind == CXType_Record && PointsAtItself(p)) continue;
        }
        if (clang_Cursor_isBitField(f)) {
          Line(indent, target + "[" + Quote(name) + "] = static_cast<Json::Int64>(" + lvalue + "." +
                           name + ");");
          continue;
        }
        const std::string element = Tmp("member");
        Line(indent, "{");
        Line(indent + 1, "Json::Value " + element + ";");
        Observe(ft, member + "[" + Quote(name) + "]", lvalue + "." + name, element, indent + 1);
        Line(indent + 1, target + "[" + Quote(name) + "] = " + element + ";");
        Line(indent, "}");
      }
      return;
    }
    case CXType_Pointer: {
      const CXType p = Canon(clang_getPointeeType(t));
      Line(indent, "if (" + lvalue + " != nullptr) {");
      if (IsCharKind(p.kind)) {
        Line(indent + 1, target + " = std::string(reinterpret_cast<const char*>(" + lvalue + "));");
      } else if (IsScalar(p)) {
        const std::string n = Tmp("count"), j = Tmp("j"), element = Tmp("element");
        Line(indent + 1, "const int " + n + " = " + member + ".count();");
        Line(indent + 1, target + " = Json::Value(Json::arrayValue);");
        Line(indent + 1, "for (int " + j + " = 0; " + j + " < " + n + "; ++" + j + ") {");
        Line(indent + 2, "Json::Value " + element + ";");
        Observe(p, member + "[" + j + "]", lvalue + "[" + j + "]", element, indent + 2);
        Line(indent + 2, target + ".append(" + element + ");");
        Line(indent + 1, "}");
      } else if (p.kind == CXType_Pointer && IsScalar(Canon(clang_getPointeeType(p))) &&
                 !IsCharKind(Canon(clang_getPointeeType(p)).kind)) {
        const std::string n = Tmp("rows"), r = Tmp("r"), row = Tmp("row");
        Line(indent + 1, "const int " + n + " = " + member + ".count();");
        Line(indent + 1, target + " = Json::Value(Json::arrayValue);");
        Line(indent + 1, "for (int " + r + " = 0; " + r + " < " + n + "; ++" + r + ") {");
        Line(indent + 2, "Json::Value " + row + ";");
        Observe(p, member + "[" + r + "]", lvalue + "[" + r + "]", row, indent + 2);
        Line(indent + 2, target + ".append(" + row + ");");
        Line(indent + 1, "}");
      } else if (p.kind == CXType_Pointer) {
        const CXType q = Canon(clang_getPointeeType(p));
        if (q.kind == CXType_Pointer && IsScalar(Canon(clang_getPointeeType(q))))
          Observe(Canon(clang_getPointeeType(q)), member, "(***" + lvalue + ")", target,
                  indent + 1);
      } else if (p.kind == CXType_ConstantArray) {
        const std::string n = Tmp("rows"), r = Tmp("r"), row = Tmp("row");
        Line(indent + 1, "const int " + n + " = std::max(" + member + ".count(), 1);");
        Line(indent + 1, target + " = Json::Value(Json::arrayValue);");
        Line(indent + 1, "for (int " + r + " = 0; " + r + " < " + n + "; ++" + r + ") {");
        Line(indent + 2, "Json::Value " + row + ";");
        Observe(p, member + "[" + r + "]", lvalue + "[" + r + "]", row, indent + 2);
        Line(indent + 2, target + ".append(" + row + ");");
        Line(indent + 1, "}");
      } else if (p.kind == CXType_Record && !PointsAtItself(p)) {
        Observe(p, member, "(*" + lvalue + ")", target, indent + 1);
      }
      Line(indent, "}");
      return;
    }
    default:
      return;
  }
}

// A vector skeleton value with every member present.
Json Skeleton(CXType declared, int depth = 0) {
  const CXType t = Canon(declared);
  if (depth > 8) return Json();
  if (IsCharKind(t.kind)) return "";
  if (IsScalar(t)) return 0;
  switch (t.kind) {
    case CXType_ConstantArray: {
      Json a = Json::array();
      const CXType e = Canon(clang_getArrayElementType(t));
      const CXType inner = e.kind == CXType_Pointer ? Canon(clang_getPointeeType(e)) : e;
      for (long long j = 0; j < clang_getArraySize(t); ++j) a.push_back(Skeleton(inner, depth + 1));
      return a;
    }
    case CXType_IncompleteArray: {
      Json a = Json::array();
      a.push_back(Skeleton(clang_getArrayElementType(t), depth + 1));
      return a;
    }
    case CXType_Record: {
      Json o = Json::object();
      for (CXCursor f : qel::cparse::Fields(t)) {
        const CXType ft = Canon(clang_getCursorType(f));
        if (ft.kind == CXType_Pointer) {
          const CXType p = Canon(clang_getPointeeType(ft));
          if (p.kind == CXType_Void || p.kind == CXType_FunctionProto) continue;
        }
        o[Str(clang_getCursorSpelling(f))] = Skeleton(ft, depth + 1);
      }
      return o;
    }
    case CXType_Pointer: {
      const CXType p = Canon(clang_getPointeeType(t));
      if (IsCharKind(p.kind)) return "";
      if (IsScalar(p)) return Json::array();
      if (p.kind == CXType_Pointer) {
        const CXType q = Canon(clang_getPointeeType(p));
        if (q.kind == CXType_Pointer) return 0;
        Json rows = Json::array();
        rows.push_back(Json::array());
        return rows;
      }
      if (p.kind == CXType_ConstantArray) {
        Json rows = Json::array();
        rows.push_back(Skeleton(p, depth + 1));
        return rows;
      }
      if (p.kind == CXType_Record) return Skeleton(p, depth + 1);
      return Json();
    }
    default:
      return Json();
  }
}

// Extern globals the function's body refers to, in declaration order.
std::vector<CXCursor> GlobalsUsed(CXCursor function) {
  std::vector<CXCursor> found;
  qel::cparse::Walk(function, [&](CXCursor c, CXCursor) {
    if (clang_getCursorKind(c) != CXCursor_DeclRefExpr) return true;
    CXCursor ref = clang_getCursorReferenced(c);
    if (clang_getCursorKind(ref) != CXCursor_VarDecl) return true;
    if (clang_getCursorKind(clang_getCursorSemanticParent(ref)) != CXCursor_TranslationUnit)
      return true;
    if (clang_getCursorLinkage(ref) != CXLinkage_External) return true;
    if (clang_isConstQualifiedType(clang_getCursorType(ref))) return true;
    ref = clang_getCanonicalCursor(ref);
    for (CXCursor g : found)
      if (clang_equalCursors(g, ref)) return true;
    found.push_back(ref);
    return true;
  });
  std::stable_sort(found.begin(), found.end(), [](CXCursor a, CXCursor b) {
    unsigned oa = 0, ob = 0;
    CXFile fa, fb;
    clang_getSpellingLocation(clang_getCursorLocation(a), &fa, nullptr, nullptr, &oa);
    clang_getSpellingLocation(clang_getCursorLocation(b), &fb, nullptr, nullptr, &ob);
    return oa < ob;
  });
  return found;
}

bool IsLengthName(const std::string& name) {
  static const char* const kNames[] = {"length", "len", "count", "n", "size", "num"};
  for (const char* k : kNames)
    if (name == k) return true;
  return false;
}

struct GeneratedFunction {
  std::string name;
  std::string routine;  // empty for a hand-written one
};

// Each global the function uses, from its member, into the program's own
// variable. False (and the reason) for one that cannot be read.
bool ReadGlobals(Emitter& e, const std::vector<CXCursor>& globals, std::string& reason) {
  for (CXCursor g : globals) {
    const std::string gname = Str(clang_getCursorSpelling(g));
    const CXType gt = clang_getCursorType(g);
    const std::string local = "global_" + gname;
    e.Line(1, Decl(gt, local) + "{};");
    e.Read(gt, "tc[" + Quote(gname) + "]", local, Role::kParam, 1);
    e.Line(1, "std::memcpy(&" + gname + ", &" + local + ", sizeof " + gname + ");");
    if (!e.failure.empty()) {
      reason = "global " + gname + " is " + e.failure;
      return false;
    }
  }
  return true;
}

// A pointer followed by its length ("int *p, int length"): the callee reads
// `length` values, so it gets at least that many.
bool IsCountedPair(const std::vector<CXCursor>& params, std::size_t i) {
  const CXType pt = Canon(clang_getCursorType(params[i]));
  return pt.kind == CXType_Pointer && IsScalar(clang_getPointeeType(pt)) &&
         !IsCharKind(Canon(clang_getPointeeType(pt)).kind) && i + 1 < params.size() &&
         Canon(clang_getCursorType(params[i + 1])).kind == CXType_Int &&
         IsLengthName(Str(clang_getCursorSpelling(params[i + 1])));
}

void ReadCountedPair(Emitter& e, CXCursor pointer, CXCursor length) {
  const std::string pname = Str(clang_getCursorSpelling(pointer));
  const std::string member = "tc[" + Quote(pname) + "]";
  const CXType p = Canon(clang_getPointeeType(Canon(clang_getCursorType(pointer))));
  const std::string lname = Str(clang_getCursorSpelling(length));
  e.Line(1, "const Member in_" + pname + " = " + member + ";");
  e.Line(1, "std::vector<" + Spell(p) + "> counted_" + pname + "(static_cast<std::size_t>(in_" +
                pname + ".count()));");
  e.Line(1, "for (std::size_t j = 0; j < counted_" + pname + ".size(); ++j) {");
  e.Read(p, "in_" + pname + "[static_cast<int>(j)]", "counted_" + pname + "[j]", Role::kElement, 2);
  e.Line(1, "}");
  e.Line(1, "const int " + lname + " = tc[" + Quote(lname) + "].asInt();");
  e.Line(1, "const int count_" + pname + " = static_cast<int>(counted_" + pname + ".size());");
  e.Line(1, "if (" + lname + " > count_" + pname + " && " + lname + " > qelgen_rt::kMaxLength)");
  e.Line(2, "throw VectorError(tc.key(), " + Quote(lname) + ",");
  e.Line(3, "\"" + lname + " \" + std::to_string(" + lname + ") + \" exceeds the \" +");
  e.Line(4, "std::to_string(count_" + pname + ") +");
  e.Line(4, "\" counted values and the driver's limit of \" +");
  e.Line(4, "std::to_string(qelgen_rt::kMaxLength) + \" " +
                (p.kind == CXType_Int ? std::string("ints") : std::string("values")) + "\");");
  e.Line(1, Spell(p) + "* " + pname + " = new " + Spell(p) +
                "[static_cast<std::size_t>(std::max(count_" + pname + ", " + lname + "))]();");
  e.Line(1,
         "std::copy(counted_" + pname + ".begin(), counted_" + pname + ".end(), " + pname + ");");
}

// Each parameter from its member, in declaration order; `args` gets the
// call's arguments. False (and the reason) for one that cannot be read.
bool ReadParameters(Emitter& e, const std::vector<CXCursor>& params, std::vector<std::string>& args,
                    std::string& reason) {
  for (std::size_t i = 0; i < params.size(); ++i) {
    const std::string pname = Str(clang_getCursorSpelling(params[i]));
    if (pname.empty()) {
      reason = "parameter " + std::to_string(i + 1) + " has no name to find in the vectors";
      return false;
    }
    const CXType declared = clang_getCursorType(params[i]);
    const CXType pt = Canon(declared);
    const std::string member = "tc[" + Quote(pname) + "]";
    args.push_back(pname);
    if (IsCountedPair(params, i)) {
      ReadCountedPair(e, params[i], params[i + 1]);
      args.push_back(Str(clang_getCursorSpelling(params[i + 1])));
      ++i;
      continue;
    }
    if (pt.kind == CXType_IncompleteArray) {
      // Read as one row; the callee may read more, which are zeros.
      const CXType elem = clang_getArrayElementType(pt);
      e.Line(1, Decl(elem, pname) + "[qelgen_rt::kUnsizedRows] = {};");
      e.Read(elem, member + "[0]", pname + "[0]", Role::kElement, 1);
    } else {
      e.Line(1, Decl(declared, pname) + "{};");
      e.Read(declared, member, pname, Role::kParam, 1);
    }
    if (!e.failure.empty()) {
      reason = "parameter " + pname + " is " + e.failure;
      return false;
    }
  }
  if (!e.failure.empty()) {
    reason = e.failure;
    return false;
  }
  return true;
}

// The one call, and its result as "return".
void CallAndObserveResult(Emitter& e, const std::string& name, CXType type,
                          const std::vector<std::string>& args) {
  std::string call = name + "(";
  for (std::size_t i = 0; i < args.size(); ++i) call += (i ? ", " : "") + args[i];
  call += ")";
  const CXType result = Canon(clang_getResultType(type));
  if (result.kind == CXType_Void) {
    e.Line(1, call + ";");
    return;
  }
  e.Line(1, "auto result = " + call + ";");
  if (IsScalar(result) || result.kind == CXType_Record) {
    e.Line(1, "{");
    e.Line(2, "Json::Value observed;");
    e.Observe(result, "tc.top()", "result", "observed", 2);
    e.Line(2, "tc.Observe(\"return\", observed);");
    e.Line(1, "}");
  } else {
    e.Line(1, "(void)result;");
  }
}

// What the call left behind: globals, and everything reached through a
// parameter's pointers or arrays.
void ObserveWhatIsLeft(Emitter& e, const std::vector<CXCursor>& globals,
                       const std::vector<CXCursor>& params) {
  for (CXCursor g : globals) {
    const std::string gname = Str(clang_getCursorSpelling(g));
    e.Line(1, "{");
    e.Line(2, "Json::Value observed;");
    e.Observe(clang_getCursorType(g), "tc[" + Quote(gname) + "]", gname, "observed", 2);
    e.Line(2, "tc.Observe(" + Quote(gname) + ", observed);");
    e.Line(1, "}");
  }
  for (CXCursor param : params) {
    const std::string pname = Str(clang_getCursorSpelling(param));
    const CXType pt = Canon(clang_getCursorType(param));
    const bool output =
        pt.kind == CXType_Pointer || pt.kind == CXType_ConstantArray || pt.kind == CXType_Record;
    if (!output) continue;
    e.Line(1, "{");
    e.Line(2, "Json::Value observed;");
    e.Observe(pt, "tc[" + Quote(pname) + "]", pname, "observed", 2);
    e.Line(2, "if (!observed.isNull()) tc.Observe(" + Quote(pname) + ", observed);");
    e.Line(1, "}");
  }
}

// One drive_<Function> routine, or a reason why there is none.
std::string Routine(CXCursor function, std::string& reason) {
  const std::string name = Str(clang_getCursorSpelling(function));
  const CXType type = clang_getCursorType(function);
  if (clang_isFunctionTypeVariadic(type)) {
    reason = "variadic (the arguments after the fixed ones have no declared types)";
    return "";
  }
  Emitter e;
  e.Line(0, "int drive_" + name + "(Json::Value root, int index, CaseRecord* record)");
  e.Line(0, "{");
  e.Line(1, "TestCase tc(root, " + Quote(name) + ", index, record);");
  const std::vector<CXCursor> globals = GlobalsUsed(function);
  const std::vector<CXCursor> params = qel::cparse::Parameters(function);
  std::vector<std::string> args;
  if (!ReadGlobals(e, globals, reason) || !ReadParameters(e, params, args, reason)) return "";
  CallAndObserveResult(e, name, type, args);
  ObserveWhatIsLeft(e, globals, params);
  e.Line(1, "return 0;");
  e.Line(0, "}");
  return e.code;
}

Json CaseSkeleton(CXCursor function) {
  Json tc = Json::object();
  for (CXCursor g : GlobalsUsed(function))
    tc[Str(clang_getCursorSpelling(g))] = Skeleton(clang_getCursorType(g));
  for (CXCursor p : qel::cparse::Parameters(function))
    tc[Str(clang_getCursorSpelling(p))] = Skeleton(clang_getCursorType(p));
  return tc;
}

std::string BaseName(const std::string& path) {
  std::string name = path.substr(path.find_last_of('/') + 1);
  const std::size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

const char* kPrelude = R"(// Generated by qelgen: one drive_<Function> routine per function of the
// project, and the driver's main. Regenerate instead of editing.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "runner.h"

)";

const char* kSupport = R"(
namespace {

// Any C declarator as one type name: qelgen_t<int (*[3])[4]> uof;
template <class T>
using qelgen_t = T;

}  // namespace

namespace qelgen_rt {

// Rows given to an array parameter whose first dimension is not declared;
// the vector's first row is read, the others are zeros.
constexpr int kUnsizedRows = 16;
// The most values a "pointer, length" pair is padded to.
constexpr int kMaxLength = 1 << 20;

}  // namespace qelgen_rt

)";

}  // namespace

Output Generate(const Settings& settings) {
  Output out;
  std::string routines;
  std::string table;
  std::string handDecls;

  qel::cparse::ParseOptions options;
  options.args = settings.compileArgs;
  options.args.push_back("-xc");
  for (const std::string& source : settings.sources) {
    std::string error;
    std::unique_ptr<TranslationUnit> tu = TranslationUnit::Parse(source, options, &error);
    if (!tu) {
      out.errors.push_back(source + ": " + error);
      continue;
    }
    for (const qel::cparse::Diagnostic& d : tu->Diagnostics()) out.errors.push_back(d.Format());
    const std::string group = BaseName(source);
    // Functions defined in this file with external linkage.
    std::vector<CXCursor> functions;
    for (CXCursor c : qel::cparse::Children(tu->Root())) {
      if (clang_getCursorKind(c) != CXCursor_FunctionDecl || !clang_isCursorDefinition(c)) continue;
      if (!clang_Location_isFromMainFile(clang_getCursorLocation(c))) continue;
      if (Str(clang_getCursorSpelling(c)) == "main") continue;
      if (clang_getCursorLinkage(c) != CXLinkage_External) {
        out.skipped.push_back({Str(clang_getCursorSpelling(c)), Where(c),
                               "static (internal linkage: the driver cannot call it)"});
        continue;
      }
      functions.push_back(c);
    }
    auto named = settings.order.find(group);
    if (named != settings.order.end()) {
      const std::vector<std::string>& wanted = named->second;
      std::stable_sort(functions.begin(), functions.end(), [&](CXCursor a, CXCursor b) {
        auto rank = [&](CXCursor c) {
          auto it = std::find(wanted.begin(), wanted.end(), Str(clang_getCursorSpelling(c)));
          return it == wanted.end() ? wanted.size() : static_cast<std::size_t>(it - wanted.begin());
        };
        return rank(a) < rank(b);
      });
    }

    Json vectors = Json::object();
    std::string entries;
    for (CXCursor f : functions) {
      const std::string name = Str(clang_getCursorSpelling(f));
      if (settings.hand.count(name) != 0) {
        handDecls += "int drive_" + name + "(Json::Value root, int index, CaseRecord* record);\n";
        entries += "          {" + Quote(name) + ", drive_" + name + "},\n";
        vectors[name + "0"] = CaseSkeleton(f);
        continue;
      }
      std::string reason;
      const std::string routine = Routine(f, reason);
      if (routine.empty()) {
        out.skipped.push_back({name, Where(f), reason});
        continue;
      }
      routines += "\n" + routine;
      entries += "          {" + Quote(name) + ", drive_" + name + "},\n";
      vectors[name + "0"] = CaseSkeleton(f);
      ++out.functions;
    }
    const std::string file = "Value_" + group + ".json";
    table += "        {" + Quote(settings.vectorFolder + "/" + file) + ",\n         {\n" + entries +
             "         }},\n";
    out.vectors[file] = "// Generated by qelgen: one test case per function of " + group +
                        ", every member present.\n" + qeltools::dumpJson(vectors, 2) + "\n";
  }

  std::string driver = kPrelude;
  driver += "extern \"C\" {\n";
  for (const std::string& h : settings.headers) driver += "#include " + Quote(h) + "\n";
  driver += "}\n";
  driver += kSupport;
  if (!handDecls.empty()) driver += "// Written by hand.\n" + handDecls;
  if (!routines.empty()) driver += "\nnamespace {\n" + routines + "\n}  // namespace\n";
  if (!out.skipped.empty()) {
    driver += "\n// Not driven:\n";
    for (const Skipped& s : out.skipped)
      driver += "//   " + s.function + " (" + s.where + "): " + s.reason + "\n";
  }
  driver += "\nint main(int argc, char** argv)\n{\n    std::vector<Group> groups = {\n" + table +
            "    };\n    return DriverMain(argc, argv, {" + Quote(settings.program) + ", " +
            (settings.projectRoot.empty() ? std::string("\".\"") : Quote(settings.projectRoot)) +
            ", groups});\n}\n";
  out.driver = driver;
  return out;
}

}  // namespace qelgen
