// libclang loaded on first use rather than at program start.
//
// libclang-14 and the libLLVM it needs take the better part of a tenth of a
// second to map and relocate, while a compiler launcher runs for every link
// step and every unit it leaves alone too. This file defines the libclang
// functions the C++ layer calls as forwarders that open the library the
// first time one of them (or LoadLibclang) is called. Every forwarder is
// checked by the compiler against the library's own declaration (two C
// functions of the same name must agree), so a wrong signature does not
// build.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cparse.h"

#define QEL_CLANG_FUNCTIONS(X)                                                                    \
  X(CXEvalResult, clang_Cursor_Evaluate, (CXCursor c), (c))                                       \
  X(CXCursor, clang_Cursor_getArgument, (CXCursor c, unsigned i), (c, i))                         \
  X(int, clang_Cursor_getNumArguments, (CXCursor c), (c))                                         \
  X(enum CX_StorageClass, clang_Cursor_getStorageClass, (CXCursor c), (c))                        \
  X(CXCursor, clang_Cursor_getVarDeclInitializer, (CXCursor c), (c))                              \
  X(unsigned, clang_Cursor_isBitField, (CXCursor c), (c))                                         \
  X(int, clang_Cursor_isNull, (CXCursor c), (c))                                                  \
  X(void, clang_EvalResult_dispose, (CXEvalResult e), (e))                                        \
  X(CXEvalResultKind, clang_EvalResult_getKind, (CXEvalResult e), (e))                            \
  X(int, clang_Location_isFromMainFile, (CXSourceLocation l), (l))                                \
  X(int, clang_Location_isInSystemHeader, (CXSourceLocation l), (l))                              \
  X(unsigned, clang_Type_visitFields, (CXType t, CXFieldVisitor v, CXClientData d), (t, v, d))    \
  X(CXIndex, clang_createIndex, (int exclude, int display), (exclude, display))                   \
  X(void, clang_disposeDiagnostic, (CXDiagnostic d), (d))                                         \
  X(void, clang_disposeIndex, (CXIndex i), (i))                                                   \
  X(void, clang_disposeString, (CXString s), (s))                                                 \
  X(void, clang_disposeTokens, (CXTranslationUnit tu, CXToken * t, unsigned n), (tu, t, n))       \
  X(void, clang_disposeTranslationUnit, (CXTranslationUnit tu), (tu))                             \
  X(unsigned, clang_equalCursors, (CXCursor a, CXCursor b), (a, b))                               \
  X(unsigned, clang_equalLocations, (CXSourceLocation a, CXSourceLocation b), (a, b))             \
  X(const char*, clang_getCString, (CXString s), (s))                                             \
  X(CXType, clang_getCanonicalType, (CXType t), (t))                                              \
  X(CXSourceRange, clang_getCursorExtent, (CXCursor c), (c))                                      \
  X(enum CXCursorKind, clang_getCursorKind, (CXCursor c), (c))                                    \
  X(CXString, clang_getCursorKindSpelling, (enum CXCursorKind k), (k))                            \
  X(CXSourceLocation, clang_getCursorLocation, (CXCursor c), (c))                                 \
  X(CXCursor, clang_getCursorReferenced, (CXCursor c), (c))                                       \
  X(CXString, clang_getCursorSpelling, (CXCursor c), (c))                                         \
  X(CXType, clang_getCursorType, (CXCursor c), (c))                                               \
  X(CXDiagnostic, clang_getDiagnostic, (CXTranslationUnit tu, unsigned i), (tu, i))               \
  X(CXSourceLocation, clang_getDiagnosticLocation, (CXDiagnostic d), (d))                         \
  X(enum CXDiagnosticSeverity, clang_getDiagnosticSeverity, (CXDiagnostic d), (d))                \
  X(CXString, clang_getDiagnosticSpelling, (CXDiagnostic d), (d))                                 \
  X(long long, clang_getEnumConstantDeclValue, (CXCursor c), (c))                                 \
  X(CXFile, clang_getFile, (CXTranslationUnit tu, const char* name), (tu, name))                  \
  X(void, clang_getFileLocation,                                                                  \
    (CXSourceLocation l, CXFile * f, unsigned* line, unsigned* col, unsigned* off),               \
    (l, f, line, col, off))                                                                       \
  X(CXSourceLocation, clang_getLocationForOffset, (CXTranslationUnit tu, CXFile f, unsigned o),   \
    (tu, f, o))                                                                                   \
  X(CXSourceLocation, clang_getNullLocation, (void), ())                                          \
  X(unsigned, clang_getNumDiagnostics, (CXTranslationUnit tu), (tu))                              \
  X(void, clang_getPresumedLocation,                                                              \
    (CXSourceLocation l, CXString * name, unsigned* line, unsigned* col), (l, name, line, col))   \
  X(CXSourceLocation, clang_getRangeEnd, (CXSourceRange r), (r))                                  \
  X(CXSourceLocation, clang_getRangeStart, (CXSourceRange r), (r))                                \
  X(CXTokenKind, clang_getTokenKind, (CXToken t), (t))                                            \
  X(CXSourceLocation, clang_getTokenLocation, (CXTranslationUnit tu, CXToken t), (tu, t))         \
  X(CXString, clang_getTokenSpelling, (CXTranslationUnit tu, CXToken t), (tu, t))                 \
  X(CXCursor, clang_getTranslationUnitCursor, (CXTranslationUnit tu), (tu))                       \
  X(CXString, clang_getTypeSpelling, (CXType t), (t))                                             \
  X(unsigned, clang_isCursorDefinition, (CXCursor c), (c))                                        \
  X(unsigned, clang_isExpression, (enum CXCursorKind k), (k))                                     \
  X(unsigned, clang_isStatement, (enum CXCursorKind k), (k))                                      \
  X(enum CXErrorCode, clang_parseTranslationUnit2,                                                \
    (CXIndex i, const char* file, const char* const* args, int nargs,                             \
     struct CXUnsavedFile* unsaved, unsigned nunsaved, unsigned options, CXTranslationUnit* out), \
    (i, file, args, nargs, unsaved, nunsaved, options, out))                                      \
  X(void, clang_tokenize, (CXTranslationUnit tu, CXSourceRange r, CXToken * *t, unsigned* n),     \
    (tu, r, t, n))                                                                                \
  X(unsigned, clang_visitChildren, (CXCursor c, CXCursorVisitor v, CXClientData d), (c, v, d))

