#include "cparse.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qel {
namespace cparse {

std::string Str(CXString s) {
  const char* c = clang_getCString(s);
  std::string out = c ? c : "";
  clang_disposeString(s);
  return out;
}

std::string Spelling(CXCursor c) { return Str(clang_getCursorSpelling(c)); }
std::string KindName(CXCursorKind k) { return Str(clang_getCursorKindSpelling(k)); }
std::string TypeSpelling(CXType t) { return Str(clang_getTypeSpelling(t)); }

#ifndef QEL_CPARSE_LAZY
bool LoadLibclang(std::string*) { return true; }
bool LoadLibclangBound(std::string*) { return true; }
const char* LibclangFile() { return ""; }
#endif

std::string Diagnostic::Format() const {
  static const char* const kNames[] = {"note", "warning", "error", "fatal error"};
  std::string out;
  if (where.valid) {
    out = where.file + ":" + std::to_string(where.line) + ":" + std::to_string(where.column) + ": ";
  }
  return out + kNames[severity] + ": " + message;
}

std::unique_ptr<TranslationUnit> TranslationUnit::Parse(const std::string& path,
                                                        const ParseOptions& options,
                                                        std::string* error,
                                                        const std::string* contents) {
  if (!LoadLibclang(error)) return nullptr;
  std::unique_ptr<TranslationUnit> tu(new TranslationUnit());
  tu->path_ = path;
  std::vector<std::string> args;
  if (options.preprocessed) {
    // The buffer is already preprocessed; the line markers carry the files.
    args.push_back("-x");
    args.push_back("cpp-output");
  }
  for (const std::string& a : options.args) args.push_back(a);
  // No error limit: GCC-preprocessed glibc headers alone give libclang more
  // than its default 20 errors (`_Float32` ... `_Float64x`, `__malloc__`
  // with arguments, under _GNU_SOURCE), and at the limit it stops parsing
  // the user's code. Diagnostics() leaves out those that lie in system
  // headers.
  args.push_back("-ferror-limit=0");
  // Diagnostics are read through Diagnostics(); nothing goes to stderr.
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  tu->index_ = clang_createIndex(/*excludeDeclarationsFromPCH=*/0, /*displayDiagnostics=*/0);
  CXUnsavedFile unsaved;
  unsigned n_unsaved = 0;
  if (contents) {
    tu->contents_ = *contents;
    unsaved.Filename = tu->path_.c_str();
    unsaved.Contents = tu->contents_.data();
    unsaved.Length = static_cast<unsigned long>(tu->contents_.size());
    n_unsaved = 1;
  }
  unsigned flags = CXTranslationUnit_KeepGoing;
  if (!options.function_bodies) flags |= CXTranslationUnit_SkipFunctionBodies;
  CXErrorCode rc = clang_parseTranslationUnit2(
      tu->index_, tu->path_.c_str(), argv.data(), static_cast<int>(argv.size()),
      n_unsaved ? &unsaved : nullptr, n_unsaved, flags, &tu->tu_);
  if (rc != CXError_Success || !tu->tu_) {
    if (error) {
      *error = "libclang could not parse " + path + " (error code " +
               std::to_string(static_cast<int>(rc)) + ")";
    }
    return nullptr;
  }
  tu->PrepareLineCache();
  return tu;
}

// The shortcut in At needs the buffer's text and every line note of a line
// marker on the marker's own line (the line that holds its '#'). A line
// continued by a backslash, a directive that runs on in a block comment, a
// carriage return (a line end of its own to libclang) or a macro definition
// (locations in expansions) turn it off for the unit. Comments and literals
// are followed, so that a '#' in them (-C keeps comments) is no directive.
void TranslationUnit::PrepareLineCache() {
  line_cache_ = false;
  const char* check = std::getenv("QEL_CPARSE_CHECK_LOCATIONS");
  check_locations_ = check && *check && std::strcmp(check, "0") != 0;
  if (contents_.empty()) return;
  // The handle libclang gives back for locations in the buffer, which need
  // not be the one clang_getFile looks up.
  CXFile named = clang_getFile(tu_, path_.c_str());
  if (!named) return;
  unsigned line = 0, column = 0, offset = 0;
  clang_getFileLocation(clang_getLocationForOffset(tu_, named, 0), &main_file_, &line, &column,
                        &offset);
  if (!main_file_) return;
  // One pass over the buffer; most bytes matter to none of the above.
  static const std::array<bool, 256> kSpecial = [] {
    std::array<bool, 256> special{};
    for (unsigned char c : std::string("\n\r/*\"'\\#")) special[c] = true;
    return special;
  }();
  const std::string& t = contents_;
  const std::size_t n = t.size();
  bool comment = false, hash = false;
  char quote = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const char c = t[k];
    if (!kSpecial[static_cast<unsigned char>(c)]) continue;
    if (c == '\r') return;
    if (c == '\n') {
      if (k > 0 && t[k - 1] == '\\') return;
      if (hash && comment) return;
      hash = false;
      quote = 0;
      continue;
    }
    const char next = k + 1 < n ? t[k + 1] : 0;
    if (comment) {
      if (c == '*' && next == '/') {
        comment = false;
        ++k;
      }
    } else if (quote) {
      if (c == '\\') {
        if (next == '\n') return;  // a continued line
        ++k;
      } else if (c == quote) {
        quote = 0;
      }
    } else if (c == '/' && next == '/') {
      const std::size_t e = t.find('\n', k);
      k = (e == std::string::npos ? n : e) - 1;
    } else if (c == '/' && next == '*') {
      comment = true;
      ++k;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '#') {
      hash = true;
      std::size_t q = k + 1;
      while (q < n && (t[q] == ' ' || t[q] == '\t')) ++q;
      if (t.compare(q, 6, "define") == 0) return;
    }
  }
  if (n > 0 && t[n - 1] == '\\') return;
  if (hash && comment) return;
  line_cache_ = true;
}

