// libFuzzer harness for the collector's decoders. Every input is decoded as
// a message of one channel (QEL_FUZZ_CHANNEL=node, condition, ...) or, when
// the variable is not set, of every channel in turn. Besides the sanitizers'
// checks it holds the decoders to their contract:
//   - a malformed message keeps its size and at most its first 64 bytes;
//   - what decodes as a binary record encodes back to the same bytes, by the
//     runtime's own encoders;
//   - a value record's header and items put together give the text back.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <variant>

#include "decode.hpp"
#include "qelmq/protocol/messages.h"

namespace {

int gChannel = -1;  // all channels

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "contract broken: %s\n", what);
  std::abort();
}

void check(qelc::Channel ch, const uint8_t* data, std::size_t size) {
  using namespace qelc;
  const Body body = decode(ch, data, size);
  if (const auto* m = std::get_if<Malformed>(&body)) {
    if (m->size != size) fail("malformed size");
    const std::size_t kept = size < kMalformedPrefix ? size : kMalformedPrefix;
    if (m->bytes.size() != kept || (kept && std::memcmp(m->bytes.data(), data, kept) != 0))
      fail("malformed prefix");
    if (m->reason.empty() || m->reason.size() > 300) fail("malformed reason");
    return;
  }
  namespace wire = qel_wire;
  constexpr bool kLittle = wire::kBootstrapLittleEndian;
  uint8_t re[wire::kMaxCountedMessage] = {};
  const auto same = [&](std::size_t n) { return size == n && std::memcmp(re, data, n) == 0; };
  const auto i32 = [](uint32_t v) { return static_cast<int32_t>(v); };
  if (const auto* n = std::get_if<NodeMsg>(&body)) {
    const uint64_t r = wire::node_record(n->unit, n->node, n->value, kLittle);
    if (!same(wire::encode_counted(r, i32(n->count), i32(n->seq), kLittle, re)))
      fail("node record round trip");
  } else if (const auto* c = std::get_if<CondMsg>(&body)) {
    const uint64_t r = wire::cond_record(c->unit, c->cond, c->held, c->group, kLittle);
    if (!same(wire::encode_counted(r, i32(c->count), i32(c->seq), kLittle, re)))
      fail("condition record round trip");
  } else if (const auto* x = std::get_if<McdcMsg>(&body)) {
    if (x->conditions > 0) {
      if (!same(wire::encode_wide_mcdc(x->unit, x->decision, x->outcome, codesOf(*x), x->conditions,
                                       x->group, i32(x->count), i32(x->seq), kLittle, re)))
        fail("wide MC/DC round trip");
      return;
    }
    const uint64_t r = wire::mcdc_record(x->unit, x->decision, x->outcome, x->codes);
    if (!same(wire::encode_mcdc(r, x->group, i32(x->count), i32(x->seq), kLittle, re)))
      fail("MC/DC record round trip");
  } else if (const auto* u = std::get_if<UnitMsg>(&body)) {
    if (!same(wire::encode_unit_identity(u->unit, u->identity, i32(u->seq), kLittle, re)))
      fail("unit identity round trip");
  } else if (const auto* v = std::get_if<ValueRecord>(&body)) {
    std::string text = v->header;
    for (const auto& item : v->items)
      text += wire::kItemStart + item.name + wire::kItemTagMark + item.tag + wire::kItemTagMark +
              item.value;
    if (size == 0 || text.size() != size - 1 || std::memcmp(text.data(), data, size - 1) != 0)
      fail("value text round trip");
  } else if (const auto* l = std::get_if<LastDataMsg>(&body)) {
    const std::size_t entry = wire::last_entry_size(l->kind);
    if (entry == 0 || l->entries.empty() || size != 1 + l->entries.size() * entry)
      fail("last-data entries");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* name = std::getenv("QEL_FUZZ_CHANNEL")) {
    for (const auto& c : qelc::kChannels)
      if (std::strcmp(c.name, name) == 0) gChannel = static_cast<int>(c.channel);
    if (gChannel < 0) {
      std::fprintf(stderr, "QEL_FUZZ_CHANNEL: unknown channel '%s'\n", name);
      std::exit(2);
    }
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (gChannel >= 0) {
    check(static_cast<qelc::Channel>(gChannel), data, size);
  } else {
    for (const auto& c : qelc::kChannels) check(c.channel, data, size);
  }
  return 0;
}
