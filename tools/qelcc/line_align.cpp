#include "line_align.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

namespace qelcc {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

// The alignment of one line, in three steps: from the front, from the back
// down to where the front stopped, and the middle that neither reached.
// Indices: `i` counts the preprocessed code characters (Pre), `m` the
// original's (Orig).
class Aligner {
 public:
  Aligner(const std::string& text, const std::vector<Piece>& pieces, const std::string& oline,
          const std::vector<unsigned>& cols)
      : text_(text), oline_(oline), cols_(cols), n_(cols.size()) {
    for (const Piece& p : pieces) {
      if (p.offsets.empty()) continue;  // a blank piece says nothing
      pieces_.emplace_back(chars_.size(), chars_.size() + p.offsets.size());
      sys_.push_back(p.sys);
      chars_.insert(chars_.end(), p.offsets.begin(), p.offsets.end());
    }
    fail_i_ = chars_.size();
    fail_k_ = n_;
    pos_.resize(chars_.size());
    set_.resize(chars_.size());
  }

  // The positions given, by offset: the pieces' offsets increase through
  // the line, so the order of `chars_` is already the offsets' order.
  LinePositions Result() const {
    LinePositions out;
    out.reserve(chars_.size());
    for (size_t i = 0; i < chars_.size(); ++i) {
      if (set_[i]) out.emplace_back(chars_[i], pos_[i]);
    }
    return out;
  }

  void Run() {
    if (MatchFront()) return;
    MatchBack();
    if (back_i_ <= fail_i_) return;
    MatchMiddle();
  }

 private:
  char Orig(size_t m) const { return oline_[cols_[m]]; }
  char Pre(size_t i) const { return text_[chars_[i]]; }
  CharPos& At(size_t i) {
    set_[i] = 1;
    return pos_[i];
  }
  // The column after original code character m-1.
  unsigned EndColumn(size_t m) const { return m == 0 ? 0u : cols_[m - 1] + 1; }
  void MarkExact(size_t i, size_t m) {
    At(i) = CharPos{cols_[m], cols_[m] + 1, true, false, false, false};
  }
  bool IdentStart(size_t m) const {
    return IdentChar(Orig(m)) &&
           (m == 0 || !IdentChar(Orig(m - 1)) || cols_[m] != cols_[m - 1] + 1);
  }

  // The invocation starting at code character m: its identifier and, if a
  // parenthesis follows, its balanced arguments; `end` past it, `args` after
  // the '(' (0 without arguments). False if none closes on this line.
  bool Invocation(size_t m, size_t* end, size_t* args) const {
    if (m >= n_ || !IdentChar(Orig(m))) return false;
    size_t q = m + 1;
    while (q < n_ && IdentChar(Orig(q)) && cols_[q] == cols_[q - 1] + 1) ++q;
    *args = 0;
    if (q < n_ && Orig(q) == '(') {
      *args = q + 1;
      int level = 0;
      for (; q < n_; ++q) {
        if (Orig(q) == '(') ++level;
        if (Orig(q) == ')' && --level == 0) break;
      }
      if (q >= n_) return false;
      ++q;
    }
    *end = q;
    return true;
  }

  void CloseInvocation() {
    if (in_inv_) At(last_sys_).last = true;
    in_inv_ = false;
    after_arg_ = false;
  }

  // A system piece: the next invocation of the original stands for it (or
  // the current one, when a user's argument interrupted its expansion).
  bool SystemPiece(size_t from, size_t to, size_t* ko) {
    if (!(in_inv_ && after_arg_)) {
      CloseInvocation();
      size_t end = 0, args = 0;
      if (!Invocation(*ko, &end, &args)) {
        fail_i_ = from;
        fail_k_ = *ko;
        return false;
      }
      in_inv_ = true;
      inv_b_ = *ko;
      inv_e_ = end;
      inv_args_ = args;
      cursor_ = args;
      *ko = end;
      At(from).first = true;
    }
    for (size_t i = from; i < to; ++i) {
      CharPos& cp = At(i);
      cp = CharPos{cols_[inv_b_], EndColumn(inv_e_), true, true, cp.first, false};
    }
    last_sys_ = to - 1;
    after_arg_ = false;
    return true;
  }

  // A user's macro argument inside the expansion, when a system piece
  // follows: found among the invocation's arguments.
  bool ArgumentPiece(size_t from, size_t to) {
    size_t len = to - from, found = n_;
    for (size_t s = cursor_; s + len < inv_e_ + 1 && found == n_; ++s) {
      size_t j = 0;
      while (j < len && s + j + 1 < inv_e_ && Orig(s + j) == Pre(from + j)) ++j;
      if (j == len) found = s;
    }
    if (found == n_) return false;
    for (size_t j = 0; j < len; ++j) MarkExact(from + j, found + j);
    cursor_ = found + len;
    after_arg_ = true;
    return true;
  }