// A line is left to libclang when it holds a '#' (it may be a directive, and
// a line note then starts partway through it).
bool TranslationUnit::CacheableLine(unsigned offset, unsigned column) const {
  if (column == 0 || column - 1 > offset) return false;
  const std::size_t begin = offset - (column - 1);
  if (begin > contents_.size()) return false;
  std::size_t e = contents_.find('\n', begin);
  if (e == std::string::npos) e = contents_.size();
  return std::memchr(contents_.data() + begin, '#', e - begin) == nullptr;
}

TranslationUnit::~TranslationUnit() {
  if (tu_) clang_disposeTranslationUnit(tu_);
  if (index_) clang_disposeIndex(index_);
}

CXCursor TranslationUnit::Root() const { return clang_getTranslationUnitCursor(tu_); }

Position TranslationUnit::AtFromLibclang(CXSourceLocation loc) const {
  Position p;
  if (clang_equalLocations(loc, clang_getNullLocation())) return p;
  CXString file;
  unsigned line = 0, column = 0;
  clang_getPresumedLocation(loc, &file, &line, &column);
  p.file = Str(file);
  p.line = line;
  p.column = column;
  CXFile f = nullptr;
  unsigned l2 = 0, c2 = 0, off = 0;
  clang_getFileLocation(loc, &f, &l2, &c2, &off);
  p.offset = off;
  p.system = clang_Location_isInSystemHeader(loc) != 0;
  p.valid = f != nullptr;
  return p;
}

namespace {
bool SamePosition(const Position& a, const Position& b) {
  return a.file == b.file && a.line == b.line && a.column == b.column && a.offset == b.offset &&
         a.system == b.system && a.valid == b.valid;
}
}  // namespace

Position TranslationUnit::At(CXSourceLocation loc) const {
  if (!line_cache_) return AtFromLibclang(loc);
  Position p;
  if (clang_equalLocations(loc, clang_getNullLocation())) return p;
  CXFile f = nullptr;
  unsigned line = 0, column = 0, off = 0;
  clang_getFileLocation(loc, &f, &line, &column, &off);
  if (!f || line == 0 || f != main_file_) return AtFromLibclang(loc);
  if (lines_.size() <= line) lines_.resize(line + 1);
  LineInfo& info = lines_[line];
  if (info.state < 0) return AtFromLibclang(loc);
  if (info.state == 0) {
    if (!CacheableLine(off, column)) {
      info.state = -1;
      return AtFromLibclang(loc);
    }
    info.state = 1;
    p = AtFromLibclang(loc);
    if (line_files_.empty() || line_files_.back() != p.file) line_files_.push_back(p.file);
    info.file = static_cast<int>(line_files_.size()) - 1;
    info.line = p.line;
    info.system = p.system;
    return p;
  }
  p.file = line_files_[static_cast<std::size_t>(info.file)];
  p.line = info.line;
  p.column = column;
  p.offset = off;
  p.system = info.system;
  p.valid = true;
  if (check_locations_) {
    const Position q = AtFromLibclang(loc);
    if (!SamePosition(p, q)) {
      std::fprintf(stderr,
                   "cparse: location at offset %u: %s:%u:%u%s from the line, %s:%u:%u%s (offset "
                   "%u) from libclang\n",
                   off, p.file.c_str(), p.line, p.column, p.system ? " (system)" : "",
                   q.file.c_str(), q.line, q.column, q.system ? " (system)" : "", q.offset);
      std::abort();
    }
  }
  return p;
}