namespace {

struct Library {
  std::string error;  // empty once every function is found
#define QEL_POINTER(ret, name, params, args) decltype(&::name) name = nullptr;
  QEL_CLANG_FUNCTIONS(QEL_POINTER)
#undef QEL_POINTER
};

// How the library is first opened: lazily bound for a one-unit run; a
// process that forks a parse per request binds every symbol once instead,
// or each child would resolve them again.
int g_open_mode = RTLD_LAZY;

Library Open() {
  Library lib;
  // The library's own name first, as the dynamic linker would look it up;
  // then the file the build linked against.
  const char* const names[] = {QEL_LIBCLANG_SONAME, QEL_LIBCLANG_PATH};
  void* handle = nullptr;
  for (const char* n : names) {
    if (*n == '\0') continue;
    handle = dlopen(n, g_open_mode | RTLD_LOCAL);
    if (handle) break;
    const char* why = dlerror();
    lib.error = "cannot load libclang (" + std::string(why ? why : n) + ")";
  }
  if (!handle) return lib;
  lib.error.clear();
#define QEL_RESOLVE(ret, name, params, args)                                     \
  lib.name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name));          \
  if (!lib.name && lib.error.empty()) {                                          \
    lib.error = std::string("libclang has no ") + #name + " (" + names[1] + ")"; \
  }
  QEL_CLANG_FUNCTIONS(QEL_RESOLVE)
#undef QEL_RESOLVE
  return lib;
}

// Opened once, by whichever thread comes first.
const Library& Get() {
  static const Library lib = Open();
  return lib;
}

const Library& Loaded() {
  const Library& lib = Get();
  if (!lib.error.empty()) {
    // LoadLibclang reports this before any parse; reaching here is a bug.
    std::fprintf(stderr, "%s\n", lib.error.c_str());
    std::abort();
  }
  return lib;
}

}  // namespace

namespace qel {
namespace cparse {

bool LoadLibclang(std::string* error) {
  const Library& lib = Get();
  if (lib.error.empty()) return true;
  if (error) *error = lib.error;
  return false;
}

bool LoadLibclangBound(std::string* error) {
  g_open_mode = RTLD_NOW;
  return LoadLibclang(error);
}

const char* LibclangFile() { return QEL_LIBCLANG_PATH; }

}  // namespace cparse
}  // namespace qel

#define QEL_FORWARD(ret, name, params, args) \
  extern "C" ret name params { return Loaded().name args; }
QEL_CLANG_FUNCTIONS(QEL_FORWARD)
#undef QEL_FORWARD
