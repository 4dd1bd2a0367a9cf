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
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <unordered_map>

#include "cparse.h"
#include "line_align.h"
#include "probe_text.h"
#include "qelmq/protocol/counter_paths.h"
#include "qelmq/protocol/probe_decls.h"

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
  unsigned replaces = 0;  // bytes of the original text it takes the place of
};

struct Token {
  unsigned offset;
  std::string text;
};

struct OrigPos {
  int file = 0;
  unsigned line = 0, column = 0;
  bool exact = false;  // column is the original's
  bool macro = false;  // inside a macro expansion: column of the invocation
  bool whole = false;  // at the expansion's first (begin) or last (end) character
};

// One line of the preprocessed text; `group` joins the pieces of one
// original line that line markers split.
struct PhysLine {
  unsigned begin = 0, end = 0;
  unsigned line = 0;
  int file = -1;  // index into Rewriter::marker_files_
  bool marker = false, sys = false;
  bool in_comment = false;  // starts inside a block comment (kept by -C)
  int group = -1;
};

struct Group {
  // Its physical lines: those between the first and the last that are no
  // line markers (a group ends at the first line of another).
  size_t first = 0, last = 0;
  bool aligned = false;
  LinePositions chars;  // by offset in the preprocessed text
};

// Text that a node stands for: its lines are settled when the function is
// done, since only then are the regions inside it known.
struct Span {
  int node;
  unsigned begin, end;  // offsets in the preprocessed text
};

// Code inside a statement that may not run when the statement runs: a `?:`
// arm, or a condition after the first of its decision (short-circuit). A
// line whose only code lies in such regions follows them, not the statement.
struct Region {
  unsigned begin, end;
  int node;     // 0 until a line needs it (conditions)
  size_t slot;  // the insertion that passes the node, filled when it is made
  Position at;
};

// A statement with the labels in front of it peeled off.
struct Labelled {
  std::vector<CXCursor> labels;
  CXCursor stmt;
  const char* kind = nullptr;  // "case" or "label" when labelled
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

// An optimize attribute (`optimize(`, `__optimize__(`) or pragma
// (`#pragma GCC optimize`) anywhere in the text. The text keeps comments,
// which may say "optimize" in passing; one that reads like either form only
// costs the unit the increments' cheaper form.
bool AsksForOptimisation(const std::string& text) {
  for (size_t at = text.find("optimize"); at != std::string::npos;
       at = text.find("optimize", at + 1)) {
    size_t after = at + 8;
    if (text.compare(after, 2, "__") == 0) after += 2;
    while (after < text.size() && IsSpace(text[after])) ++after;
    if (after < text.size() && text[after] == '(') return true;
    const size_t line = text.rfind('\n', at);
    const std::string before = text.substr(line == std::string::npos ? 0 : line + 1,
                                           at - (line == std::string::npos ? 0 : line + 1));
    if (before.find("pragma") != std::string::npos && before.find("GCC") != std::string::npos)
      return true;
  }
  return false;
}

class Rewriter {
 public:
  Rewriter(const TranslationUnit& tu, const std::string& text, const std::string& cwd, int unit,
           int group, const InstrumentOptions& options)
      : tu_(tu),
        text_(text),
        cwd_(cwd),
        unit_(unit),
        group_(group),
        values_(options.values),
        memory_(options.memory),
        options_(options),
        probe_(unit, group, options.counters) {
    CounterTarget target = options.target;
    // Functions that ask for more than the command line's -O0 need the
    // increments kept in order.
    if (target.unoptimized && AsksForOptimisation(text)) target.unoptimized = false;
    probe_.UseTarget(target);
  }

  bool Run(InstrumentResult* result);

 private:
  CXCursorKind Kind(CXCursor c) const { return clang_getCursorKind(c); }
  // The walk asks for the same cursor's ends several times (its parent, the
  // statement itself, the node or decision it makes), and libclang computes
  // an expression's extent anew on every call: both ends are kept per cursor.
  struct Place {
    CXSourceRange range;
    Position begin, end;
    std::vector<CXCursor> children;
    bool has_range = false, has_begin = false, has_end = false, has_children = false;
  };
  struct CursorHash {
    size_t operator()(const CXCursor& c) const {
      size_t h = std::hash<const void*>()(c.data[0]);
      h ^= std::hash<const void*>()(c.data[1]) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
      return h ^ (static_cast<size_t>(c.kind) << 1);
    }
  };
  struct CursorEq {
    bool operator()(const CXCursor& a, const CXCursor& b) const {
      return a.kind == b.kind && a.xdata == b.xdata && a.data[0] == b.data[0] &&
             a.data[1] == b.data[1] && a.data[2] == b.data[2];
    }
  };
  Place& PlaceOf(CXCursor c) const { return places_[c]; }
  const CXSourceRange& Range(Place& p, CXCursor c) const {
    if (!p.has_range) {
      p.range = clang_getCursorExtent(c);
      p.has_range = true;
    }
    return p.range;
  }
  // Valid until the next function starts.
  const std::vector<CXCursor>& ChildrenOf(CXCursor c) const {
    Place& p = PlaceOf(c);
    if (!p.has_children) {
      p.children = Children(c);
      p.has_children = true;
    }
    return p.children;
  }
  const Position& Begin(CXCursor c) const {
    Place& p = PlaceOf(c);
    if (!p.has_begin) {
      p.begin = tu_.At(clang_getRangeStart(Range(p, c)));
      p.has_begin = true;
    }
    return p.begin;
  }
  const Position& End(CXCursor c) const {
    Place& p = PlaceOf(c);
    if (!p.has_end) {
      p.end = tu_.At(clang_getRangeEnd(Range(p, c)));
      p.has_end = true;
    }
    return p.end;
  }
  Position At(unsigned offset) const {
    CXFile f = clang_getFile(tu_.raw(), tu_.path().c_str());
    return tu_.At(clang_getLocationForOffset(tu_.raw(), f, offset));
  }

  size_t Insert(unsigned offset, bool open, int depth, const std::string& text) {
    ins_.push_back(Insertion{offset, open ? 1 : 0, open ? depth : -depth,
                             static_cast<int>(ins_.size()), text});
    return ins_.size() - 1;
  }

  // Functions and statements.
  void Function(CXCursor fn);
  void Tokens(CXCursor fn);
  void Compound(CXCursor c, int depth, int run, const char* first_kind);
  void Stmt(CXCursor s, int depth, int& run, const char* kind, bool decl_ok);
  Labelled PeelLabels(CXCursor s) const;
  int RunNode(const Labelled& l, int depth, int run, const char* kind, bool decl_ok);
  // The statement's own lines and expressions; true when it ends the
  // straight-line run.
  bool StmtParts(CXCursor cur, int node, int depth);
  // Returns the index into counted_ of the loop's condition, or -1.
  int ForParts(CXCursor cur, const std::vector<CXCursor>& ch, int node, int depth);
  void Body(CXCursor s, int depth);
  void BodyParts(CXCursor s, int depth);
  // A branch of the decision counted_[counted] (or of none: -1), taken when
  // it is `outcome`.
  void BranchBody(CXCursor s, int depth, int counted, bool outcome);
  void CompletesWhenFalse(CXCursor stmt, int counted) {
    if (counted < 0) return;
    completes_.stmt = stmt;
    completes_.counted = counted;
  }
  void VarDecls(CXCursor decl_stmt, int depth);

  // Expressions and decisions.
  void Expr(CXCursor e, int depth);
  // Wraps a decision; false when it is no decision (constant, or already
  // wrapped). `arms`: a `?:` whose two arms (arms[0], arms[1]) get nodes.
  // `in_arms`: an `if` that can count its outcome at the start of each arm;
  // a decision counted by paths leaves its increments there for the caller
  // to place (it stays empty when the decision is counted in place).
  struct ArmIncrements {
    std::string taken, not_taken;
  };
  bool Decision(CXCursor e, const char* kind, int depth, bool with_node,
                const CXCursor* arms = nullptr, ArmIncrements* in_arms = nullptr);
  // An `if` whose branches can be wrapped in braces: their ends are known.
  bool BranchesWrappable(const std::vector<CXCursor>& if_parts);
  bool GnuTernary(CXCursor e, CXCursor cond, CXCursor rhs, int depth);
  MapDecision NewDecision(CXCursor e, const char* kind);
  // Each leaf wrapped in place: with the string `cs` (events), or, given a
  // path plan, adding its false edge's increment to path index `slot`.
  struct PathPlan {
    std::vector<unsigned char> next;  // 2 per leaf
    std::vector<unsigned> increment;  // per leaf, on its false edge
    unsigned paths = 0;
  };
  void WrapLeaves(MapDecision* d, const std::vector<CXCursor>& leaves,
                  const std::vector<CXCursor>& wrapped, const std::string& cs, int depth,
                  const PathPlan* plan = nullptr, int slot = 0);
  // The decision's evaluation graph from its && || ! structure, numbered by
  // paths; false when it has too many paths (or conditions) to be counted
  // by paths, or the unit is not counted.
  bool PlanPaths(CXCursor e, size_t leaves, PathPlan* plan);
  // Registers a decision counted by paths; returns the index of its first
  // counter past the nodes'.
  unsigned CountByPaths(const MapDecision& d, const PathPlan& plan, int true_node, int false_node);
  void ExecCall(CXCursor call);
  MapCondition NewCondition(CXCursor leaf, CXCursor wrapped, int index);
  // The leaf conditions of a decision; `wrapped` gets each leaf with the
  // parentheses around it (a macro's expansion often starts with them).
  void Leaves(CXCursor e, std::vector<CXCursor>* out, std::vector<CXCursor>* wrapped,
              const CXCursor* wrap = nullptr);
  bool IsBinaryConditional(CXCursor e, const std::vector<CXCursor>& ch) const;
  bool IsBitField(CXCursor e) const;
  std::string ValueProbes(CXCursor fn);
  void MemoryCall(CXCursor call);

