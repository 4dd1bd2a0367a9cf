#pragma once
// Evaluation paths of a decision, numbered the way qelcc's path counters
// count them and decoded the way the runtime reads them back.
//
// A decision's conditions are evaluated left to right with short-circuit:
// each condition, by its value, leads to a later condition or ends the
// decision true or false (the `next` bytes of struct __qel_decision). The
// paths from the first condition to an end are numbered as Ball and Larus
// number the paths of a graph without cycles: paths(end) = 1, paths(c) =
// paths(true successor) + paths(false successor); a path's number is the
// sum, over the false edges it takes, of paths(true successor of that
// edge's condition). Each path gets a unique number in [0, paths(first)),
// built up as the conditions are evaluated by constant increments on false
// edges, as clang builds its MC/DC test-vector index.
//
// A path determines everything the call-per-event probes report of one
// evaluation: the decision's outcome, each condition's value or its absence,
// and the MC/DC condition codes (slot per condition: true, false, skipped
// when a later condition was evaluated, unset after the last evaluated one).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "qelmq/protocol/counters.h"
#include "qelmq/protocol/records.h"

namespace qel_wire {

inline constexpr int kMaxCounterConditions = QEL_COUNTERS_MAX_CONDITIONS;
inline constexpr uint32_t kMaxCounterPaths = QEL_COUNTERS_MAX_PATHS;
inline constexpr uint8_t kPathTrue = QEL_PATH_TRUE;
inline constexpr uint8_t kPathFalse = QEL_PATH_FALSE;

// Code words of a vector of up to kMaxCounterConditions conditions: word w
// holds slots 16w to 16w + 15 in the layout of the 16-slot condition
// string (records.h).
inline constexpr int kWideCodeWords = kMaxCounterConditions / kConditionSlots;

struct WideCodes {
  uint32_t word[kWideCodeWords] = {kAllUnset, kAllUnset, kAllUnset, kAllUnset};
  friend bool operator==(const WideCodes& a, const WideCodes& b) {
    for (int i = 0; i < kWideCodeWords; ++i)
      if (a.word[i] != b.word[i]) return false;
    return true;
  }
  friend bool operator!=(const WideCodes& a, const WideCodes& b) { return !(a == b); }
  friend bool operator<(const WideCodes& a, const WideCodes& b) {
    for (int i = 0; i < kWideCodeWords; ++i)
      if (a.word[i] != b.word[i]) return a.word[i] < b.word[i];
    return false;
  }
};

constexpr CondCode wide_code(const WideCodes& c, int slot) {
  return slot_code(c.word[slot / kConditionSlots], slot % kConditionSlots);
}

inline void set_wide_code(WideCodes& c, int slot, CondCode code) {
  uint32_t& w = c.word[slot / kConditionSlots];
  w = with_slot(w, slot % kConditionSlots, code);
}

static_assert(kWideCodeWords * kConditionSlots == kMaxCounterConditions,
              "the wide vector holds every condition a path counter can");
static_assert(kPathTrue != kPathFalse && kPathFalse >= kMaxCounterConditions,
              "successor marks lie beyond every condition index");

// True when `next` (2 bytes per condition) describes a decision that the
// functions below can number: every successor is a later condition or an
// end, and every condition but the first is some condition's successor.
inline bool paths_well_formed(const uint8_t* next, int conditions) {
  if (conditions < 1 || conditions > kMaxCounterConditions) return false;
  std::vector<bool> reached(static_cast<std::size_t>(conditions), false);
  reached[0] = true;
  for (int c = 0; c < conditions; ++c) {
    for (int e = 0; e < 2; ++e) {
      const uint8_t s = next[2 * c + e];
      if (s == kPathTrue || s == kPathFalse) continue;
      if (s <= c || s >= conditions) return false;
      reached[s] = true;
    }
  }
  for (bool r : reached)
    if (!r) return false;
  return true;
}

// paths(c) for every condition c, and paths of the decision (that of
// condition 0) as the result; saturates at kMaxCounterPaths + 1, so a
// decision with too many paths is recognised without overflow. `next` must
// be well formed.
inline uint32_t number_paths(const uint8_t* next, int conditions, std::vector<uint32_t>* from) {
  from->assign(static_cast<std::size_t>(conditions), 0);
  auto of = [&](uint8_t s) -> uint32_t {
    return s == kPathTrue || s == kPathFalse ? 1u : (*from)[s];
  };
  for (int c = conditions - 1; c >= 0; --c) {
    uint32_t n = of(next[2 * c]) + of(next[2 * c + 1]);
    (*from)[static_cast<std::size_t>(c)] = n > kMaxCounterPaths ? kMaxCounterPaths + 1 : n;
  }
  return (*from)[0];
}

// What one false edge adds to the path index: the paths through the true
// successor of its condition.
inline uint32_t false_edge_increment(const uint8_t* next, int condition,
                                     const std::vector<uint32_t>& from) {
  const uint8_t t = next[2 * condition];
  return t == kPathTrue || t == kPathFalse ? 1u : from[t];
}

// One evaluation path: the decision's outcome, which conditions were
// evaluated and how, in the condition-string codes.
struct DecisionPath {
  bool outcome = false;
  uint64_t evaluated = 0;  // bit c: condition c was evaluated
  uint64_t held = 0;       // bit c: ... and was true
  WideCodes codes;         // slots as the condition string would hold them
};

// Path `index` (< paths of the decision) of a well-formed decision of
// `conditions` conditions.
inline DecisionPath decode_path(const uint8_t* next, int conditions,
                                const std::vector<uint32_t>& from, uint32_t index) {
  DecisionPath p;
  if (conditions < 1) return p;
  int c = 0;
  int last = -1;
  for (;;) {
    const uint32_t through_true = false_edge_increment(next, c, from);
    const bool value = index < through_true;
    if (!value) index -= through_true;
    p.evaluated |= uint64_t{1} << c;
    if (value) p.held |= uint64_t{1} << c;
    // Conditions passed over since the last evaluated one were skipped by
    // short-circuit; those after the last stay unset.
    for (int k = last + 1; k < c; ++k) set_wide_code(p.codes, k, CondCode::Skipped);
    set_wide_code(p.codes, c, value ? CondCode::True : CondCode::False);
    last = c;
    const uint8_t s = next[2 * c + (value ? 0 : 1)];
    if (s == kPathTrue || s == kPathFalse) {
      p.outcome = s == kPathTrue;
      return p;
    }
    c = s;
  }
}

}  // namespace qel_wire
