// Reading test cases out of a parsed test-vector file.
//
// Every read goes through `Member`, which knows where it is in the file
// (test case and member path). A value of the wrong JSON kind, or one that
// jsoncpp cannot convert, becomes a `VectorError` carrying that location, so
// the run can end with a message instead of an uncaught jsoncpp exception.
#ifndef ORRIN_DRIVE_VECTORS_H
#define ORRIN_DRIVE_VECTORS_H

#include <json/json.h>

#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

void IntToText(const int& value, std::string& text);
std::string MakeCaseKey(std::string name, int index);

class VectorError : public std::runtime_error {
 public:
  VectorError(const std::string& testCase, const std::string& member, const std::string& problem);
  const std::string& testCase() const { return testCase_; }
  const std::string& member() const { return member_; }  // empty: the test case itself
  const std::string& problem() const { return problem_; }

 private:
  std::string testCase_;
  std::string member_;
  std::string problem_;
};

// A call that the driver withholds because it would break the callee's
// limits. Carries what main needs for its note, like VectorError, so the
// routines never depend on which file is being run.
class SkippedCall : public std::runtime_error {
 public:
  SkippedCall(const std::string& testCase, const std::string& why);
  const std::string& testCase() const { return testCase_; }
  const std::string& why() const { return why_; }

 private:
  std::string testCase_;
  std::string why_;
};

// What one call left behind, filled in by a routine for the checks of the
// test case's "expect" object: the result under "return", and every output
// parameter and global under its own name, read after the call. `unread`
// lists the members of the test case that the routine never read (typos).
struct CaseRecord {
  Json::Value actual{Json::objectValue};
  std::vector<std::string> unread;
};

// Members of a test case that belong to the runner, not to the function.
constexpr const char* kExpectMember = "expect";
constexpr const char* kStdinMember = "stdin";

// A view of one value inside a test case. It refers into the test case's own
// copy of the file's value, so reads of missing members add nulls there only.
class Member {
 public:
  Member(Json::Value& value, const std::string& testCase, std::string path,
         std::set<std::string>* reached = nullptr);

  Member operator[](const char* name) const;  // object member; missing reads as null
  Member operator[](int index) const;         // array element; missing reads as null

  bool isNull() const { return value_->isNull(); }
  int asInt() const;  // 32-bit signed; reals truncated; true/false 1/0
  double asDouble() const;
  std::string asString() const;
  // The counting rule: leading elements that are not null.
  int count() const;

  const std::string& path() const { return path_; }

 private:
  [[noreturn]] void fail(const std::string& problem) const;
  void requireNumber() const;

  Json::Value* value_;
  const std::string* testCase_;
  std::string path_;
  std::set<std::string>* reached_;  // paths read so far; null: not tracked
};

// The test case `function` + index taken out of (a copy of) the file's root.
class TestCase {
 public:
  // With a record, the members never read are listed in it when the test
  // case ends, and Observe stores what the call left behind.
  TestCase(Json::Value& root, const std::string& function, int index, CaseRecord* record = nullptr);
  ~TestCase();
  TestCase(const TestCase&) = delete;
  TestCase& operator=(const TestCase&) = delete;

  Member operator[](const char* name) const { return top()[name]; }
  Member top() const;
  const std::string& key() const { return key_; }

  void Observe(const char* name, Json::Value value) const;

 private:
  std::string key_;
  mutable Json::Value value_;
  CaseRecord* record_;
  // Owned here so that Members handed out keep a stable address to add to.
  std::unique_ptr<std::set<std::string>> reached_;
};

// Members of `value` (an object reached at `path`) that are not in `reached`,
// recursing into every object and array element that was reached.
void CollectUnread(const Json::Value& value, const std::string& path,
                   const std::set<std::string>& reached, std::vector<std::string>& unread);

// Values after a call, as the "expect" object writes them.
Json::Value IntsToJson(const int* values, int count);

// A driver routine: the parsed file's root (a copy of its own), the test-case
// index, and where to record what the call left behind (may be null).
using DriveRoutine = int (*)(Json::Value root, int index, CaseRecord* record);

// Storage for counted arguments; never released, as the callee may keep it.
int* ReadCountedInts(const Member& array, int* count = nullptr);
int** ReadCountedRows(const Member& rows);

// A vector's number as a float parameter gets it: rounded to the nearest
// float as C converts it, so 3.4028235e38 is FLT_MAX; only what rounds past
// FLT_MAX becomes an infinity of its sign. Converting such a value directly
// would be undefined behaviour in C++.
float NarrowToFloat(double value);

#endif  // ORRIN_DRIVE_VECTORS_H