  // True when every character matched from the front.
  bool MatchFront() {
    size_t ko = 0;
    for (size_t c = 0; c < pieces_.size() && fail_i_ == chars_.size(); ++c) {
      size_t from = pieces_[c].first, to = pieces_[c].second;
      if (sys_[c]) {
        if (!SystemPiece(from, to, &ko)) break;
        continue;
      }
      if (in_inv_ && inv_args_ && c + 1 < pieces_.size() && sys_[c + 1] &&
          ArgumentPiece(from, to)) {
        continue;
      }
      CloseInvocation();
      for (size_t i = from; i < to; ++i) {
        if (ko >= n_ || Orig(ko) != Pre(i)) {
          fail_i_ = i;
          fail_k_ = ko;
          break;
        }
        MarkExact(i, ko++);
      }
    }
    CloseInvocation();
    return fail_i_ == chars_.size();
  }

  // From the back, down to where the front stopped: a system piece there
  // stands for the invocation that ends the rest of the original.
  void MatchBack() {
    back_i_ = chars_.size();
    back_k_ = n_;
    for (size_t c = pieces_.size(); c-- > 0 && back_i_ > fail_i_;) {
      size_t from = std::max(pieces_[c].first, fail_i_), to = std::min(pieces_[c].second, back_i_);
      if (sys_[c]) {
        if (from != pieces_[c].first || back_k_ == fail_k_) break;
        size_t b = back_k_;
        if (Orig(b - 1) == ')') {
          int level = 0;
          while (b > fail_k_) {
            --b;
            if (Orig(b) == ')') ++level;
            if (Orig(b) == '(' && --level == 0) break;
          }
          if (level != 0) break;
        }
        size_t id_end = b;
        while (b > fail_k_ && IdentChar(Orig(b - 1)) &&
               (b == id_end || cols_[b] == cols_[b - 1] + 1)) {
          --b;
        }
        if (b == id_end) break;
        for (size_t i = from; i < to; ++i) {
          At(i) = CharPos{cols_[b], EndColumn(back_k_), true, true, i == from, i + 1 == to};
        }
        back_i_ = from;
        back_k_ = b;
        continue;
      }
      bool stop = false;
      for (size_t i = to; i > from; --i) {
        if (back_k_ <= fail_k_ || Orig(back_k_ - 1) != Pre(i - 1)) {
          stop = true;
          break;
        }
        MarkExact(i - 1, --back_k_);
        back_i_ = i - 1;
      }
      if (stop) break;
    }
  }

  // Several macros with text between them (`m1(x) || m2(x)[0]`): each
  // expansion runs to where the original character after its invocation
  // appears outside the expansion's parentheses; an identifier that the
  // preprocessed text repeats as it is was no macro. False when the middle
  // does not read that way.
  bool MatchMacrosInTurn(size_t ib) {
    std::vector<std::pair<size_t, CharPos>> found;
    size_t i = fail_i_, m = ib;
    const size_t j = back_i_, kk = back_k_;
    while (m < kk || i < j) {
      if (m >= kk || i >= j) return false;
      size_t e = 0, a = 0;
      if (IdentStart(m) && Invocation(m, &e, &a)) {
        size_t len = 1;
        while (m + len < n_ && IdentChar(Orig(m + len)) &&
               cols_[m + len] == cols_[m + len - 1] + 1) {
          ++len;
        }
        size_t same = 0;
        while (same < len && i + same < j && Pre(i + same) == Orig(m + same)) ++same;
        if (same == len && (i + len == j || !IdentChar(Pre(i + len)))) {
          for (size_t q = 0; q < len; ++q) {
            found.emplace_back(i + q,
                               CharPos{cols_[m + q], cols_[m + q] + 1, true, false, false, false});
          }
          i += len;
          m += len;
          continue;
        }
        size_t stop = j;
        if (e < kk) {
          stop = 0;
          int depth = 0;
          for (size_t q = i; q < j && depth >= 0; ++q) {
            char c = Pre(q);
            if (depth == 0 && q > i && c == Orig(e)) {
              stop = q;
              break;
            }
            if (c == '(') ++depth;
            if (c == ')') --depth;
          }
        }
        if (stop <= i) return false;
        for (size_t q = i; q < stop; ++q) {
          found.emplace_back(q, CharPos{cols_[m], EndColumn(e), true, true, q == i, q + 1 == stop});
        }
        i = stop;
        m = e;
        continue;
      }
      if (Pre(i) != Orig(m)) return false;
      found.emplace_back(i, CharPos{cols_[m], cols_[m] + 1, true, false, false, false});
      ++i;
      ++m;
    }
    for (const auto& f : found) At(f.first) = f.second;
    return true;
  }

