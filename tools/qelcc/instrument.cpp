// The rewriter: walks every function defined outside system headers and
// inserts probe calls into the preprocessed text at byte offsets. The AST is
// never printed back, so the text the compiler sees is the user's own plus
// the probes, and the line markers still name the user's files and lines.
//
// What is inserted (U: unit id, G: group id):
//   - at the start of each function body: `int __qel_cs[K][2];` (one
//     condition string per decision of the function, so nested decisions
//     each have their own) and the entry node as a declaration
//     `int __qel_nN __attribute__((unused)) = QelNode(U, N, 0);` (a
//     declaration, so C90 code with declarations first stays valid);
//   - one node per straight-line run of statements, before its first
//     statement (`QelNode(U, N, 0);`), after each `case`/`default`/label, and
//     as the first statement of every branch and loop body (a body without
//     braces gets braces);
//   - each decision E with leaves L0..Ln (the operands below && || ! and
//     parentheses) becomes
//       ((void)QelStringInit(__qel_cs[k]), QelExp(U, D', D, __qel_cs[k], G,
//           !!(... __qel_c(__qel_cs[k], i, U, Ci, G, !!(Li)) ...)))
//     so each leaf is evaluated once, in its place (short-circuit and order
//     kept), and the decision's value is the int 0/1 that C gives && and ||
//     and that a controlling expression only tests.
// Nothing is inserted into constant expressions or unevaluated operands: case
// labels, static and file-scope initialisers, array sizes, enum values,
// _Static_assert, sizeof/_Alignof/typeof/_Generic/offsetof, and conditions the
// compiler folds to a constant (`while (1)`, `do ... while (0)`), whose
// wrapping would change what the compiler knows about the control flow.
#include "instrument.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "cparse.h"

namespace qelcc {

using qel::cparse::Children;
using qel::cparse::Position;
using qel::cparse::TranslationUnit;

std::string NormalPath(const std::string& path, const std::string& cwd) {
  std::string p = path;
  if (p.empty() || p[0] != '/') p = cwd + "/" + p;
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(p);
  while (std::getline(in, part, '/')) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string out;
  for (const std::string& s : parts) out += "/" + s;
  return out.empty() ? "/" : out;
}

namespace {

const int kMaxConditions = 16;  // slots of a condition string
const int kMaxNodeId = 65534;   // node id 0xFFFF means "no record" to the runtime
const int kMaxCondId = 65535;
const int kMaxDecisionId = 32767;

struct Insertion {
  unsigned offset;
  int phase;  // 0: closes, 1: opens
  int depth;
  int seq;
  std::string text;
};

struct Token {
  unsigned offset;
  std::string text;
};

struct OrigPos {
  int file = 0;
  unsigned line = 0, column = 0;
  bool exact = false;
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

// Index of the first byte at or after `k` that is neither white space nor
// inside a comment (a comment left open runs to the end of the line).
size_t SkipBlank(const std::string& line, size_t k) {
  while (k < line.size()) {
    if (IsSpace(line[k])) {
      ++k;
    } else if (line.compare(k, 2, "/*") == 0) {
      size_t e = line.find("*/", k + 2);
      k = e == std::string::npos ? line.size() : e + 2;
    } else if (line.compare(k, 2, "//") == 0) {
      k = line.size();
    } else {
      break;
    }
  }
  return k;
}

class Rewriter {
 public:
  Rewriter(const TranslationUnit& tu, const std::string& text, const std::string& cwd, int unit,
           int group)
      : tu_(tu), text_(text), cwd_(cwd), unit_(unit), group_(group) {}

  bool Run(std::string* out, UnitMap* map, std::string* error);

 private:
  CXCursorKind Kind(CXCursor c) const { return clang_getCursorKind(c); }
  Position Begin(CXCursor c) const { return tu_.ExtentOf(c).begin; }
  Position End(CXCursor c) const { return tu_.ExtentOf(c).end; }

