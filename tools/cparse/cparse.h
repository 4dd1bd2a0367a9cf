// A small C++ layer over libclang's stable C API, shared by the tools that
// read C: the instrumenter (qelcc) and the driver generator.
//
// Why the C API: it is the ABI-stable part of libclang, so the tools build
// against Debian's libclang-14-dev or libclang-19-dev unchanged, and none of
// LLVM's C++ headers (which change every release) are needed.
//
// Positions: every cursor and source location can be read two ways.
//   - `Offset`: the byte offset in the buffer that was parsed (for a
//     preprocessed .i file, the place to insert text).
//   - `Presumed`: file:line:column as the line markers of a preprocessed file
//     name them (the user's original file and line). Columns are those of the
//     parsed buffer.
// Code from system headers (line markers with flag 3, or -isystem paths) is
// recognised by `InSystemHeader` and can be skipped; diagnostics are
// filtered by the file they lie in, those of system headers left out,
// because GCC-preprocessed glibc headers give libclang recoverable errors
// there (`__malloc__` with arguments, `_Float32` to `_Float128`: dozens with
// _GNU_SOURCE). Parses run without an error limit, so such errors never stop
// the parse before the user's code.
#ifndef QEL_CPARSE_H
#define QEL_CPARSE_H

#include <clang-c/Index.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qel {
namespace cparse {

struct Position {
  std::string file;   // as the line markers name it; empty when unknown
  unsigned line = 0;  // 1-based
  unsigned column = 0;
  unsigned offset = 0;  // byte offset in the parsed buffer
  bool system = false;  // inside a system header
  bool valid = false;
};

struct Extent {
  Position begin;
  Position end;  // one past the last byte
};

struct Diagnostic {
  enum Severity { kNote, kWarning, kError, kFatal };
  Severity severity = kError;
  std::string message;
  Position where;
  std::string Format() const;  // "file:line:col: error: message"
};

// Options of one parse.
struct ParseOptions {
  std::vector<std::string> args;  // compiler arguments (-I, -D, -std=...)
  // Parse as already preprocessed text: adds "-x cpp-output"-like handling
  // (no include search needed) and defines away GCC-only spellings that
  // libclang rejects inside system headers.
  bool preprocessed = false;
  // Keep function bodies (the instrumenter needs them; a declaration walker
  // can skip them for speed).
  bool function_bodies = true;
};

// Makes libclang ready for use. A tool linked against it always is; one
// that opens it on first use (qel_cparse_lazy) opens it here and says why
// when it cannot. Parse calls it first.
bool LoadLibclang(std::string* error);

// LoadLibclang with every symbol bound at once (a process that forks a
// parse per request); as LoadLibclang once the library is open.
bool LoadLibclangBound(std::string* error);

// The libclang file the tool opens on first use (empty when it is linked
// against the library): part of what identifies the parsing a tool does.
const char* LibclangFile();

class TranslationUnit {
 public:
  // Parses `path` (or `contents` as the text of `path` when given). Returns
  // null and sets *error when libclang gives no translation unit at all;
  // recoverable errors are reported by Diagnostics().
  static std::unique_ptr<TranslationUnit> Parse(const std::string& path,
                                                const ParseOptions& options, std::string* error,
                                                const std::string* contents = nullptr);
  ~TranslationUnit();
  TranslationUnit(const TranslationUnit&) = delete;
  TranslationUnit& operator=(const TranslationUnit&) = delete;

  CXTranslationUnit raw() const { return tu_; }
  CXCursor Root() const;
  const std::string& path() const { return path_; }

  // Diagnostics at or above `min`; those inside system headers only when
  // `include_system`.
  std::vector<Diagnostic> Diagnostics(Diagnostic::Severity min = Diagnostic::kError,
                                      bool include_system = false) const;

  Position At(CXSourceLocation loc) const;
  // As At, every part asked of libclang: what At's shortcut must agree with.
  Position AtFromLibclang(CXSourceLocation loc) const;
  Extent ExtentOf(CXCursor cursor) const;
  bool InSystemHeader(CXCursor cursor) const;
  // True when the cursor lies in the parsed main buffer (for a preprocessed
  // file: always, since every token is in the .i text).
  bool InMainBuffer(CXCursor cursor) const;

 private:
  TranslationUnit() = default;
  CXIndex index_ = nullptr;
  CXTranslationUnit tu_ = nullptr;
  std::string path_;
  std::string contents_;  // kept alive for libclang's unsaved file

  // Presumed file, line and system flag are the same for every byte of a
  // physical line that holds no directive, so libclang is asked once per
  // line; only the offset (and the column with it) is asked per location.
  struct LineInfo {
    signed char state = 0;  // 1: known, -1: always asked of libclang, 0: not yet asked
    int file = -1;          // into line_files_
    unsigned line = 0;
    bool system = false;
  };
  void PrepareLineCache();
  bool CacheableLine(unsigned offset, unsigned column) const;
  CXFile main_file_ = nullptr;
  bool line_cache_ = false;
  bool check_locations_ = false;         // QEL_CPARSE_CHECK_LOCATIONS: compare every answer
  mutable std::vector<LineInfo> lines_;  // by physical line
  mutable std::vector<std::string> line_files_;
};

// Cursor helpers.
std::string Str(CXString s);  // takes ownership
std::string Spelling(CXCursor c);
std::string KindName(CXCursorKind k);
std::string TypeSpelling(CXType t);
std::vector<CXCursor> Children(CXCursor c);

// Visits `c`'s subtree depth first; return false from `fn` to skip a
// cursor's children.
void Walk(CXCursor c, const std::function<bool(CXCursor cursor, CXCursor parent)>& fn);

// The top-level declarations of the translation unit outside system headers.
std::vector<CXCursor> UserDeclarations(const TranslationUnit& tu);

// Type helpers for walkers of declarations.
CXType Canonical(CXType t);
std::vector<CXCursor> Fields(CXType record);  // struct/union members in order
std::vector<CXCursor> Parameters(CXCursor function);
std::vector<std::pair<std::string, long long>> EnumConstants(CXCursor enum_decl);

}  // namespace cparse
}  // namespace qel

#endif