  // The middle: one user macro's expansion if its invocation covers what is
  // left of the original; otherwise the unmatched stretch, inexact.
  void MatchMiddle() {
    size_t ib = fail_k_;
    while (ib > 0 && ib <= n_ && IdentChar(Orig(ib - 1)) &&
           (ib == n_ || !IdentChar(Orig(ib)) || cols_[ib] == cols_[ib - 1] + 1)) {
      --ib;
    }
    size_t ie = 0, args = 0;
    const bool covers = Invocation(ib, &ie, &args) && ie >= back_k_ && ib <= fail_k_;
    if (!covers && ib <= fail_k_ && MatchMacrosInTurn(ib)) return;
    for (size_t i = fail_i_; i < back_i_; ++i) {
      CharPos cp;
      if (covers) {
        cp = CharPos{cols_[ib], EndColumn(ie), true, true, i == fail_i_, i + 1 == back_i_};
      } else {
        unsigned b = fail_k_ < n_ ? cols_[fail_k_] : (n_ ? cols_[n_ - 1] : 0);
        cp = CharPos{b, std::max(EndColumn(back_k_), b + 1), false, false, false, false};
      }
      At(i) = cp;
    }
  }

  const std::string& text_;
  const std::string& oline_;
  const std::vector<unsigned>& cols_;
  const size_t n_;
  std::vector<unsigned> chars_;                    // offsets of the code characters
  std::vector<CharPos> pos_;                       // by index into chars_
  std::vector<unsigned char> set_;                 // whether pos_ was given
  std::vector<std::pair<size_t, size_t>> pieces_;  // [first, end) in chars_
  std::vector<bool> sys_;                          // per piece
  // From the front: where it stopped, and the invocation being expanded.
  size_t fail_i_ = 0, fail_k_ = 0;
  bool in_inv_ = false, after_arg_ = false;
  size_t inv_b_ = 0, inv_e_ = 0, inv_args_ = 0, cursor_ = 0, last_sys_ = 0;
  // From the back: where it stopped.
  size_t back_i_ = 0, back_k_ = 0;
};

}  // namespace

bool IdentChar(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_'; }

namespace {

// True when one of the 8 bytes in `v` is '/', '"' or '\'' (the test for a
// zero byte on v with each of them taken out, which never misses one and
// reports one only when there is one).
bool SlashOrQuote(uint64_t v) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
  const uint64_t a = v ^ (kOnes * '/'), b = v ^ (kOnes * '"'), c = v ^ (kOnes * '\'');
  return (((a - kOnes) & ~a) | ((b - kOnes) & ~b) | ((c - kOnes) & ~c)) & kHigh;
}

// The comment state alone, for every line of a preprocessed unit: most bytes
// are neither '/', '*' in a comment, nor a quote, and are passed over fast,
// 8 at a time outside comments and literals.
void CommentState(const char* line, size_t n, bool* comment) {
  char quote = 0;
  size_t k = 0;
  while (k < n) {
    if (!*comment && !quote) {
      uint64_t v;
      while (k + 8 <= n) {
        std::memcpy(&v, line + k, 8);
        if (SlashOrQuote(v)) break;
        k += 8;
      }
      if (k >= n) return;
    }
    if (*comment) {
      const void* star = std::memchr(line + k, '*', n - k);
      if (!star) return;
      k = static_cast<size_t>(static_cast<const char*>(star) - line);
      if (k + 1 < n && line[k + 1] == '/') {
        *comment = false;
        ++k;
      }
      ++k;
      continue;
    }
    const char c = line[k];
    if (quote) {
      if (c == '\\' && k + 1 < n) {
        ++k;
      } else if (c == quote) {
        quote = 0;
      }
    } else if (c == '/' && k + 1 < n) {
      if (line[k + 1] == '/') return;
      if (line[k + 1] == '*') {
        *comment = true;
        ++k;
      }
    } else if (c == '"' || c == '\'') {
      quote = c;
    }
    ++k;
  }
}

}  // namespace

void CodeColumns(const char* line, size_t n, bool* comment, std::vector<unsigned>* out) {
  if (!out) {
    CommentState(line, n, comment);
    return;
  }
  out->reserve(out->size() + n);  // one allocation, not one per doubling
  char quote = 0;
  for (size_t k = 0; k < n; ++k) {
    char c = line[k];
    if (*comment) {
      if (c == '*' && k + 1 < n && line[k + 1] == '/') {
        *comment = false;
        ++k;
      }
      continue;
    }
    if (quote) {
      if (c == '\\' && k + 1 < n) {
        if (out) out->push_back(static_cast<unsigned>(k));
        ++k;  // the escaped character counts, even a space
      } else if (c == quote) {
        quote = 0;
      }
      if (out && !IsSpace(c)) out->push_back(static_cast<unsigned>(k));
      continue;
    }
    if (c == '/' && k + 1 < n) {
      if (line[k + 1] == '/') break;
      if (line[k + 1] == '*') {
        *comment = true;
        ++k;
        continue;
      }
    }
    if (c == '"' || c == '\'') quote = c;
    if (out && !IsSpace(c)) out->push_back(static_cast<unsigned>(k));
  }
}

std::vector<unsigned> CodeColumns(const std::string& line, bool* comment) {
  std::vector<unsigned> out;
  CodeColumns(line.data(), line.size(), comment, &out);
  return out;
}

LinePositions AlignLine(const std::string& text, const std::vector<Piece>& pieces,
                        const std::string& oline, const std::vector<unsigned>& cols) {
  Aligner a(text, pieces, oline, cols);
  a.Run();
  return a.Result();
}

}  // namespace qelcc