  void Insert(unsigned offset, bool open, int depth, const std::string& text) {
    ins_.push_back(Insertion{offset, open ? 1 : 0, open ? depth : -depth,
                             static_cast<int>(ins_.size()), text});
  }

  void Function(CXCursor fn);
  void Compound(CXCursor c, int depth, int run, const char* first_kind);
  void Stmt(CXCursor s, int depth, int& run, const char* kind, bool decl_ok);
  void Body(CXCursor s, int depth);
  void Expr(CXCursor e, int depth);
  void Decision(CXCursor e, const char* kind, int depth, bool with_node);
  void Leaves(CXCursor e, std::vector<CXCursor>* out);
  void VarDecls(CXCursor decl_stmt, int depth);

  unsigned StmtEnd(CXCursor s);
  unsigned AfterSemicolon(unsigned off) const;
  std::string OperatorAfter(unsigned from, unsigned to) const;
  bool Constant(CXCursor e) const;
  bool HasLabels(const std::vector<CXCursor>& v, size_t from) const;
  CXCursor Skip(CXCursor e) const;

  int NewNode(const char* kind, CXCursor at);
  void AddLines(int node, unsigned from, unsigned to);
  void AddLine(int node, CXCursor c) { AddLines(node, Begin(c).line, Begin(c).line); }
  OrigPos Map(const Position& p, bool end);
  int FileId(const std::string& path);
  std::string Text(const Position& b, const Position& e);
  const std::vector<std::string>* Source(const std::string& path);

