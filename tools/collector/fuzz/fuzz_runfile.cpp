// libFuzzer harness for the binary saved run's reader. Every input is read
// as a run file (the header put in front when the input lacks it, so the
// fuzzer spends its time on records). Besides the sanitizers' checks it
// holds the reader to its contract:
//   - a refusal names the offset of the record it stopped at;
//   - what it reads, written again and read back, is the same messages
//     from the same senders.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "runfile.hpp"
#include "runfile_binary.hpp"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "contract broken: %s\n", what);
  std::abort();
}

bool readAll(const std::string& file, std::vector<qelc::Message>* out, std::string* error) {
  return qelc::readBinaryRun(
      reinterpret_cast<const uint8_t*>(file.data()), file.size(),
      [&](qelc::Message&& m, double) { out->push_back(std::move(m)); }, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace qelc;
  std::string file(reinterpret_cast<const char*>(data), size);
  if (!isBinaryRun(data, size)) file = BinaryRunEncoder::header() + file;
  std::vector<Message> read;
  std::string error;
  if (!readAll(file, &read, &error)) {
    if (error.rfind("offset ", 0) != 0) fail("refusal without its offset");
    return 0;
  }
  BinaryRunEncoder enc;
  std::string again = BinaryRunEncoder::header();
  for (const Message& m : read) enc.add(m, 0, &again);
  std::vector<Message> back;
  if (!readAll(again, &back, &error)) fail("a run written again cannot be read");
  if (back.size() != read.size()) fail("a run written again has other messages");
  for (std::size_t i = 0; i < read.size(); ++i)
    if (toJson(back[i], 0) != toJson(read[i], 0) || back[i].origin != read[i].origin)
      fail("a message written again reads otherwise");
  return 0;
}