  unsigned StmtEnd(CXCursor s);
  unsigned AfterSemicolon(unsigned off) const;
  std::string OperatorAfter(unsigned from, unsigned to) const;
  bool Constant(CXCursor e) const;
  bool HasLabels(const std::vector<CXCursor>& v, size_t from, size_t to) const;
  // True when no run through the statement completes it normally: each one
  // leaves by return, goto, break or continue.
  bool NeverCompletes(CXCursor s) const;
  // True when a break appears anywhere in the statement.
  bool HasBreak(CXCursor s) const;
  CXCursor Skip(CXCursor e) const;

  // Nodes and the lines they stand for.
  int NewNode(const char* kind, const Position& at);
  int NewNode(const char* kind, CXCursor at) { return NewNode(kind, Begin(at)); }
  int NodeFile(int node) const { return map_.nodes[static_cast<size_t>(node - 1)].file; }
  // The node stands for the code of [b, e): its lines in the node's file.
  void AddSpan(int node, const Position& b, const Position& e);
  void AddRegion(unsigned begin, unsigned end, int node, size_t slot, const Position& at);
  int RegionNode(Region& r);
  // Settles the lines of the function's multi-line spans.
  void ResolveSpans();
  void ResolveSpan(const Span& span);

  // Positions in the original sources.
  OrigPos Map(const Position& p, bool end);
  // A range that the preprocessed text runs across a file boundary ends on
  // its first line.
  void OneFile(OrigPos* b, OrigPos* e);
  template <typename T>
  void SetRange(T* x, OrigPos b, OrigPos e) {
    OneFile(&b, &e);
    x->line = b.line;
    x->column = b.column;
    x->end_line = e.line;
    x->end_column = e.column;
  }
  void IndexLines();
  // What goes before the original text at `*from`, which inserted text has
  // moved to the right, so that it keeps its line and column: empty when
  // nothing but blanks follows on the line up to `to`. May move `*from`
  // past blanks.
  std::string LineBreak(unsigned* from, unsigned to);
  void AlignGroup(Group& g, const std::string& oline, const std::vector<unsigned>& cols);
  // The code columns of line `index` (0-based) of an original source.
  const std::vector<unsigned>& CodeLine(const std::string& path, size_t index);
  int FileId(const std::string& path);
  int PhysFileId(int marker_file);
  // The original text of a range; inside a macro expansion the invocation's
  // text when `macro_invocation`, else the expanded text.
  std::string Text(const Position& b, const Position& e, bool macro_invocation);
  const std::vector<std::string>* Source(const std::string& path);