Extent TranslationUnit::ExtentOf(CXCursor cursor) const {
  CXSourceRange r = clang_getCursorExtent(cursor);
  Extent e;
  e.begin = At(clang_getRangeStart(r));
  e.end = At(clang_getRangeEnd(r));
  return e;
}

bool TranslationUnit::InSystemHeader(CXCursor cursor) const {
  return clang_Location_isInSystemHeader(clang_getCursorLocation(cursor)) != 0;
}

bool TranslationUnit::InMainBuffer(CXCursor cursor) const {
  return clang_Location_isFromMainFile(clang_getCursorLocation(cursor)) != 0;
}

std::vector<Diagnostic> TranslationUnit::Diagnostics(Diagnostic::Severity min,
                                                     bool include_system) const {
  std::vector<Diagnostic> out;
  unsigned n = clang_getNumDiagnostics(tu_);
  for (unsigned i = 0; i < n; ++i) {
    CXDiagnostic d = clang_getDiagnostic(tu_, i);
    Diagnostic diag;
    switch (clang_getDiagnosticSeverity(d)) {
      case CXDiagnostic_Ignored:
      case CXDiagnostic_Note:
        diag.severity = Diagnostic::kNote;
        break;
      case CXDiagnostic_Warning:
        diag.severity = Diagnostic::kWarning;
        break;
      case CXDiagnostic_Error:
        diag.severity = Diagnostic::kError;
        break;
      case CXDiagnostic_Fatal:
        diag.severity = Diagnostic::kFatal;
        break;
    }
    diag.message = Str(clang_getDiagnosticSpelling(d));
    diag.where = At(clang_getDiagnosticLocation(d));
    clang_disposeDiagnostic(d);
    if (diag.severity < min) continue;
    if (diag.where.system && !include_system) continue;
    out.push_back(diag);
  }
  return out;
}

std::vector<CXCursor> Children(CXCursor c) {
  std::vector<CXCursor> out;
  clang_visitChildren(
      c,
      [](CXCursor child, CXCursor, CXClientData data) {
        static_cast<std::vector<CXCursor>*>(data)->push_back(child);
        return CXChildVisit_Continue;
      },
      &out);
  return out;
}

namespace {
struct WalkState {
  const std::function<bool(CXCursor, CXCursor)>* fn;
};
CXChildVisitResult WalkVisit(CXCursor c, CXCursor parent, CXClientData data) {
  auto* st = static_cast<WalkState*>(data);
  return (*st->fn)(c, parent) ? CXChildVisit_Recurse : CXChildVisit_Continue;
}
}  // namespace

void Walk(CXCursor c, const std::function<bool(CXCursor, CXCursor)>& fn) {
  WalkState st{&fn};
  clang_visitChildren(c, WalkVisit, &st);
}

std::vector<CXCursor> UserDeclarations(const TranslationUnit& tu) {
  std::vector<CXCursor> out;
  for (CXCursor c : Children(tu.Root())) {
    if (!tu.InSystemHeader(c)) out.push_back(c);
  }
  return out;
}

CXType Canonical(CXType t) { return clang_getCanonicalType(t); }

std::vector<CXCursor> Fields(CXType record) {
  std::vector<CXCursor> out;
  clang_Type_visitFields(
      Canonical(record),
      [](CXCursor field, CXClientData data) {
        static_cast<std::vector<CXCursor>*>(data)->push_back(field);
        return CXVisit_Continue;
      },
      &out);
  return out;
}

std::vector<CXCursor> Parameters(CXCursor function) {
  std::vector<CXCursor> out;
  int n = clang_Cursor_getNumArguments(function);
  for (int i = 0; i < n; ++i)
    out.push_back(clang_Cursor_getArgument(function, static_cast<unsigned>(i)));
  return out;
}

std::vector<std::pair<std::string, long long>> EnumConstants(CXCursor enum_decl) {
  std::vector<std::pair<std::string, long long>> out;
  for (CXCursor c : Children(enum_decl)) {
    if (clang_getCursorKind(c) == CXCursor_EnumConstantDecl) {
      out.emplace_back(Spelling(c), clang_getEnumConstantDeclValue(c));
    }
  }
  return out;
}

}  // namespace cparse
}  // namespace qel