  const TranslationUnit& tu_;
  const std::string& text_;
  std::string cwd_;
  int unit_, group_;
  std::vector<Insertion> ins_;
  std::vector<Token> tokens_;  // punctuation of the current function
  UnitMap map_;
  std::map<std::string, int> file_ids_;
  std::map<std::string, std::unique_ptr<std::vector<std::string>>> sources_;
  std::string fn_name_;
  int fn_slots_ = 0;
  int next_node_ = 1, next_cond_ = 1, next_decision_ = 1;
  std::set<std::pair<unsigned, unsigned>> decided_;  // decisions already wrapped
};

int Rewriter::FileId(const std::string& path) {
  std::string norm = NormalPath(path, cwd_);
  auto it = file_ids_.find(norm);
  if (it != file_ids_.end()) return it->second;
  int id = static_cast<int>(map_.files.size());
  map_.files.push_back(norm);
  file_ids_[norm] = id;
  return id;
}

const std::vector<std::string>* Rewriter::Source(const std::string& path) {
  auto it = sources_.find(path);
  if (it != sources_.end()) return it->second.get();
  std::unique_ptr<std::vector<std::string>> lines;
  std::ifstream in(path, std::ios::binary);
  if (in) {
    lines.reset(new std::vector<std::string>());
    std::string line;
    while (std::getline(in, line)) lines->push_back(line);
  }
  auto* raw = lines.get();
  sources_[path] = std::move(lines);
  return raw;
}

// Maps a position of the preprocessed text to the original file: the line
// comes from the line markers; the column is found by walking the .i line and
// the original line together, skipping white space and comments. A line whose
// tokens differ (a macro expanded on it) keeps the .i column, marked inexact.
OrigPos Rewriter::Map(const Position& p, bool end) {
  OrigPos o;
  o.file = FileId(p.file);
  o.line = p.line;
  o.column = p.column;
  size_t ls = text_.rfind('\n', p.offset == 0 ? 0 : p.offset - 1);
  ls = (ls == std::string::npos || p.offset == 0) ? 0 : ls + 1;
  size_t le = text_.find('\n', ls);
  if (le == std::string::npos) le = text_.size();
  std::string iline = text_.substr(ls, le - ls);
  const std::vector<std::string>* src = Source(map_.files[static_cast<size_t>(o.file)]);
  if (!src || p.line == 0 || p.line > src->size()) return o;
  const std::string& oline = (*src)[p.line - 1];
  size_t target = p.offset - ls;
  if (end) {
    if (target == 0) return o;
    target -= 1;  // map the last byte, then step past it
  }
  size_t i = 0, k = 0;
  while (true) {
    while (i < target && i < iline.size()) {
      size_t next = SkipBlank(iline, i);
      if (next > target) break;
      if (next == i) break;
      i = next;
    }
    k = SkipBlank(oline, k);
    if (i == target) break;
    if (i >= iline.size() || k >= oline.size() || iline[i] != oline[k]) return o;
    ++i;
    ++k;
  }
  if (k >= oline.size() || i >= iline.size() || iline[i] != oline[k]) return o;
  o.column = static_cast<unsigned>(k + 1 + (end ? 1 : 0));
  o.exact = true;
  return o;
}

std::string Rewriter::Text(const Position& b, const Position& e) {
  OrigPos ob = Map(b, false), oe = Map(e, true);
  if (ob.exact && oe.exact && ob.file == oe.file) {
    const std::vector<std::string>* src = Source(map_.files[static_cast<size_t>(ob.file)]);
    std::string out;
    for (unsigned l = ob.line; l <= oe.line && src && l <= src->size(); ++l) {
      const std::string& line = (*src)[l - 1];
      size_t from = l == ob.line ? ob.column - 1 : 0;
      size_t to = l == oe.line ? oe.column - 1 : line.size();
      if (from > line.size() || to > line.size() || from > to) return "";
      if (!out.empty() || l != ob.line) out += "\n";
      out += line.substr(from, to - from);
    }
    return out;
  }
  // Inside a macro expansion: the expanded text, white space collapsed.
  std::string out;
  bool space = false, bol = true, marker = false;
  for (unsigned i = b.offset; i < e.offset && i < text_.size(); ++i) {
    char c = text_[i];
    if (c == '\n') {
      bol = true;
      marker = false;
      space = true;
      continue;
    }
    if (bol && c == '#') marker = true;
    bol = false;
    if (marker) continue;
    if (IsSpace(c)) {
      space = true;
      continue;
    }
    if (space && !out.empty()) out += ' ';
    space = false;
    out += c;
  }
  return out;
}

int Rewriter::NewNode(const char* kind, CXCursor at) {
  MapNode n;
  n.id = next_node_++;
  Position p = Begin(at);
  OrigPos o = Map(p, false);
  n.file = o.file;
  n.line = o.line;
  n.column = o.column;
  n.function = fn_name_;
  n.kind = kind;
  map_.nodes.push_back(n);
  return n.id;
}

void Rewriter::AddLines(int node, unsigned from, unsigned to) {
  if (node <= 0 || from == 0) return;
  MapNode& n = map_.nodes[static_cast<size_t>(node - 1)];
  for (unsigned l = from; l <= to && l < from + 10000; ++l) n.lines.insert(l);
}

unsigned Rewriter::AfterSemicolon(unsigned off) const {
  bool bol = off == 0 || text_[off - 1] == '\n';
  while (off < text_.size()) {
    char c = text_[off];
    if (c == '\n') {
      bol = true;
      ++off;
    } else if (IsSpace(c)) {
      ++off;
    } else if (text_.compare(off, 2, "/*") == 0) {
      size_t e = text_.find("*/", off + 2);
      off = e == std::string::npos ? static_cast<unsigned>(text_.size()) : static_cast<unsigned>(e + 2);
      bol = false;
    } else if (text_.compare(off, 2, "//") == 0) {
      while (off < text_.size() && text_[off] != '\n') ++off;
    } else if (bol && c == '#') {
      while (off < text_.size() && text_[off] != '\n') ++off;
    } else {
      break;
    }
  }
  return off < text_.size() && text_[off] == ';' ? off + 1 : 0;
}

// One past the last byte of a statement, its ';' included; 0 if unknown.
unsigned Rewriter::StmtEnd(CXCursor s) {
  switch (Kind(s)) {
    case CXCursor_CompoundStmt: return End(s).offset;
    case CXCursor_IfStmt:
    case CXCursor_WhileStmt:
    case CXCursor_ForStmt:
    case CXCursor_SwitchStmt:
    case CXCursor_LabelStmt:
    case CXCursor_CaseStmt:
    case CXCursor_DefaultStmt: {
      std::vector<CXCursor> ch = Children(s);
      return ch.empty() ? 0 : StmtEnd(ch.back());
    }
    default: {
      unsigned e = End(s).offset;
      if (e > 0 && e <= text_.size() && text_[e - 1] == ';') return e;
      return AfterSemicolon(e);
    }
  }
}

std::string Rewriter::OperatorAfter(unsigned from, unsigned to) const {
  auto it = std::lower_bound(tokens_.begin(), tokens_.end(), from,
                             [](const Token& t, unsigned off) { return t.offset < off; });
  if (it == tokens_.end() || it->offset >= to) return "";
  return it->text;
}

CXCursor Rewriter::Skip(CXCursor e) const {
  // Implicit conversions appear as unexposed expressions spanning their operand.
  while (Kind(e) == CXCursor_UnexposedExpr) {
    std::vector<CXCursor> ch = Children(e);
    if (ch.size() != 1) break;
    qel::cparse::Extent a = tu_.ExtentOf(e), b = tu_.ExtentOf(ch[0]);
    if (a.begin.offset != b.begin.offset || a.end.offset != b.end.offset) break;
    e = ch[0];
  }
  return e;
}

bool Rewriter::Constant(CXCursor e) const {
  CXEvalResult r = clang_Cursor_Evaluate(e);
  if (!r) return false;
  bool constant = clang_EvalResult_getKind(r) != CXEval_UnExposed;
  clang_EvalResult_dispose(r);
  return constant;
}

bool Rewriter::HasLabels(const std::vector<CXCursor>& v, size_t from) const {
  bool found = false;
  for (size_t i = from; i < v.size() && !found; ++i) {
    qel::cparse::Walk(v[i], [&](CXCursor c, CXCursor) {
      CXCursorKind k = clang_getCursorKind(c);
      if (k == CXCursor_LabelStmt || k == CXCursor_CaseStmt || k == CXCursor_DefaultStmt) {
        found = true;
      }
      return !found;
    });
    CXCursorKind k = Kind(v[i]);
    if (k == CXCursor_LabelStmt || k == CXCursor_CaseStmt || k == CXCursor_DefaultStmt) found = true;
  }
  return found;
}

void Rewriter::Leaves(CXCursor e, std::vector<CXCursor>* out) {
  CXCursor s = Skip(e);
  CXCursorKind k = Kind(s);
  std::vector<CXCursor> ch = Children(s);
  if (k == CXCursor_ParenExpr && ch.size() == 1) return Leaves(ch[0], out);
  if (k == CXCursor_UnaryOperator && ch.size() == 1) {
    unsigned b = Begin(s).offset;
    if (OperatorAfter(b, b + 1) == "!") return Leaves(ch[0], out);
  }
  if (k == CXCursor_BinaryOperator && ch.size() == 2) {
    std::string op = OperatorAfter(End(ch[0]).offset, Begin(ch[1]).offset);
    if (op == "&&" || op == "||") {
      Leaves(ch[0], out);
      Leaves(ch[1], out);
      return;
    }
  }
  out->push_back(s);
}

void Rewriter::Decision(CXCursor e, const char* kind, int depth, bool with_node) {
  Position b = Begin(e), en = End(e);
  if (!b.valid || !en.valid || en.offset <= b.offset) return;
  if (!decided_.insert({b.offset, en.offset}).second) return;
  if (Constant(e)) return;
  std::vector<CXCursor> leaves;
  Leaves(e, &leaves);
  std::string u = std::to_string(unit_), g = std::to_string(group_);
  MapDecision d;
  d.id = next_decision_++;
  d.cond_id = next_cond_++;
  d.mcdc = static_cast<int>(leaves.size()) <= kMaxConditions;
  d.kind = kind;
  d.function = fn_name_;
  OrigPos ob = Map(b, false), oe = Map(en, true);
  d.file = ob.file;
  d.line = ob.line;
  d.column = ob.column;
  d.end_line = oe.line;
  d.end_column = oe.column;
  d.text = Text(b, en);
  std::string cs = d.mcdc ? "__qel_cs[" + std::to_string(fn_slots_++) + "]" : "(int*)0";
  std::string open = "(";
  if (with_node) {
    int node = NewNode("stmt", e);
    AddLines(node, b.line, en.line);
    open += "(void)QelNode(" + u + ", " + std::to_string(node) + ", 0), ";
  }
  if (d.mcdc) open += "(void)QelStringInit(" + cs + "), ";
  open += "QelExp(" + u + ", " + std::to_string(d.cond_id) + ", " + std::to_string(d.id) + ", " + cs +
          ", " + g + ", !!(";
  Insert(b.offset, true, depth, open);
  Insert(en.offset, false, depth, ")))");
  int index = 0;
  for (CXCursor leaf : leaves) {
    Position lb = Begin(leaf), le = End(leaf);
    MapCondition c;
    c.id = next_cond_++;
    c.index = index;
    OrigPos olb = Map(lb, false), ole = Map(le, true);
    c.line = olb.line;
    c.column = olb.column;
    c.end_line = ole.line;
    c.end_column = ole.column;
    c.text = Text(lb, le);
    std::string lopen = d.mcdc ? "__qel_c(" + cs + ", " + std::to_string(index) + ", " + u + ", " +
                                     std::to_string(c.id) + ", " + g + ", !!("
                               : "QelExp(" + u + ", " + std::to_string(c.id) + ", 0, (int*)0, " +
                                     g + ", !!(";
    Insert(lb.offset, true, depth + 1, lopen);
    Insert(le.offset, false, depth + 1, "))");
    d.conditions.push_back(c);
    ++index;
    Expr(leaf, depth + 2);
  }
  map_.decisions.push_back(d);
}

void Rewriter::Expr(CXCursor e, int depth) {
  switch (Kind(e)) {
    case CXCursor_UnaryExpr:             // sizeof, _Alignof: unevaluated
    case CXCursor_GenericSelectionExpr:  // _Generic
    case CXCursor_StaticAssert:
    case CXCursor_TypeRef:
    case CXCursor_GCCAsmStmt:
      return;
    case CXCursor_BinaryOperator: {
      std::vector<CXCursor> ch = Children(e);
      if (ch.size() == 2) {
        std::string op = OperatorAfter(End(ch[0]).offset, Begin(ch[1]).offset);
        if (op == "&&" || op == "||") {
          Decision(e, "logical", depth, false);
          return;
        }
      }
      break;
    }
    case CXCursor_ConditionalOperator: {
      std::vector<CXCursor> ch = Children(e);
      if (ch.size() == 3) {
        Decision(ch[0], "ternary", depth + 1, false);
        Expr(ch[1], depth + 1);
        Expr(ch[2], depth + 1);
        return;
      }
      break;
    }
    case CXCursor_StmtExpr: {
      for (CXCursor c : Children(e)) {
        if (Kind(c) == CXCursor_CompoundStmt) Compound(c, depth + 1, 0, "stmt");
      }
      return;
    }
    default: break;
  }
  for (CXCursor c : Children(e)) Expr(c, depth + 1);
}

void Rewriter::VarDecls(CXCursor decl_stmt, int depth) {
  for (CXCursor d : Children(decl_stmt)) {
    if (Kind(d) != CXCursor_VarDecl) continue;
    CX_StorageClass sc = clang_Cursor_getStorageClass(d);
    if (sc == CX_SC_Static || sc == CX_SC_Extern) continue;  // constant initialisers
    CXCursor init = clang_Cursor_getVarDeclInitializer(d);
    if (clang_Cursor_isNull(init)) continue;
    Expr(init, depth);
  }
}

void Rewriter::Body(CXCursor s, int depth) {
  CXCursorKind k = Kind(s);
  if (k == CXCursor_CompoundStmt) {
    Compound(s, depth, 0, "branch");
    return;
  }
  if (k == CXCursor_NullStmt) return;
  unsigned end = StmtEnd(s);
  int run = 0;
  if (end == 0) {
    // No place for the closing brace: instrument the expressions only.
    run = -1;
    Stmt(s, depth, run, "branch", false);
    return;
  }
  Insert(Begin(s).offset, true, depth, "{ ");
  Insert(end, false, depth, " }");
  Stmt(s, depth + 1, run, "branch", false);
}

void Rewriter::Compound(CXCursor c, int depth, int run, const char* first_kind) {
  std::vector<CXCursor> ch = Children(c);
  const char* kind = first_kind;
  for (size_t i = 0; i < ch.size(); ++i) {
    int before = run;
    Stmt(ch[i], depth + 1, run, kind, !HasLabels(ch, i + 1));
    if (run != before || run == 0) kind = "stmt";
  }
}

void Rewriter::Stmt(CXCursor s, int depth, int& run, const char* kind, bool decl_ok) {
  std::string u = std::to_string(unit_);
  std::vector<CXCursor> labels;
  CXCursor cur = s;
  const char* new_kind = kind;
  while (true) {
    CXCursorKind k = Kind(cur);
    if (k != CXCursor_LabelStmt && k != CXCursor_CaseStmt && k != CXCursor_DefaultStmt) break;
    std::vector<CXCursor> ch = Children(cur);
    if (ch.empty()) break;
    labels.push_back(cur);
    new_kind = k == CXCursor_LabelStmt ? "label" : "case";
    cur = ch.back();
  }
  bool no_probe = run < 0;
  if (!labels.empty() && !no_probe) run = 0;
  CXCursorKind k = Kind(cur);
  bool control = k == CXCursor_IfStmt || k == CXCursor_WhileStmt || k == CXCursor_DoStmt ||
                 k == CXCursor_ForStmt || k == CXCursor_SwitchStmt;
  bool block = k == CXCursor_CompoundStmt;
  if (run == 0 && !(block && labels.empty()) && (k != CXCursor_NullStmt || !labels.empty())) {
    run = NewNode(new_kind, cur);
    std::string call = "QelNode(" + u + ", " + std::to_string(run) + ", 0)";
    if (k == CXCursor_DeclStmt && labels.empty() && decl_ok) {
      Insert(Begin(cur).offset, true, depth,
             "int __qel_n" + std::to_string(run) + " __attribute__((unused)) = " + call + "; ");
    } else {
      Insert(Begin(cur).offset, true, depth, call + "; ");
    }
  }
  int node = run > 0 ? run : 0;
  for (CXCursor l : labels) AddLine(node, l);
  std::vector<CXCursor> ch = Children(cur);
  switch (k) {
    case CXCursor_CompoundStmt:
      Compound(cur, depth + 1, 0, "stmt");
      break;
    case CXCursor_IfStmt:
      if (ch.size() >= 2) {
        AddLines(node, Begin(cur).line, End(ch[0]).line);
        Decision(ch[0], "if", depth + 1, false);
        Body(ch[1], depth + 1);
        if (ch.size() >= 3) Body(ch[2], depth + 1);
      }
      break;
    case CXCursor_WhileStmt:
      if (ch.size() == 2) {
        AddLines(node, Begin(cur).line, End(ch[0]).line);
        Decision(ch[0], "while", depth + 1, false);
        Body(ch[1], depth + 1);
      }
      break;
    case CXCursor_DoStmt:
      if (ch.size() == 2) {
        AddLine(node, cur);
        Body(ch[0], depth + 1);
        Decision(ch[1], "do", depth + 1, true);
      }
      break;
    case CXCursor_SwitchStmt:
      if (ch.size() == 2) {
        AddLines(node, Begin(cur).line, End(ch[0]).line);
        Expr(ch[0], depth + 1);
        Body(ch[1], depth + 1);
      }
      break;
    case CXCursor_ForStmt: {
      if (ch.empty()) break;
      // Which children are init, condition and increment: by the header's ';'.
      unsigned semi[2] = {0, 0};
      unsigned close = 0;
      int n = 0, level = 0;
      unsigned b = Begin(cur).offset;
      auto it = std::lower_bound(tokens_.begin(), tokens_.end(), b,
                                 [](const Token& t, unsigned off) { return t.offset < off; });
      for (; it != tokens_.end(); ++it) {
        if (it->text == "(") {
          ++level;
        } else if (it->text == ")") {
          if (--level == 0) {
            close = it->offset;
            break;
          }
        } else if (it->text == ";" && level == 1 && n < 2) {
          semi[n++] = it->offset;
        }
      }
      if (n != 2 || close == 0) break;
      AddLines(node, Begin(cur).line, tu_.ExtentOf(ch.back()).begin.line);
      for (size_t i = 0; i + 1 < ch.size(); ++i) {
        unsigned o = Begin(ch[i]).offset;
        if (o < semi[0]) {
          if (Kind(ch[i]) == CXCursor_DeclStmt) {
            VarDecls(ch[i], depth + 1);
          } else {
            Expr(ch[i], depth + 1);
          }
        } else if (o < semi[1]) {
          Decision(ch[i], "for", depth + 1, false);
        } else if (o < close) {
          Expr(ch[i], depth + 1);
        }
      }
      Body(ch.back(), depth + 1);
      break;
    }
    case CXCursor_DeclStmt:
      AddLines(node, Begin(cur).line, End(cur).line);
      VarDecls(cur, depth + 1);
      break;
    case CXCursor_NullStmt:
    case CXCursor_GCCAsmStmt:
      break;
    case CXCursor_ReturnStmt:
    case CXCursor_BreakStmt:
    case CXCursor_ContinueStmt:
    case CXCursor_GotoStmt:
    case CXCursor_IndirectGotoStmt:
      AddLines(node, Begin(cur).line, End(cur).line);
      for (CXCursor c : ch) Expr(c, depth + 1);
      if (!no_probe) run = 0;
      return;
    default:
      AddLines(node, Begin(cur).line, End(cur).line);
      if (clang_isExpression(k)) Expr(cur, depth + 1);
      break;
  }
  if ((control || block) && !no_probe) run = 0;
}

void Rewriter::Function(CXCursor fn) {
  std::vector<CXCursor> ch = Children(fn);
  if (ch.empty() || Kind(ch.back()) != CXCursor_CompoundStmt) return;
  CXCursor body = ch.back();
  fn_name_ = qel::cparse::Spelling(fn);
  fn_slots_ = 0;
  tokens_.clear();
  CXToken* toks = nullptr;
  unsigned ntoks = 0;
  clang_tokenize(tu_.raw(), clang_getCursorExtent(fn), &toks, &ntoks);
  for (unsigned i = 0; i < ntoks; ++i) {
    if (clang_getTokenKind(toks[i]) != CXToken_Punctuation) continue;
    Position p = tu_.At(clang_getTokenLocation(tu_.raw(), toks[i]));
    tokens_.push_back(Token{p.offset, qel::cparse::Str(clang_getTokenSpelling(tu_.raw(), toks[i]))});
  }
  clang_disposeTokens(tu_.raw(), toks, ntoks);

  MapFunction f;
  f.name = fn_name_;
  Position loc = tu_.At(clang_getCursorLocation(fn));
  OrigPos o = Map(loc, false);
  f.file = o.file;
  f.line = o.line;
  f.column = o.column;
  f.end_line = End(fn).line;
  int entry = NewNode("entry", body);
  f.entry_node = entry;
  AddLines(entry, loc.line, loc.line);
  AddLine(entry, body);
  map_.functions.push_back(f);

  unsigned at = Begin(body).offset + 1;
  size_t slot_insertion = ins_.size();
  Insert(at, true, 0, "");
  Insert(at, true, 1,
         " int __qel_n" + std::to_string(entry) + " __attribute__((unused)) = QelNode(" +
             std::to_string(unit_) + ", " + std::to_string(entry) + ", 0);");
  Compound(body, 2, entry, "stmt");
  if (fn_slots_ > 0) {
    ins_[slot_insertion].text = " int __qel_cs[" + std::to_string(fn_slots_) + "][2];";
  }
}

bool Rewriter::Run(std::string* out, UnitMap* map, std::string* error) {
  map_.unit = unit_;
  map_.group = group_;
  for (CXCursor c : Children(tu_.Root())) {
    if (Kind(c) != CXCursor_FunctionDecl || !clang_isCursorDefinition(c)) continue;
    if (tu_.InSystemHeader(c)) continue;
    Function(c);
  }
  if (next_node_ - 1 > kMaxNodeId || next_cond_ - 1 > kMaxCondId ||
      next_decision_ - 1 > kMaxDecisionId) {
    *error = "too many probes for one unit (" + std::to_string(next_node_ - 1) + " nodes, " +
             std::to_string(next_cond_ - 1) + " condition ids, " +
             std::to_string(next_decision_ - 1) +
             " decisions; limits 65534, 65535, 32767): split the source file";
    return false;
  }
  std::stable_sort(ins_.begin(), ins_.end(), [](const Insertion& a, const Insertion& b) {
    if (a.offset != b.offset) return a.offset < b.offset;
    if (a.phase != b.phase) return a.phase < b.phase;
    if (a.depth != b.depth) return a.depth < b.depth;
    return a.seq < b.seq;
  });
  std::string u;
  u.reserve(text_.size() + ins_.size() * 48 + 1024);
  u +=
      "int QelNode(int, int, int); int QelExp(int, int, int, int*, int, int); "
      "int* QelStringInit(int*); int QelStringAddCond(int*, int, int); "
      "static __inline__ __attribute__((unused)) int __qel_c(int* s, int i, int u, int c, int g, "
      "int v) { QelStringAddCond(s, i, v); return QelExp(u, c, 0, (int*)0, g, v); }\n";
  size_t pos = 0;
  for (const Insertion& in : ins_) {
    if (in.offset > text_.size()) continue;
    u.append(text_, pos, in.offset - pos);
    u += in.text;
    pos = in.offset;
  }
  u.append(text_, pos, std::string::npos);
  *out = std::move(u);
  *map = std::move(map_);
  return true;
}

}  // namespace

InstrumentResult Instrument(const std::string& ipath, const std::string& itext,
                            const std::string& cwd, const std::vector<std::string>& args,
                            int unit, int group) {
  InstrumentResult r;
  qel::cparse::ParseOptions opts;
  opts.preprocessed = true;
  opts.args = args;
  std::string err;
  std::unique_ptr<TranslationUnit> tu = TranslationUnit::Parse(ipath, opts, &err, &itext);
  if (!tu) {
    r.error = err;
    return r;
  }
  std::vector<qel::cparse::Diagnostic> diags = tu->Diagnostics();
  if (!diags.empty()) {
    r.error = "libclang cannot parse it: " + diags[0].Format();
    if (diags.size() > 1) r.error += " (and " + std::to_string(diags.size() - 1) + " more)";
    return r;
  }
  Rewriter rw(*tu, itext, cwd, unit, group);
  r.ok = rw.Run(&r.text, &r.map, &r.error);
  return r;
}

}  // namespace qelcc
