// libFuzzer harness for the collector's decoders. Every input is decoded as
// a message of one channel (QEL_FUZZ_CHANNEL=node, condition, ...) or, when
// the variable is not set, of every channel in turn. Besides the sanitizers'
// checks it holds the decoders to their contract:
//   - a malformed message keeps its size and at most its first 64 bytes;
//   - what decodes as a binary record encodes back to the same bytes;
//   - a value record's header and items put together give the text back.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <variant>

#include "decode.hpp"

namespace {

int gChannel = -1;  // all channels

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "contract broken: %s\n", what);
  std::abort();
}

void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

void put32(uint8_t* p, uint32_t v) {
  put16(p, static_cast<uint16_t>(v >> 16));
  put16(p + 2, static_cast<uint16_t>(v));
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
  uint8_t re[19] = {};
  if (const auto* n = std::get_if<NodeMsg>(&body)) {
    put16(re, static_cast<uint16_t>(0x8000 | n->unit));
    put16(re + 2, n->node);
    put16(re + 4, n->value);
    re[8] = '0';
    put32(re + 9, n->count);
    put32(re + 13, n->seq);
    re[17] = '1';
    if (size != 18 || std::memcmp(re, data, 18) != 0) fail("node record round trip");
  } else if (const auto* c = std::get_if<CondMsg>(&body)) {
    put16(re, static_cast<uint16_t>(0x8000 | c->unit));
    put16(re + 2, c->cond);
    put16(re + 4, c->held ? 0x00CC : 0x0033);
    put16(re + 6, c->group);
    re[8] = '0';
    put32(re + 9, c->count);
    put32(re + 13, c->seq);
    re[17] = '1';
    if (size != 18 || std::memcmp(re, data, 18) != 0) fail("condition record round trip");
  } else if (const auto* x = std::get_if<McdcMsg>(&body)) {
    put16(re, static_cast<uint16_t>(0x8000 | x->unit));
    put16(re + 2, static_cast<uint16_t>((x->outcome ? 0x8000 : 0) | x->decision));
    for (int i = 0; i < 4; ++i) re[4 + i] = static_cast<uint8_t>(x->codes >> (8 * i));
    put16(re + 8, x->group);
    re[10] = '0';
    put32(re + 11, x->count);
    put32(re + 15, x->seq);
    if (size != 19 || std::memcmp(re, data, 19) != 0) fail("MC/DC record round trip");
  } else if (const auto* v = std::get_if<ValueRecord>(&body)) {
    std::string text = v->header;
    for (const auto& item : v->items) text += "$" + item.name + "#" + item.tag + "#" + item.value;
    if (size == 0 || text.size() != size - 1 || std::memcmp(text.data(), data, size - 1) != 0)
      fail("value text round trip");
  } else if (const auto* l = std::get_if<LastDataMsg>(&body)) {
    const std::size_t entry = l->kind == 1 ? 10 : l->kind == 2 ? 12 : 14;
    if (l->entries.empty() || size != 1 + l->entries.size() * entry) fail("last-data entries");
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