  const TranslationUnit& tu_;
  const std::string& text_;
  std::string cwd_;
  int unit_, group_;
  bool values_, memory_;
  InstrumentOptions options_;
  ProbeText probe_;
  std::vector<Insertion> ins_;
  mutable std::unordered_map<CXCursor, Place, CursorHash, CursorEq> places_;  // of this function
  std::vector<Token> tokens_;              // punctuation of the current function
  std::map<unsigned, std::string> words_;  // its __builtin_ names, by offset
  std::vector<unsigned> sig_;              // its identifiers, keywords and literals
  std::vector<Span> spans_;                // its multi-line spans
  std::vector<Region> regions_;            // its regions
  UnitMap map_;
  std::map<std::string, int> file_ids_;      // by normalised path
  std::map<std::string, int> raw_file_ids_;  // by the path as the markers spell it
  std::map<std::string, std::unique_ptr<std::vector<std::string>>> sources_;
  // Code columns of the original sources' lines, made for the lines asked
  // for; the comment state at each line's start is known for all.
  struct SourceCode {
    std::vector<unsigned char> in_comment, done;
    std::vector<std::vector<unsigned>> cols;
  };
  std::map<std::string, SourceCode> code_;  // by path
  struct {
    bool valid = false;
    std::string name;  // as the position names it
    int file = 0;
    const std::vector<std::string>* src = nullptr;
  } map_last_;  // Map's last file
  std::vector<PhysLine> phys_;
  std::vector<std::string> marker_files_;  // the files line markers name
  std::map<int, int> marker_file_ids_;     // marker file -> map file id
  std::vector<Group> groups_;
  std::string fn_name_;
  int fn_slots_ = 0;
  int fn_paths_ = 0;                      // path indices of the current function
  std::vector<CounterDecision> counted_;  // decisions counted by paths
  unsigned next_path_ = 0;                // their counters, past the nodes'
  bool events_ = false;                   // some decision calls the event probes
  bool exec_calls_ = false;               // some call of the exec family was routed
  // The decision (index into counted_) that the last Decision() counted by
  // paths, or -1.
  int last_counted_ = -1;
  // Set just before a branch body whose first node runs exactly when a
  // decision counted by paths took that branch: the node is counted by the
  // decision's outcome instead of a counter of its own.
  struct Derived {
    int counted = -1;
    bool outcome = false;
    bool next = false;  // for the statement after the decision's, not its branch's
  };
  Derived derive_;
  // Set by the statement just rewritten when the only way to complete it
  // normally is its decision's false outcome (an if without else whose
  // branch always leaves; a loop without break): the statement after it, in
  // the same block and without labels, is counted by that outcome.
  struct Completes {
    CXCursor stmt{};
    int counted = -1;
  };
  Completes completes_;
  int next_node_ = 1, next_cond_ = 1, next_decision_ = 1;
  std::set<std::pair<unsigned, unsigned>> decided_;  // decisions already wrapped
};

int Rewriter::FileId(const std::string& path) {
  auto raw = raw_file_ids_.find(path);
  if (raw != raw_file_ids_.end()) return raw->second;
  std::string norm = NormalPath(path, cwd_);
  auto it = file_ids_.find(norm);
  if (it != file_ids_.end()) return raw_file_ids_[path] = it->second;
  int id = static_cast<int>(map_.files.size());
  map_.files.push_back(norm);
  file_ids_[norm] = id;
  raw_file_ids_[path] = id;
  return id;
}

int Rewriter::PhysFileId(int marker_file) {
  if (marker_file < 0) return -1;
  auto it = marker_file_ids_.find(marker_file);
  if (it != marker_file_ids_.end()) return it->second;
  int id = FileId(marker_files_[static_cast<size_t>(marker_file)]);
  marker_file_ids_[marker_file] = id;
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

// Where each character of the preprocessed text comes from in its original
// line. GCC writes one original line as several .i lines when a macro of a
// system header is expanded on it: the expansion goes between line markers
// with the system-header flag, and the rest of the line resumes after a plain
// marker for the same line (a macro argument written by the user resumes the
// same way, inside the expansion). Those pieces, joined, form one logical
// line; its characters are matched with the original line's code characters
// (no white space, no comments) from the front, a system piece standing for
// one macro invocation there, and, where a user macro was expanded inline,
// from the back as well. What stays unmatched lies inside a macro expansion.
void Rewriter::IndexLines() {
  if (!phys_.empty() || text_.empty()) return;
  std::string file;
  unsigned line = 0;
  bool sys = false;
  int group = -1;
  std::string last_file;
  bool new_file = false;  // file != last_file, compared only where either changes
  unsigned last_line = 0;
  bool marker_since = false, comment = false;
  // About one line in 40 bytes: no count of the lines before the pass.
  phys_.reserve(text_.size() / 40 + 16);
  for (size_t at = 0; at < text_.size();) {
    size_t e = text_.find('\n', at);
    if (e == std::string::npos) e = text_.size();
    PhysLine pl;
    pl.begin = static_cast<unsigned>(at);
    pl.end = static_cast<unsigned>(e);
    pl.in_comment = comment;
    CodeColumns(text_.data() + at, e - at, &comment, nullptr);
    size_t q = at;
    if (q < e && text_[q] == '#') {
      ++q;
      while (q < e && IsSpace(text_[q])) ++q;
      size_t d = q;
      while (q < e && isdigit(static_cast<unsigned char>(text_[q]))) ++q;
      size_t after = q;
      while (q < e && IsSpace(text_[q])) ++q;
      if (q > d && after > d && (q == e || text_[q] == '"')) {
        pl.marker = true;
        line = static_cast<unsigned>(std::stoul(text_.substr(d, after - d)));
        if (q < e) {
          size_t close = q + 1;
          std::string name;
          while (close < e && text_[close] != '"') {
            if (text_[close] == '\\' && close + 1 < e) ++close;
            name += text_[close++];
          }
          file = name;
          new_file = file != last_file;
          if (marker_files_.empty() || marker_files_.back() != name) marker_files_.push_back(name);
          std::string flags = close < e ? text_.substr(close + 1, e - close - 1) : "";
          sys = (" " + flags + " ").find(" 3 ") != std::string::npos;
        }
        marker_since = true;
      }
    }
    if (!pl.marker) {
      pl.line = line;
      pl.sys = sys;
      pl.file = static_cast<int>(marker_files_.size()) - 1;
      if (group < 0 || !marker_since || new_file || line != last_line) {
        groups_.emplace_back();
        groups_.back().first = phys_.size();
        group = static_cast<int>(groups_.size()) - 1;
      }
      pl.group = group;
      groups_[static_cast<size_t>(group)].last = phys_.size();
      if (new_file) {
        last_file = file;
        new_file = false;
      }
      last_line = line;
      marker_since = false;
      ++line;
    }
    phys_.push_back(pl);
    at = e + 1;
  }
}

namespace {

// Two characters that may belong to one token: neither is white space nor
// a punctuator that never joins another.
bool Glued(char a, char b) {
  auto apart = [](char c) { return IsSpace(c) || c == '\n' || std::strchr("(){}[];,", c); };
  return !apart(a) && !apart(b);
}

// The white space that puts the next character at byte `n` of `line`: the
// compilers count a column in bytes (gcc then turns it into a display
// column with the line it reads from the user's file), and a tab stays a
// tab for any that count it to the next tab stop.
void Indent(const char* line, size_t n, std::string* out) {
  for (size_t i = 0; i < n; ++i) *out += line[i] == '\t' ? '\t' : ' ';
}

}  // namespace

// The compilers name a diagnostic's column (and -g records each statement's)
// in the text they compile. Inserted text would move the user's code to the
// right, so what follows it on the line resumes on a line of its own, given
// the original line number by a line marker and indented to its column: the
// original's where the line's alignment knows it, else the preprocessed
// text's. The marker keeps the system-header flag of the piece it resumes.
std::string Rewriter::LineBreak(unsigned* from, unsigned to) {
  unsigned i = *from;
  while (i < to && IsSpace(text_[i])) ++i;
  if (i >= to || text_[i] == '\n') return "";
  IndexLines();
  auto pl = std::upper_bound(phys_.begin(), phys_.end(), *from,
                             [](unsigned off, const PhysLine& l) { return off < l.begin; });
  if (pl == phys_.begin()) return "";
  --pl;
  if (pl->marker || pl->file < 0 || pl->line == 0) return "";
  const std::string& name = marker_files_[static_cast<size_t>(pl->file)];
  std::string out = "\n# " + std::to_string(pl->line) + " \"";
  for (char c : name) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += pl->sys ? "\" 3\n" : "\"\n";
  if (pl->group >= 0) {
    const Group& g = groups_[static_cast<size_t>(pl->group)];
    auto id = raw_file_ids_.find(name);
    if (g.aligned && id != raw_file_ids_.end()) {
      auto c = std::lower_bound(g.chars.begin(), g.chars.end(), i,
                                [](const auto& ch, unsigned off) { return ch.first < off; });
      const std::vector<std::string>* src = Source(map_.files[static_cast<size_t>(id->second)]);
      if (c != g.chars.end() && c->first == i && c->second.exact && !c->second.macro && src &&
          pl->line <= src->size()) {
        const std::string& oline = (*src)[pl->line - 1];
        if (c->second.begin <= oline.size()) {
          Indent(oline.data(), c->second.begin, &out);
          *from = i;
          return out;
        }
      }
    }
  }
  Indent(text_.data() + pl->begin, *from - pl->begin, &out);
  return out;
}

const std::vector<unsigned>& Rewriter::CodeLine(const std::string& path, size_t index) {
  static const std::vector<unsigned> kNone;
  auto it = code_.find(path);
  if (it == code_.end()) {
    SourceCode& code = code_[path];
    if (const std::vector<std::string>* src = Source(path)) {
      bool comment = false;
      code.in_comment.reserve(src->size());
      for (const std::string& l : *src) {
        code.in_comment.push_back(comment);
        CodeColumns(l.data(), l.size(), &comment, nullptr);
      }
      code.done.resize(src->size());
      code.cols.resize(src->size());
    }
    it = code_.find(path);
  }
  SourceCode& code = it->second;
  if (index >= code.cols.size()) return kNone;
  if (!code.done[index]) {
    const std::string& l = (*Source(path))[index];
    bool comment = code.in_comment[index] != 0;
    CodeColumns(l.data(), l.size(), &comment, &code.cols[index]);
    code.done[index] = 1;
  }
  return code.cols[index];
}

void Rewriter::AlignGroup(Group& g, const std::string& oline, const std::vector<unsigned>& cols) {
  g.aligned = true;
  std::vector<Piece> pieces;
  for (size_t li = g.first; li <= g.last; ++li) {
    const PhysLine& pl = phys_[li];
    if (pl.marker) continue;
    Piece piece;
    piece.sys = pl.sys;
    bool comment = pl.in_comment;
    CodeColumns(text_.data() + pl.begin, pl.end - pl.begin, &comment, &piece.offsets);
    for (unsigned& off : piece.offsets) off += pl.begin;
    pieces.push_back(std::move(piece));
  }
  g.chars = AlignLine(text_, pieces, oline, cols);
}

OrigPos Rewriter::Map(const Position& p, bool end) {
  OrigPos o;
  // Most positions asked in a row are in the same file.
  if (!map_last_.valid || map_last_.name != p.file) {
    map_last_.file = FileId(p.file);
    map_last_.name = p.file;
    map_last_.src = Source(map_.files[static_cast<size_t>(map_last_.file)]);
    map_last_.valid = true;
  }
  o.file = map_last_.file;
  o.line = p.line;
  o.column = p.column;
  const std::string& path = map_.files[static_cast<size_t>(o.file)];
  const std::vector<std::string>* src = map_last_.src;
  if (!src || p.line == 0 || p.line > src->size()) return o;
  const std::string& oline = (*src)[p.line - 1];
  // Never a column past the line, whatever happens below.
  o.column = std::min<unsigned>(o.column, static_cast<unsigned>(oline.size()) + (end ? 1 : 0));
  if (o.column == 0) o.column = 1;
  IndexLines();
  if (phys_.empty() || (end && p.offset == 0)) return o;
  unsigned target = end ? p.offset - 1 : p.offset;
  auto pl = std::upper_bound(phys_.begin(), phys_.end(), target,
                             [](unsigned off, const PhysLine& l) { return off < l.begin; });
  if (pl == phys_.begin()) return o;
  --pl;
  if (pl->marker || pl->group < 0) return o;
  Group& g = groups_[static_cast<size_t>(pl->group)];
  if (!g.aligned) AlignGroup(g, oline, CodeLine(path, p.line - 1));
  if (g.chars.empty()) return o;
  auto it = g.chars.end();
  if (end) {
    it = std::upper_bound(g.chars.begin(), g.chars.end(), target,
                          [](unsigned off, const auto& c) { return off < c.first; });
    if (it == g.chars.begin()) return o;
    --it;
  } else {
    it = std::lower_bound(g.chars.begin(), g.chars.end(), target,
                          [](const auto& c, unsigned off) { return c.first < off; });
    if (it == g.chars.end()) return o;
  }
  const CharPos& c = it->second;
  o.column = (end ? c.end : c.begin) + 1;
  o.exact = c.exact;
  o.macro = c.macro;
  o.whole = end ? c.last : c.first;
  return o;
}

std::string Rewriter::Text(const Position& b, const Position& e, bool macro_invocation) {
  OrigPos ob = Map(b, false), oe = Map(e, true);
  // A range that starts or ends inside an expansion reads as the user wrote
  // it only if it takes in the whole expansion (a condition that is a macro).
  bool original = ob.exact && oe.exact && ob.file == oe.file && ob.line <= oe.line &&
                  (macro_invocation || ((!ob.macro || ob.whole) && (!oe.macro || oe.whole)));
  const std::vector<std::string>* src = Source(map_.files[static_cast<size_t>(ob.file)]);
  if (original && src && oe.line <= src->size()) {
    std::string out;
    bool ok = true;
    for (unsigned l = ob.line; l <= oe.line; ++l) {
      const std::string& line = (*src)[l - 1];
      size_t from = l == ob.line ? ob.column - 1 : 0;
      size_t to = l == oe.line ? oe.column - 1 : line.size();
      if (l != oe.line) {  // without a comment that ends the line
        const std::vector<unsigned>& code =
            CodeLine(map_.files[static_cast<size_t>(ob.file)], l - 1);
        size_t last = code.empty() ? from : code.back() + 1;
        to = std::max(from, std::min(to, last));
      }
      if (from > line.size() || to > line.size() || from > to) {
        ok = false;
        break;
      }
      if (l != ob.line) out += "\n";
      out += line.substr(from, to - from);
    }
    if (ok) return out;
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

int Rewriter::NewNode(const char* kind, const Position& at) {
  MapNode n;
  n.id = next_node_++;
  OrigPos o = Map(at, false);
  n.file = o.file;
  n.line = o.line;
  n.column = o.column;
  n.function = fn_name_;
  n.kind = kind;
  map_.nodes.push_back(std::move(n));
  return map_.nodes.back().id;
}

void Rewriter::AddSpan(int node, const Position& b, const Position& e) {
  if (node <= 0 || !b.valid || b.line == 0) return;
  if (!e.valid || e.offset <= b.offset || (b.line == e.line && b.file == e.file)) {
    if (FileId(b.file) == NodeFile(node))
      map_.nodes[static_cast<size_t>(node - 1)].lines.insert(b.line);
    return;
  }
  spans_.push_back(Span{node, b.offset, e.offset});
}

void Rewriter::AddRegion(unsigned begin, unsigned end, int node, size_t slot, const Position& at) {
  if (end > begin) regions_.push_back(Region{begin, end, node, slot, at});
}

int Rewriter::RegionNode(Region& r) {
  if (r.node == 0) {
    r.node = NewNode("condition", r.at);
    ins_[r.slot].text = probe_.NodeInExpression(r.node);
  }
  return r.node;
}

void Rewriter::ResolveSpans() {
  for (const Span& s : spans_) ResolveSpan(s);
  spans_.clear();
  regions_.clear();
}

// Each line of the span in the node's file goes to the node, unless every
// identifier, keyword and literal on it (within the span) lies in regions:
// then to the outermost of those regions, each of which gets a node if it
// has none. Lines of other files (a #line inside the statement) are not the
// node's. Lines without such tokens (blank, comment, punctuation) stay the
// node's, as do all lines of a single-line span.
void Rewriter::ResolveSpan(const Span& span) {
  IndexLines();
  const int file = NodeFile(span.node);
  std::vector<size_t> inside;  // the regions within the span
  for (size_t r = 0; r < regions_.size(); ++r) {
    if (regions_[r].begin >= span.begin && regions_[r].end <= span.end) inside.push_back(r);
  }
  struct LineOwners {
    bool node = false;
    std::set<size_t> regions;
  };
  std::map<unsigned, LineOwners> lines;
  auto pl = std::upper_bound(phys_.begin(), phys_.end(), span.begin,
                             [](unsigned off, const PhysLine& l) { return off < l.begin; });
  if (pl != phys_.begin()) --pl;
  for (; pl != phys_.end() && pl->begin < span.end; ++pl) {
    if (pl->marker || PhysFileId(pl->file) != file) continue;
    LineOwners& owners = lines[pl->line];
    const unsigned lo = std::max(pl->begin, span.begin), hi = std::min(pl->end, span.end);
    auto t = std::lower_bound(sig_.begin(), sig_.end(), lo);
    if (t == sig_.end() || *t >= hi) {
      owners.node = true;
      continue;
    }
    for (; t != sig_.end() && *t < hi; ++t) {
      size_t best = regions_.size();
      for (size_t r : inside) {
        const Region& g = regions_[r];
        if (g.begin <= *t && *t < g.end &&
            (best == regions_.size() ||
             g.end - g.begin <= regions_[best].end - regions_[best].begin)) {
          best = r;
        }
      }
      if (best == regions_.size()) {
        owners.node = true;
      } else {
        owners.regions.insert(best);
      }
    }
  }
  for (auto& [line, owners] : lines) {
    std::vector<int> nodes;
    if (!owners.node) {
      for (size_t r : owners.regions) {
        // A region inside another region of this line runs only when that
        // one does, which stands for the line then.
        bool outermost = true;
        for (size_t o : owners.regions) {
          const Region &a = regions_[r], &b = regions_[o];
          if (o != r && b.begin <= a.begin && a.end <= b.end &&
              (b.end - b.begin > a.end - a.begin || o < r)) {
            outermost = false;
          }
        }
        if (!outermost) continue;
        int n = RegionNode(regions_[r]);
        nodes.push_back(NodeFile(n) == file ? n : span.node);
      }
    }
    if (nodes.empty()) nodes.push_back(span.node);
    for (int n : nodes) map_.nodes[static_cast<size_t>(n - 1)].lines.insert(line);
  }
}

void Rewriter::OneFile(OrigPos* b, OrigPos* e) {
  if (b->file == e->file) return;
  e->file = b->file;
  e->line = b->line;
  const std::vector<std::string>* src = Source(map_.files[static_cast<size_t>(b->file)]);
  e->column = src && b->line >= 1 && b->line <= src->size()
                  ? static_cast<unsigned>((*src)[b->line - 1].size()) + 1
                  : b->column + 1;
  e->exact = false;
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
      off = e == std::string::npos ? static_cast<unsigned>(text_.size())
                                   : static_cast<unsigned>(e + 2);
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
    case CXCursor_CompoundStmt:
      return End(s).offset;
    case CXCursor_IfStmt:
    case CXCursor_WhileStmt:
    case CXCursor_ForStmt:
    case CXCursor_SwitchStmt:
    case CXCursor_LabelStmt:
    case CXCursor_CaseStmt:
    case CXCursor_DefaultStmt: {
      const std::vector<CXCursor>& ch = ChildrenOf(s);
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
    const std::vector<CXCursor>& ch = ChildrenOf(e);
    if (ch.size() != 1) break;
    if (Begin(e).offset != Begin(ch[0]).offset || End(e).offset != End(ch[0]).offset) break;
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

// True when a jump could land in v[from, to), past a declaration inserted
// before it: a goto label anywhere, or a case label of the
// block's own switch (not of a switch nested inside it).
bool Rewriter::HasLabels(const std::vector<CXCursor>& v, size_t from, size_t to) const {
  std::vector<std::pair<CXCursor, bool>> stack;  // cursor, inside a nested switch
  for (size_t i = from; i < to; ++i) stack.emplace_back(v[i], false);
  while (!stack.empty()) {
    CXCursor c = stack.back().first;
    bool nested = stack.back().second;
    stack.pop_back();
    CXCursorKind k = Kind(c);
    if (k == CXCursor_LabelStmt) return true;
    if ((k == CXCursor_CaseStmt || k == CXCursor_DefaultStmt) && !nested) return true;
    if (!clang_isStatement(k)) continue;
    bool inner = nested || k == CXCursor_SwitchStmt;
    for (CXCursor ch : ChildrenOf(c)) stack.emplace_back(ch, inner);
  }
  return false;
}

bool Rewriter::BranchesWrappable(const std::vector<CXCursor>& if_parts) {
  for (size_t i = 1; i < if_parts.size() && i < 3; ++i) {
    // `if (c);` keeps its empty body, and with it gcc's -Wempty-body.
    if (Kind(if_parts[i]) == CXCursor_NullStmt) return false;
    const Position& b = Begin(if_parts[i]);
    const unsigned end = StmtEnd(if_parts[i]);
    if (!b.valid || end == 0 || end <= b.offset) return false;
  }
  return if_parts.size() >= 2;
}

bool Rewriter::NeverCompletes(CXCursor s) const {
  const Labelled l = PeelLabels(s);
  const std::vector<CXCursor>& ch = ChildrenOf(l.stmt);
  switch (Kind(l.stmt)) {
    case CXCursor_ReturnStmt:
    case CXCursor_GotoStmt:
    case CXCursor_IndirectGotoStmt:
    case CXCursor_BreakStmt:
    case CXCursor_ContinueStmt:
      return true;
    case CXCursor_CompoundStmt:
      // A jump into the block lands on a label, which the last statement
      // carries or precedes: every run still ends at the last statement.
      return !ch.empty() && NeverCompletes(ch.back());
    case CXCursor_IfStmt:
      return ch.size() == 3 && NeverCompletes(ch[1]) && NeverCompletes(ch[2]);
    default:
      return false;  // a call that never returns is not known here
  }
}

bool Rewriter::HasBreak(CXCursor s) const {
  // Any break, even one of a nested loop or switch, or one in a statement
  // expression: the loop is then left as it was counted before.
  std::vector<CXCursor> stack = ChildrenOf(s);
  while (!stack.empty()) {
    CXCursor c = stack.back();
    stack.pop_back();
    if (Kind(c) == CXCursor_BreakStmt) return true;
    for (CXCursor ch : ChildrenOf(c)) stack.push_back(ch);
  }
  return false;
}

void Rewriter::Leaves(CXCursor e, std::vector<CXCursor>* out, std::vector<CXCursor>* wrapped,
                      const CXCursor* wrap) {
  CXCursor s = Skip(e);
  CXCursorKind k = Kind(s);
  const std::vector<CXCursor>& ch = ChildrenOf(s);
  if (k == CXCursor_ParenExpr && ch.size() == 1)
    return Leaves(ch[0], out, wrapped, wrap ? wrap : &s);
  if (k == CXCursor_UnaryOperator && ch.size() == 1) {
    unsigned b = Begin(s).offset;
    if (OperatorAfter(b, b + 1) == "!") return Leaves(ch[0], out, wrapped);
  }
  if (k == CXCursor_BinaryOperator && ch.size() == 2) {
    std::string op = OperatorAfter(End(ch[0]).offset, Begin(ch[1]).offset);
    if (op == "&&" || op == "||") {
      Leaves(ch[0], out, wrapped);
      Leaves(ch[1], out, wrapped);
      return;
    }
  }
  out->push_back(s);
  wrapped->push_back(wrap ? *wrap : s);
}

MapDecision Rewriter::NewDecision(CXCursor e, const char* kind) {
  const Position &b = Begin(e), &en = End(e);
  MapDecision d;
  d.id = next_decision_++;
  d.cond_id = next_cond_++;
  d.kind = kind;
  d.function = fn_name_;
  OrigPos ob = Map(b, false), oe = Map(en, true);
  d.file = ob.file;
  SetRange(&d, ob, oe);
  d.text = Text(b, en, true);
  return d;
}

MapCondition Rewriter::NewCondition(CXCursor leaf, CXCursor wrapped, int index) {
  const Position &lb = Begin(leaf), &le = End(leaf);
  MapCondition c;
  c.id = next_cond_++;
  c.index = index;
  OrigPos olb = Map(lb, false), ole = Map(le, true);
  Position tb = lb, te = le;
  // A condition that is a whole macro whose expansion is parenthesised
  // (`isdigit(c)`): its place and text are the invocation's.
  const Position &wb = Begin(wrapped), &we = End(wrapped);
  bool inside = (olb.macro && !olb.whole) || (ole.macro && !ole.whole);
  if (inside && (wb.offset != lb.offset || we.offset != le.offset)) {
    OrigPos owb = Map(wb, false), owe = Map(we, true);
    if ((!owb.macro || owb.whole) && (!owe.macro || owe.whole) && owb.exact && owe.exact) {
      olb = owb;
      ole = owe;
      tb = wb;
      te = we;
    }
  }
  SetRange(&c, olb, ole);
  c.text = Text(tb, te, false);
  return c;
}

// Each leaf in place: its own record and its slot in the string, evaluated
// once, in order, with short-circuit kept. A leaf after the first may not
// run when the decision does: it is a region, whose node (made only when a
// line of its own needs one) goes inside the leaf's wrapping.
void Rewriter::WrapLeaves(MapDecision* d, const std::vector<CXCursor>& leaves,
                          const std::vector<CXCursor>& wrapped, const std::string& cs, int depth,
                          const PathPlan* plan, int path_slot) {
  for (size_t li = 0; li < leaves.size(); ++li) {
    CXCursor leaf = leaves[li];
    MapCondition c = NewCondition(leaf, wrapped[li], static_cast<int>(li));
    const Position &lb = Begin(leaf), &le = End(leaf);
    Insert(lb.offset, true, depth + 1,
           plan ? probe_.PathLeafOpen() : probe_.LeafOpen(cs, c.index, c.id));
    size_t slot = Insert(lb.offset, true, depth + 1, "");
    if (li > 0) AddRegion(lb.offset, le.offset, 0, slot, lb);
    Insert(le.offset, false, depth + 1,
           plan ? probe_.PathLeafClose(path_slot, plan->increment[li]) : probe_.LeafClose());
    d->conditions.push_back(std::move(c));
    Expr(leaf, depth + 2);
  }
}

bool Rewriter::Decision(CXCursor e, const char* kind, int depth, bool with_node,
                        const CXCursor* arms, ArmIncrements* in_arms) {
  const Position &b = Begin(e), &en = End(e);
  if (!b.valid || !en.valid || en.offset <= b.offset) return false;
  if (!decided_.insert({b.offset, en.offset}).second) return false;
  if (Constant(e)) return false;
  std::vector<CXCursor> leaves, wrapped;
  Leaves(e, &leaves, &wrapped);
  MapDecision d = NewDecision(e, kind);
  PathPlan plan;
  const bool by_paths = PlanPaths(e, leaves.size(), &plan);
  std::string cs;
  if (by_paths) {
    d.mcdc = static_cast<int>(leaves.size()) <= qel_wire::kMaxCounterConditions;
  } else {
    d.mcdc = static_cast<int>(leaves.size()) <= kMaxConditions;
    cs = probe_.StringOf(d.mcdc ? fn_slots_++ : -1);
    events_ = true;
    if (probe_.counters()) d.form = "events";
  }
  const int counted_index = by_paths ? static_cast<int>(counted_.size()) : -1;
  int node = 0;
  if (with_node) {
    node = NewNode("stmt", e);
    AddSpan(node, b, en);
  }
  int t = 0, f = 0;
  if (arms) {
    // The arm that runs passes its node; the arms' values stay as they are.
    // A decision counted by paths counts its arms' nodes by its outcomes.
    t = NewNode("arm", arms[0]);
    f = NewNode("arm", arms[1]);
    if (!by_paths) {
      Insert(b.offset, true, depth - 1, probe_.ArmsOpen());
      Insert(en.offset, false, depth - 1, probe_.ArmsClose(t, f));
    }
    AddRegion(Begin(arms[0]).offset, End(arms[0]).offset, t, 0, Begin(arms[0]));
    AddRegion(Begin(arms[1]).offset, End(arms[1]).offset, f, 0, Begin(arms[1]));
  }
  if (by_paths && leaves.size() == 1) {
    // One condition: its value alone names the path, so the decision needs
    // no path index, and gcc sees one branch with a counter on each side.
    const size_t counted = counted_.size();
    const unsigned first = CountByPaths(d, plan, t, f);
    const bool negated = plan.next[0] != qel_wire::kPathTrue;
    const unsigned taken = negated ? plan.increment[0] : 0,
                   not_taken = negated ? 0 : plan.increment[0];
    if (in_arms) {
      in_arms->taken = probe_.ArmIncrement(first + taken);
      in_arms->not_taken = probe_.ArmIncrement(first + not_taken);
    } else {
      Insert(b.offset, true, depth, probe_.OneLeafOpen(node, first + taken, first + not_taken));
      Insert(en.offset, false, depth, probe_.OneLeafClose(first + taken, first + not_taken));
    }
    d.conditions.push_back(NewCondition(leaves[0], wrapped[0], 0));
    Expr(leaves[0], depth + 2);
    counted_[counted].leaf_conds.push_back(d.conditions[0].id);
  } else if (by_paths) {
    const int slot = fn_paths_++;
    const size_t counted = counted_.size();
    const unsigned first = CountByPaths(d, plan, t, f);
    if (in_arms) {
      Insert(b.offset, true, depth, probe_.PathArmsIndexOpen(slot));
      Insert(en.offset, false, depth, probe_.PathArmsIndexClose());
      in_arms->taken = in_arms->not_taken = probe_.PathArmIncrement(slot, first);
    } else {
      Insert(b.offset, true, depth, probe_.PathOpen(node, slot, first));
      Insert(en.offset, false, depth, probe_.PathClose(slot, first));
    }
    WrapLeaves(&d, leaves, wrapped, cs, depth, &plan, slot);
    // Nested decisions (inside a leaf) come after it in counted_.
    for (const MapCondition& x : d.conditions) counted_[counted].leaf_conds.push_back(x.id);
  } else {
    Insert(b.offset, true, depth, probe_.DecisionOpen(node, cs, d.cond_id, d.id));
    Insert(en.offset, false, depth, probe_.DecisionClose());
    WrapLeaves(&d, leaves, wrapped, cs, depth);
  }
  map_.decisions.push_back(std::move(d));
  last_counted_ = counted_index;
  return true;
}

namespace {

// A decision's && || ! structure, mirroring Rewriter::Leaves: leaves are
// numbered left to right.
struct ShapeNode {
  enum class Op { kLeaf, kAnd, kOr, kNot } op = Op::kLeaf;
  int leaf = 0;        // kLeaf: its index
  int a = -1, b = -1;  // operands (kNot: a)
  int first = 0;       // index of its first leaf
};

// Successors of every leaf of node `n`, evaluated with `t` next when it is
// true and `f` when false (a leaf index, or an end of the decision).
void AssignSuccessors(const std::vector<ShapeNode>& shape, int n, unsigned char t, unsigned char f,
                      std::vector<unsigned char>* next) {
  const ShapeNode& s = shape[static_cast<size_t>(n)];
  switch (s.op) {
    case ShapeNode::Op::kLeaf:
      (*next)[2 * static_cast<size_t>(s.leaf)] = t;
      (*next)[2 * static_cast<size_t>(s.leaf) + 1] = f;
      break;
    case ShapeNode::Op::kAnd: {
      const unsigned char second =
          static_cast<unsigned char>(shape[static_cast<size_t>(s.b)].first);
      AssignSuccessors(shape, s.a, second, f, next);
      AssignSuccessors(shape, s.b, t, f, next);
      break;
    }
    case ShapeNode::Op::kOr: {
      const unsigned char second =
          static_cast<unsigned char>(shape[static_cast<size_t>(s.b)].first);
      AssignSuccessors(shape, s.a, t, second, next);
      AssignSuccessors(shape, s.b, t, f, next);
      break;
    }
    case ShapeNode::Op::kNot:
      AssignSuccessors(shape, s.a, f, t, next);
      break;
  }
}

}  // namespace

bool Rewriter::PlanPaths(CXCursor e, size_t leaves, PathPlan* plan) {
  if (!probe_.counters() || leaves == 0 ||
      leaves > static_cast<size_t>(qel_wire::kMaxCounterConditions))
    return false;
  std::vector<ShapeNode> shape;
  int next_leaf = 0;
  // Builds the node of `x` (as Leaves walks it) and returns its index.
  std::function<int(CXCursor)> build = [&](CXCursor x) -> int {
    CXCursor s = Skip(x);
    CXCursorKind k = Kind(s);
    const std::vector<CXCursor>& ch = ChildrenOf(s);
    if (k == CXCursor_ParenExpr && ch.size() == 1) return build(ch[0]);
    ShapeNode node;
    if (k == CXCursor_UnaryOperator && ch.size() == 1) {
      unsigned bo = Begin(s).offset;
      if (OperatorAfter(bo, bo + 1) == "!") {
        node.op = ShapeNode::Op::kNot;
        node.a = build(ch[0]);
        node.first = shape[static_cast<size_t>(node.a)].first;
        shape.push_back(node);
        return static_cast<int>(shape.size()) - 1;
      }
    }
    if (k == CXCursor_BinaryOperator && ch.size() == 2) {
      std::string op = OperatorAfter(End(ch[0]).offset, Begin(ch[1]).offset);
      if (op == "&&" || op == "||") {
        node.op = op == "&&" ? ShapeNode::Op::kAnd : ShapeNode::Op::kOr;
        node.a = build(ch[0]);
        node.b = build(ch[1]);
        node.first = shape[static_cast<size_t>(node.a)].first;
        shape.push_back(node);
        return static_cast<int>(shape.size()) - 1;
      }
    }
    node.op = ShapeNode::Op::kLeaf;
    node.leaf = next_leaf++;
    node.first = node.leaf;
    shape.push_back(node);
    return static_cast<int>(shape.size()) - 1;
  };
  const int root = build(e);
  if (static_cast<size_t>(next_leaf) != leaves) return false;  // not the leaves' walk: play safe
  plan->next.assign(2 * leaves, 0);
  AssignSuccessors(shape, root, qel_wire::kPathTrue, qel_wire::kPathFalse, &plan->next);
  const int n = static_cast<int>(leaves);
  if (!qel_wire::paths_well_formed(plan->next.data(), n)) return false;
  std::vector<uint32_t> from;
  plan->paths = qel_wire::number_paths(plan->next.data(), n, &from);
  if (plan->paths > qel_wire::kMaxCounterPaths) return false;
  plan->increment.resize(leaves);
  for (int c = 0; c < n; ++c)
    plan->increment[static_cast<size_t>(c)] =
        qel_wire::false_edge_increment(plan->next.data(), c, from);
  return true;
}

unsigned Rewriter::CountByPaths(const MapDecision& d, const PathPlan& plan, int true_node,
                                int false_node) {
  CounterDecision c;
  c.decision = d.id;
  c.cond = d.cond_id;
  c.next = plan.next;
  c.paths = plan.paths;
  c.first = next_path_;
  c.true_node = true_node;
  c.false_node = false_node;
  next_path_ += plan.paths;
  counted_.push_back(c);
  return c.first;
}

// `c ?: b`: `c` is evaluated once and is the value when it holds, so it is
// not wrapped in place: a statement expression keeps it in a temporary,
// records the decision from there and yields it. When `c` is made of &&, ||
// and ! its value is 0 or 1 anyway, and its leaves are wrapped in place.
bool Rewriter::GnuTernary(CXCursor e, CXCursor cond, CXCursor rhs, int depth) {
  const Position &b = Begin(cond), &en = End(cond);
  if (!b.valid || !en.valid || en.offset <= b.offset) return false;
  if (!decided_.insert({b.offset, en.offset}).second) return false;
  if (Constant(cond)) return false;
  (void)e;
  std::vector<CXCursor> leaves, wrapped;
  Leaves(cond, &leaves, &wrapped);
  CXCursor bare = Skip(cond);
  while (Kind(bare) == CXCursor_ParenExpr && ChildrenOf(bare).size() == 1)
    bare = Skip(ChildrenOf(bare)[0]);
  const bool leaf = leaves.size() == 1 && clang_equalCursors(leaves[0], bare);
  MapDecision d = NewDecision(cond, "ternary");
  PathPlan plan;
  const bool by_paths = PlanPaths(cond, leaves.size(), &plan);
  std::string cs;
  int slot = 0;
  if (by_paths) {
    d.mcdc = static_cast<int>(leaves.size()) <= qel_wire::kMaxCounterConditions;
    if (!leaf) slot = fn_paths_++;
  } else {
    d.mcdc = static_cast<int>(leaves.size()) <= kMaxConditions;
    cs = probe_.StringOf(d.mcdc ? fn_slots_++ : -1);
    events_ = true;
    if (probe_.counters()) d.form = "events";
  }
  int t = NewNode("arm", cond), f = NewNode("arm", rhs);
  AddRegion(Begin(rhs).offset, End(rhs).offset, f, 0, Begin(rhs));
  int leaf_cond = 0;
  unsigned first = 0;
  const size_t counted = counted_.size();
  if (by_paths) {
    first = CountByPaths(d, plan, t, f);
    Insert(b.offset, true, depth, probe_.PathGnuTernaryOpen(d.id, slot, leaf));
  } else {
    Insert(b.offset, true, depth, probe_.GnuTernaryOpen(d.id, cs, leaf));
  }
  if (leaf) {
    MapCondition c = NewCondition(leaves[0], wrapped[0], 0);
    leaf_cond = c.id;
    d.conditions.push_back(std::move(c));
    Expr(cond, depth + 1);
  } else if (by_paths) {
    WrapLeaves(&d, leaves, wrapped, cs, depth, &plan, slot);
  } else {
    WrapLeaves(&d, leaves, wrapped, cs, depth);
  }
  if (by_paths) {
    for (const MapCondition& x : d.conditions) counted_[counted].leaf_conds.push_back(x.id);
    Insert(
        en.offset, false, depth,
        probe_.PathGnuTernaryClose(d.id, slot, first, leaf, leaf && IsBitField(bare), false, t, f));
  } else {
    Insert(en.offset, false, depth,
           probe_.GnuTernaryClose(d.id, cs, d.cond_id, leaf, leaf && IsBitField(bare), leaf_cond, t,
                                  f));
  }
  map_.decisions.push_back(d);
  return true;
}

// The GNU `c ?: b`, which libclang does not expose: its children are the
// condition (several times over) and `b`, with `?` and `:` between.
bool Rewriter::IsBinaryConditional(CXCursor e, const std::vector<CXCursor>& ch) const {
  if (ch.size() < 2) return false;
  unsigned cond_end = End(ch.front()).offset, rhs = Begin(ch.back()).offset;
  if (Begin(e).offset != Begin(ch.front()).offset || cond_end >= rhs) return false;
  auto it = std::lower_bound(tokens_.begin(), tokens_.end(), cond_end,
                             [](const Token& t, unsigned off) { return t.offset < off; });
  return it != tokens_.end() && it->text == "?" && it + 1 != tokens_.end() &&
         (it + 1)->text == ":" && (it + 1)->offset < rhs;
}

bool Rewriter::IsBitField(CXCursor e) const {
  e = Skip(e);
  if (Kind(e) != CXCursor_MemberRefExpr) return false;
  CXCursor field = clang_getCursorReferenced(e);
  return !clang_Cursor_isNull(field) && clang_Cursor_isBitField(field);
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
      const std::vector<CXCursor>& ch = ChildrenOf(e);
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
      const std::vector<CXCursor>& ch = ChildrenOf(e);
      if (ch.size() == 3) {
        CXCursor arms[2] = {ch[1], ch[2]};
        Decision(ch[0], "ternary", depth + 2, false, arms);
        Expr(ch[1], depth + 1);
        Expr(ch[2], depth + 1);
        return;
      }
      break;
    }
    case CXCursor_CallExpr:
      if (memory_) MemoryCall(e);
      if (options_.exec) ExecCall(e);
      [[fallthrough]];
    case CXCursor_UnexposedExpr: {
      // Builtins whose operands must stay constant or are never evaluated.
      auto w = words_.find(Begin(e).offset);
      if (w != words_.end() &&
          (w->second == "__builtin_constant_p" || w->second == "__builtin_choose_expr" ||
           w->second == "__builtin_types_compatible_p" || w->second == "__builtin_offsetof" ||
           w->second == "__builtin_object_size" || w->second == "__builtin_dynamic_object_size")) {
        return;
      }
      if (Kind(e) == CXCursor_UnexposedExpr) {
        const std::vector<CXCursor>& ch = ChildrenOf(e);
        if (IsBinaryConditional(e, ch)) {
          GnuTernary(e, ch.front(), ch.back(), depth + 1);
          Expr(ch.back(), depth + 1);
          return;
        }
      }
      break;
    }
    case CXCursor_StmtExpr: {
      for (CXCursor c : ChildrenOf(e)) {
        if (Kind(c) == CXCursor_CompoundStmt) Compound(c, depth + 1, 0, "stmt");
      }
      return;
    }
    default:
      break;
  }
  for (CXCursor c : ChildrenOf(e)) Expr(c, depth + 1);
}

// A direct call of the C library's allocator gets the `__qel_` prefix (the
// helpers above the text) and, but for free, the call's place as extra
// arguments. Calls through pointers (`hooks.malloc = malloc`) stay as they
// are: a block must be freed the way it was allocated, which is why this is
// an option.
void Rewriter::MemoryCall(CXCursor call) {
  const std::vector<CXCursor>& ch = ChildrenOf(call);
  if (ch.empty()) return;
  CXCursor callee = Skip(ch[0]);
  if (Kind(callee) != CXCursor_DeclRefExpr) return;
  std::string name = qel::cparse::Spelling(callee);
  if (name != "malloc" && name != "calloc" && name != "realloc" && name != "free") return;
  CXCursor decl = clang_getCursorReferenced(callee);
  if (clang_Cursor_isNull(decl) || !tu_.InSystemHeader(decl)) return;  // the user's own malloc
  const Position &b = Begin(callee), &e = End(call);
  if (!b.valid || !e.valid || e.offset == 0 || e.offset > text_.size() ||
      text_[e.offset - 1] != ')' || text_.compare(b.offset, name.size(), name) != 0) {
    return;
  }
  Insert(b.offset, true, 1 << 30, "__qel_");  // after every probe opening there
  if (name == "free") return;
  OrigPos o = Map(Begin(call), false);
  std::string file;
  for (char c : map_.files[static_cast<size_t>(o.file)]) {
    if (c == '"' || c == '\\') file += '\\';
    file += c;
  }
  // After whatever the arguments' own probes close there.
  ins_.push_back(Insertion{
      e.offset - 1, 0, 1 << 30, static_cast<int>(ins_.size()),
      ", \"" + file + "\", \"" + fn_name_ + "\", " + std::to_string(o.line ? o.line : 1)});
}

// A direct call of the C library's exec family goes to the runtime's
// wrapper of the same function, which delivers what was recorded and
// counted before the process image is replaced. The callee's name is
// replaced; calls through pointers stay as they are.
void Rewriter::ExecCall(CXCursor call) {
  static const std::map<std::string, std::string> kWrappers = {
      {"execv", "QelExecv"},     {"execve", "QelExecve"},  {"execvp", "QelExecvp"},
      {"execvpe", "QelExecvpe"}, {"execl", "QelExecl"},    {"execle", "QelExecle"},
      {"execlp", "QelExeclp"},   {"fexecve", "QelFexecve"}};
  const std::vector<CXCursor>& ch = ChildrenOf(call);
  if (ch.empty()) return;
  CXCursor callee = Skip(ch[0]);
  if (Kind(callee) != CXCursor_DeclRefExpr) return;
  const std::string name = qel::cparse::Spelling(callee);
  auto w = kWrappers.find(name);
  if (w == kWrappers.end()) return;
  CXCursor decl = clang_getCursorReferenced(callee);
  if (clang_Cursor_isNull(decl) || !tu_.InSystemHeader(decl)) return;  // the user's own execv
  const Position& b = Begin(callee);
  if (!b.valid || text_.compare(b.offset, name.size(), name) != 0) return;
  ins_.push_back(Insertion{b.offset, 1, 1 << 30, static_cast<int>(ins_.size()), w->second,
                           static_cast<unsigned>(name.size())});
  exec_calls_ = true;
}

void Rewriter::VarDecls(CXCursor decl_stmt, int depth) {
  for (CXCursor d : ChildrenOf(decl_stmt)) {
    if (Kind(d) != CXCursor_VarDecl) continue;
    CX_StorageClass sc = clang_Cursor_getStorageClass(d);
    if (sc == CX_SC_Static || sc == CX_SC_Extern) continue;  // constant initialisers
    CXCursor init = clang_Cursor_getVarDeclInitializer(d);
    if (clang_Cursor_isNull(init)) continue;
    Expr(init, depth);
  }
}

void Rewriter::Body(CXCursor s, int depth) {
  BodyParts(s, depth);
  // A body whose first statement made no node (a block, an empty
  // statement) counts what it runs by its own nodes.
  derive_ = Derived();
}

void Rewriter::BranchBody(CXCursor s, int depth, int counted, bool outcome) {
  derive_ = Derived();
  if (counted >= 0) {
    derive_.counted = counted;
    derive_.outcome = outcome;
  }
  Body(s, depth);
}

void Rewriter::BodyParts(CXCursor s, int depth) {
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
  const std::vector<CXCursor>& ch = ChildrenOf(c);
  const char* kind = first_kind;
  std::vector<bool> labels_after(ch.size() + 1, false);
  for (size_t i = ch.size(); i-- > 0;) {
    labels_after[i] = labels_after[i + 1] || HasLabels(ch, i, i + 1);
  }
  Completes previous;
  for (size_t i = 0; i < ch.size(); ++i) {
    int before = run;
    const Labelled l = PeelLabels(ch[i]);
    const CXCursorKind k = Kind(l.stmt);
    if (previous.counted >= 0 && run == 0 && l.labels.empty() && k != CXCursor_CompoundStmt &&
        k != CXCursor_NullStmt) {
      derive_ = Derived();
      derive_.counted = previous.counted;
      derive_.next = true;
    }
    completes_ = Completes();
    Stmt(ch[i], depth + 1, run, kind, !labels_after[i + 1]);
    if (derive_.next) derive_ = Derived();
    previous = Completes();
    if (completes_.counted >= 0 && clang_equalCursors(completes_.stmt, l.stmt))
      previous = completes_;
    completes_ = Completes();
    if (run != before || run == 0) kind = "stmt";
  }
}

Labelled Rewriter::PeelLabels(CXCursor s) const {
  Labelled l;
  l.stmt = s;
  while (true) {
    CXCursorKind k = Kind(l.stmt);
    if (k != CXCursor_LabelStmt && k != CXCursor_CaseStmt && k != CXCursor_DefaultStmt) break;
    const std::vector<CXCursor>& ch = ChildrenOf(l.stmt);
    if (ch.empty()) break;
    l.labels.push_back(l.stmt);
    l.kind = k == CXCursor_LabelStmt ? "label" : "case";
    l.stmt = ch.back();
  }
  return l;
}

// The node that the statement's run passes: the labels' own (in the labels'
// file), or a new one where a run starts or crosses into another file (a
// #line of generated code), or the run's. A node is passed as a
// declaration where C90 code may still declare.
int Rewriter::RunNode(const Labelled& l, int depth, int run, const char* kind, bool decl_ok) {
  CXCursorKind k = Kind(l.stmt);
  const bool block = k == CXCursor_CompoundStmt, null = k == CXCursor_NullStmt;
  const Position& at = Begin(l.stmt);
  if (!l.labels.empty()) derive_ = Derived();
  if (!l.labels.empty()) {
    const Position& label = Begin(l.labels.back());
    const bool same_file = FileId(label.file) == FileId(at.file);
    run = NewNode(l.kind, same_file ? at : label);
    Insert(at.offset, true, depth, probe_.NodeStatement(run));
    // Case labels are lines of code to gcov as well; goto labels are not.
    for (CXCursor c : l.labels) {
      if (Kind(c) != CXCursor_LabelStmt) AddSpan(run, Begin(c), Begin(c));
    }
    if (same_file || block || null) return run;
    run = 0;  // the statement's code is in another file: a node of its own
  }
  if (run > 0 && NodeFile(run) != FileId(at.file)) run = 0;
  if (run != 0 || block || null) return run;
  run = NewNode(kind, l.stmt);
  const Derived derived = derive_;
  derive_ = Derived();
  if (derived.counted >= 0 && l.labels.empty() && (derived.next || std::string(kind) == "branch")) {
    // Entered only from the top of its branch, or only past a statement that
    // completes just when its decision is false: its count is that outcome's.
    CounterDecision& c = counted_[static_cast<size_t>(derived.counted)];
    int& slot = derived.outcome ? c.true_node : c.false_node;
    if (slot == 0) {
      slot = run;
      return run;
    }
  }
  if (k == CXCursor_DeclStmt && l.labels.empty() && decl_ok) {
    Insert(at.offset, true, depth, probe_.NodeDeclaration(run));
  } else {
    Insert(at.offset, true, depth, probe_.NodeStatement(run));
  }
  return run;
}

void Rewriter::Stmt(CXCursor s, int depth, int& run, const char* kind, bool decl_ok) {
  Labelled l = PeelLabels(s);
  const bool no_probe = run < 0;
  if (!no_probe) run = RunNode(l, depth, l.labels.empty() ? run : 0, kind, decl_ok);
  if (StmtParts(l.stmt, run > 0 ? run : 0, depth) && !no_probe) run = 0;
}

bool Rewriter::StmtParts(CXCursor cur, int node, int depth) {
  const std::vector<CXCursor>& ch = ChildrenOf(cur);
  switch (Kind(cur)) {
    case CXCursor_CompoundStmt:
      Compound(cur, depth + 1, 0, "stmt");
      return true;
    case CXCursor_IfStmt:
      if (ch.size() >= 2) {
        AddSpan(node, Begin(cur), End(ch[0]));
        ArmIncrements arms;
        const bool in_arms = probe_.CountsIfInArms() && BranchesWrappable(ch);
        const int counted =
            Decision(ch[0], "if", depth + 1, false, nullptr, in_arms ? &arms : nullptr)
                ? last_counted_
                : -1;
        if (!arms.taken.empty()) {
          // Outside the branches' own braces (opened deeper at the same
          // offsets), so a jump to a label inside an arm passes no count.
          Insert(Begin(ch[1]).offset, true, depth, "{ " + arms.taken);
          Insert(StmtEnd(ch[1]), false, depth,
                 ch.size() >= 3 ? " }" : " } else { " + arms.not_taken + "}");
          if (ch.size() >= 3) {
            Insert(Begin(ch[2]).offset, true, depth, "{ " + arms.not_taken);
            Insert(StmtEnd(ch[2]), false, depth, " }");
          }
        }
        BranchBody(ch[1], depth + 1, counted, true);
        if (ch.size() >= 3) BranchBody(ch[2], depth + 1, counted, false);
        if (ch.size() == 2 && NeverCompletes(ch[1])) CompletesWhenFalse(cur, counted);
      }
      return true;
    case CXCursor_WhileStmt:
      if (ch.size() == 2) {
        AddSpan(node, Begin(cur), End(ch[0]));
        const int counted = Decision(ch[0], "while", depth + 1, false) ? last_counted_ : -1;
        BranchBody(ch[1], depth + 1, counted, true);
        if (!HasBreak(cur)) CompletesWhenFalse(cur, counted);
      }
      return true;
    case CXCursor_DoStmt:
      if (ch.size() == 2) {
        AddSpan(node, Begin(cur), Begin(cur));
        Body(ch[0], depth + 1);
        const int counted = Decision(ch[1], "do", depth + 1, true) ? last_counted_ : -1;
        if (!HasBreak(cur)) CompletesWhenFalse(cur, counted);
      }
      return true;
    case CXCursor_SwitchStmt:
      if (ch.size() == 2) {
        AddSpan(node, Begin(cur), End(ch[0]));
        Expr(ch[0], depth + 1);
        Body(ch[1], depth + 1);
      }
      return true;
    case CXCursor_ForStmt: {
      const int counted = ForParts(cur, ch, node, depth);
      if (!HasBreak(cur)) CompletesWhenFalse(cur, counted);
      return true;
    }
    case CXCursor_DeclStmt:
      AddSpan(node, Begin(cur), End(cur));
      VarDecls(cur, depth + 1);
      return false;
    case CXCursor_NullStmt:
    case CXCursor_GCCAsmStmt:
      return false;
    case CXCursor_ReturnStmt:
    case CXCursor_BreakStmt:
    case CXCursor_ContinueStmt:
    case CXCursor_GotoStmt:
    case CXCursor_IndirectGotoStmt:
      AddSpan(node, Begin(cur), End(cur));
      for (CXCursor c : ch) Expr(c, depth + 1);
      return true;
    default:
      AddSpan(node, Begin(cur), End(cur));
      if (clang_isExpression(Kind(cur))) Expr(cur, depth + 1);
      return false;
  }
}

int Rewriter::ForParts(CXCursor cur, const std::vector<CXCursor>& ch, int node, int depth) {
  if (ch.empty()) return -1;
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
  if (n != 2 || close == 0) return -1;
  // The header, up to its ')': the body's lines are the body's nodes'.
  AddSpan(node, Begin(cur), At(close + 1));
  int counted = -1;
  for (size_t i = 0; i + 1 < ch.size(); ++i) {
    unsigned o = Begin(ch[i]).offset;
    if (o < semi[0]) {
      if (Kind(ch[i]) == CXCursor_DeclStmt) {
        VarDecls(ch[i], depth + 1);
      } else {
        Expr(ch[i], depth + 1);
      }
    } else if (o < semi[1]) {
      if (Decision(ch[i], "for", depth + 1, false)) counted = last_counted_;
    } else if (o < close) {
      Expr(ch[i], depth + 1);
    }
  }
  BranchBody(ch.back(), depth + 1, counted, true);
  return counted;
}

// The parameters' values at function entry, one value record per call:
// scalars only (a pointer's target may not be readable), each converted
// explicitly to the type its QelPrint code reads. One declaration whose
// initialiser makes the calls, so C90 code stays valid.
std::string Rewriter::ValueProbes(CXCursor fn) {
  struct Item {
    std::string name, cast;
    int code;
  };
  std::vector<Item> items;
  size_t size = fn_name_.size() + 1;
  for (CXCursor p : qel::cparse::Parameters(fn)) {
    std::string name = qel::cparse::Spelling(p);
    if (name.empty()) continue;
    CXType t = qel::cparse::Canonical(clang_getCursorType(p));
    Item it{name, "", 0};
    switch (t.kind) {
      case CXType_Bool:
        it = {name, "(int)", 7};
        break;
      case CXType_Char_S:
      case CXType_SChar:
      case CXType_Char_U:
      case CXType_UChar:
      case CXType_Int:
      case CXType_Enum:
        it = {name, "(int)", 16};
        break;
      case CXType_Short:
        it = {name, "(int)", 15};
        break;
      case CXType_UShort:
        it = {name, "(int)", 8};
        break;
      case CXType_UInt:
        it = {name, "(unsigned long)", 9};
        break;
      case CXType_Long:
      case CXType_LongLong:
        it = {name, "(long long)", 18};
        break;
      case CXType_ULong:
      case CXType_ULongLong:
        it = {name, "(unsigned long long)", 10};
        break;
      case CXType_Float:
        it = {name, "(double)", 21};
        break;
      case CXType_Double:
        it = {name, "(double)", 22};
        break;
      case CXType_LongDouble:
        it = {name, "(long double)", 23};
        break;
      default:
        continue;
    }
    items.push_back(it);
    size += name.size() + 20 + 400;  // "$name#QEL_LONGDOUBLE#" and a long double's digits
  }
  if (items.empty()) return "";
  std::string n = std::to_string(next_node_);
  std::string buf = "__qel_vb" + n, pos = "__qel_vp" + n;
  std::string out = " char " + buf + "[" + std::to_string(size) + "]; int " + pos +
                    " = 0; int __qel_v" + n + " __attribute__((unused)) = ((void)QelPrint(\"" +
                    fn_name_ + "\", " + buf + ", &" + pos + ", 26)";
  for (const Item& it : items) {
    out += ", (void)QelPrint(\"" + it.name + "\", " + buf + ", &" + pos + ", " +
           std::to_string(it.code) + ", " + it.cast + "(" + it.name + "))";
  }
  out += ", (void)QelPrint(\"\", " + buf + ", &" + pos + ", 27), 0);";
  return out;
}

// The function's tokens that the rewriter reads: punctuation (operators,
// the `for` header's parts), __builtin_ names, and the identifiers,
// keywords and literals that tell which lines hold code.
void Rewriter::Tokens(CXCursor fn) {
  tokens_.clear();
  words_.clear();
  sig_.clear();
  CXToken* toks = nullptr;
  unsigned ntoks = 0;
  clang_tokenize(tu_.raw(), clang_getCursorExtent(fn), &toks, &ntoks);
  for (unsigned i = 0; i < ntoks; ++i) {
    CXTokenKind kind = clang_getTokenKind(toks[i]);
    if (kind == CXToken_Comment) continue;
    // Only the offset is wanted: no presumed file or line for every token.
    unsigned offset = 0;
    clang_getFileLocation(clang_getTokenLocation(tu_.raw(), toks[i]), nullptr, nullptr, nullptr,
                          &offset);
    if (kind == CXToken_Literal) {
      sig_.push_back(offset);
      continue;
    }
    if (kind != CXToken_Punctuation) {
      sig_.push_back(offset);
      CXString spelling = clang_getTokenSpelling(tu_.raw(), toks[i]);
      const char* word = clang_getCString(spelling);
      if (word && std::strncmp(word, "__builtin_", 10) == 0) words_[offset] = word;
      clang_disposeString(spelling);
      continue;
    }
    std::string text = qel::cparse::Str(clang_getTokenSpelling(tu_.raw(), toks[i]));
    // The '#' of a line marker (a system macro expanded mid-expression puts
    // markers between operands) is no operator of the code.
    if (text == "#") {
      size_t b = offset;
      while (b > 0 && IsSpace(text_[b - 1])) --b;
      if (b == 0 || text_[b - 1] == '\n') continue;
    }
    tokens_.push_back(Token{offset, text});
  }
  clang_disposeTokens(tu_.raw(), toks, ntoks);
}

void Rewriter::Function(CXCursor fn) {
  places_.clear();
  const std::vector<CXCursor>& ch = ChildrenOf(fn);
  if (ch.empty() || Kind(ch.back()) != CXCursor_CompoundStmt) return;
  CXCursor body = ch.back();
  fn_name_ = qel::cparse::Spelling(fn);
  fn_slots_ = 0;
  fn_paths_ = 0;
  Tokens(fn);

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
  AddSpan(entry, loc, loc);
  AddSpan(entry, Begin(body), Begin(body));
  map_.functions.push_back(f);

  unsigned at = Begin(body).offset + 1;
  size_t slot_insertion = Insert(at, true, 0, "");
  Insert(at, true, 1, " " + probe_.Entry(entry));
  if (values_) Insert(at, true, 1, ValueProbes(fn));
  Compound(body, 2, entry, "stmt");
  if (fn_slots_ > 0) ins_[slot_insertion].text = probe_.ConditionStrings(fn_slots_);
  if (fn_paths_ > 0) ins_[slot_insertion].text += probe_.PathIndices(fn_paths_);
  ResolveSpans();
}

bool Rewriter::Run(InstrumentResult* result) {
  std::string* out = &result->text;
  UnitMap* map = &result->map;
  std::string* error = &result->error;
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
  // The leaf helper has external linkage (weak, hidden: one copy per module),
  // since C99 forbids inline functions with external linkage to refer to
  // anything static.
  std::string u;
  u.reserve(text_.size() + ins_.size() * 96 + 1024);
  // The probes' declarations are the protocol's, which the runtime's build
  // checks against its exported header.
  const int nodes = next_node_ - 1;
  result->counted = probe_.counters() && nodes > 0;
  if (result->counted) {
    u += CounterPrelude(options_.target, nodes);
    result->nodes = nodes;
    result->decisions = counted_;
  }
  if (!probe_.counters() || events_) {
    u += QEL_PROBES_COVERAGE(QEL_PROBE_DECL_TEXT) " int __qel_c(int*, int, int, int, int, int); "
         "__attribute__((weak, visibility(\"hidden\"))) int __qel_c(int* s, int i, int u, int c, "
         "int g, int v) { QelStringAddCond(s, i, v); return QelExp(u, c, 0, (int*)0, g, v); }";
  }
  if (exec_calls_) u += QEL_PROBES_EXEC(QEL_PROBE_DECL_TEXT);
  if (values_) u += QEL_PROBES_VALUES(QEL_PROBE_DECL_TEXT);
  if (memory_) {
    const char* helper = " __attribute__((weak, visibility(\"hidden\"))) ";
    u += QEL_PROBES_MEMORY(QEL_PROBE_DECL_TEXT)
        " void* __qel_malloc(unsigned long, const char*, const char*, int);"
         " void* __qel_calloc(unsigned long, unsigned long, const char*, const char*, int);"
         " void* __qel_realloc(void*, unsigned long, const char*, const char*, int);"
         " void __qel_free(void*);";
    // Sizes beyond what the block header records fail as an exhausted heap.
    u += helper;
    u += "void* __qel_malloc(unsigned long n, const char* f, const char* fn, int l) {"
         " return n > 0xFFFF0000ul ? (void*)0 : QelNew((unsigned)n, f, fn, l); }";
    u += helper;
    u += "void* __qel_calloc(unsigned long n, unsigned long s, const char* f, const char* fn, "
         "int l) { void* p; if (s && n > 0xFFFF0000ul / s) return (void*)0;"
         " p = __qel_malloc(n * s, f, fn, l); if (p) __builtin_memset(p, 0, n * s); return p; }";
    u += helper;
    u += "void* __qel_realloc(void* p, unsigned long n, const char* f, const char* fn, int l) {"
         " return n > 0xFFFF0000ul ? (void*)0 : QelRenew(p, (unsigned)n, f, fn, l); }";
    u += helper;
    u += "void __qel_free(void* p) { QelFree(p); }";
  }
  u += "\n";
  unsigned pos = 0;
  bool moved = false;  // text inserted since the original's last code
  auto original = [&](unsigned to) {
    if (to <= pos) return;
    // Not where inserted text is glued to the original's next token (a
    // prefix that renames a call): a line break would part them.
    if (moved && !Glued(u.back(), text_[pos])) {
      unsigned i = pos;
      while (i < to && IsSpace(text_[i])) ++i;
      if (i < to) {
        moved = false;
        u += LineBreak(&pos, to);
      }
    }
    u.append(text_, pos, to - pos);
    pos = to;
  };
  const unsigned size = static_cast<unsigned>(text_.size());
  for (const Insertion& in : ins_) {
    if (in.offset > size || in.offset < pos) continue;
    original(in.offset);
    u += in.text;
    pos = in.offset + in.replaces;
    moved = moved || !in.text.empty() || in.replaces != 0;
  }
  original(size);
  *out = std::move(u);
  *map = std::move(map_);
  return true;
}

}  // namespace

InstrumentResult Instrument(const std::string& ipath, const std::string& itext,
                            const std::string& cwd, const std::vector<std::string>& args, int unit,
                            int group, const InstrumentOptions& options) {
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
  Rewriter rw(*tu, itext, cwd, unit, group, options);
  r.ok = rw.Run(&r);
  return r;
}

}  // namespace qelcc
