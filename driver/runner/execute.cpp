#include "execute.h"

// dup, dup2 and close: MinGW-w64 has them too.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

#include "execute_port.h"
#include "expect.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Points standard output's descriptor at a temporary file for the life of
// the object, so that output written by any means is caught. The stdio
// buffer is flushed around the switch, so nothing goes to the wrong side.
class CaptureStdout {
 public:
  CaptureStdout() {
    file_ = std::tmpfile();
    if (file_ == nullptr) return;
    std::fflush(stdout);
    saved_ = dup(1);
    if (saved_ < 0 || dup2(fileno(file_), 1) < 0) {
      if (saved_ >= 0) close(saved_);
      std::fclose(file_);
      file_ = nullptr;
    }
  }
  ~CaptureStdout() { Restore(); }
  CaptureStdout(const CaptureStdout&) = delete;
  CaptureStdout& operator=(const CaptureStdout&) = delete;

  bool active() const { return file_ != nullptr; }

  // Back to the original descriptor; returns what was written meanwhile.
  std::string Restore() {
    std::string text;
    if (file_ == nullptr) return text;
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    std::rewind(file_);
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) text.append(buffer, n);
    std::fclose(file_);
    file_ = nullptr;
    return text;
  }

 private:
  int saved_ = -1;
  std::FILE* file_ = nullptr;
};

void BadVector(CaseResult& result, const std::string& member, const std::string& problem) {
  result.verdict = Verdict::kError;
  result.badVector = true;
  result.member = member;
  result.problem = problem;
  result.message = member.empty() ? problem : "member \"" + member + "\": " + problem;
}

// The test case's own object, or null when the file has none.
Json::Value CaseValue(const Json::Value& root, const std::string& key) {
  if (!root.isObject() || !root.isMember(key)) return Json::Value();
  return root[key];
}

}  // namespace

CaseResult RunCase(const Function& function, const Json::Value& root, int index,
                   const CaseOptions& options) {
  const Clock::time_point start = Clock::now();
  CaseResult result;
  const std::string key = MakeCaseKey(function.name, index);
  const Json::Value testCase = CaseValue(root, key);
  Json::Value expect;
  std::string input;
  bool hasInput = false;
  if (testCase.isObject()) {
    expect = testCase.get(kExpectMember, Json::Value());
    if (!expect.isNull()) {
      const std::string problem = ExpectationProblem(expect);
      if (!problem.empty()) {
        BadVector(result, kExpectMember, problem);
        return result;
      }
    }
    if (testCase.isMember(kStdinMember)) {
      if (!testCase[kStdinMember].isString()) {
        BadVector(result, kStdinMember, "expected a string of standard input");
        return result;
      }
      input = testCase[kStdinMember].asString();
      hasInput = true;
    }
  }
  const bool wantsOutput = expect.isObject() && expect.isMember(kExpectStdout);

  CaseRecord record;
  {
    std::optional<FeedStdin> in;
    if (hasInput) in.emplace(input);
    std::optional<CaptureStdout> out;
    if (options.capture || options.record || wantsOutput) out.emplace();
    try {
      function.drive(root, index, &record);
    } catch (const VectorError& e) {
      BadVector(result, e.member(), e.problem());
    } catch (const SkippedCall& e) {
      result.verdict = Verdict::kSkipped;
      result.message = e.why();
    } catch (const Json::Exception& e) {
      // Every read is checked before jsoncpp sees it; this is the net
      // for anything that slips through.
      BadVector(result, "", e.what());
    } catch (const std::bad_alloc&) {
      BadVector(result, "", "out of memory building the arguments");
    }
    if (out && out->active()) {
      result.captured = true;
      result.output = out->Restore();
      if (!options.capture) {
        std::fwrite(result.output.data(), 1, result.output.size(), stdout);
        std::fflush(stdout);
      }
    }
  }
  result.unread = record.unread;
  if (result.verdict == Verdict::kPassed && options.strict && !result.unread.empty()) {
    result.verdict = Verdict::kFailed;
    for (const std::string& name : result.unread)
      result.message += std::string(result.message.empty() ? "" : "; ") + "member \"" + name +
                        "\" is not read by the driver";
  }
  if (result.verdict == Verdict::kPassed && expect.isObject()) {
    const std::vector<std::string> misses =
        CheckExpectation(expect, record.actual, result.captured ? &result.output : nullptr);
    for (const std::string& miss : misses)
      result.message += (result.message.empty() ? "" : "; ") + miss;
    if (!misses.empty()) result.verdict = Verdict::kFailed;
  }
  result.seconds = SecondsSince(start);
  return result;
}
