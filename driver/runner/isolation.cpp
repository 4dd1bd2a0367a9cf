#include "isolation.h"

#include <cstdio>

void WireWriter::U32(std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

void WireWriter::Text(const std::string& text) {
  U32(static_cast<std::uint32_t>(text.size()));
  bytes_ += text;
}

bool WireReader::U32(std::uint32_t& value) {
  if (bytes_.size() - at_ < 4) return false;
  value = 0;
  for (int i = 0; i < 4; ++i)
    value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes_[at_ + i])) << (8 * i);
  at_ += 4;
  return true;
}

bool WireReader::Text(std::string& text) {
  std::uint32_t n;
  if (!U32(n) || bytes_.size() - at_ < n) return false;
  text.assign(bytes_, at_, n);
  at_ += n;
  return true;
}

std::string EncodeCaseResult(const CaseResult& r) {
  WireWriter out;
  out.U32(static_cast<std::uint32_t>(r.verdict));
  out.U32((r.badVector ? 1u : 0u) | (r.captured ? 2u : 0u));
  out.Text(r.message);
  out.Text(r.member);
  out.Text(r.problem);
  out.Text(r.output);
  out.U32(static_cast<std::uint32_t>(r.unread.size()));
  for (const std::string& name : r.unread) out.Text(name);
  return out.bytes();
}

bool DecodeCaseResult(const std::string& bytes, CaseResult& r) {
  WireReader in(bytes);
  std::uint32_t verdict, flags, unread;
  if (!in.U32(verdict) || verdict > static_cast<std::uint32_t>(Verdict::kError)) return false;
  if (!in.U32(flags) || !in.Text(r.message) || !in.Text(r.member) || !in.Text(r.problem) ||
      !in.Text(r.output) || !in.U32(unread))
    return false;
  r.verdict = static_cast<Verdict>(verdict);
  r.badVector = (flags & 1u) != 0;
  r.captured = (flags & 2u) != 0;
  for (std::uint32_t i = 0; i < unread; ++i) {
    std::string name;
    if (!in.Text(name)) return false;
    r.unread.push_back(name);
  }
  return in.AtEnd();
}

std::string TimedOutMessage(double timeoutSeconds) {
  char limit[32];
  std::snprintf(limit, sizeof limit, "%g", timeoutSeconds);
  return std::string("timed out after ") + limit + " s";
}

std::string EndedEarlyMessage(unsigned long status) {
  return "ended with exit status " + std::to_string(status) + " before the test case finished";
}
