#include "vectors.h"

#include <cstdio>
#include <limits>
#include <memory>
#include <sstream>

void IntToText(const int& value, std::string& text) {
  std::stringstream stream(std::ios::in | std::ios::out);
  stream << value;
  text = stream.str();
}

std::string MakeCaseKey(std::string name, int index) {
  std::string number;
  IntToText(index, number);
  return name + number;
}

VectorError::VectorError(const std::string& testCase, const std::string& member,
                         const std::string& problem)
    : std::runtime_error(problem), testCase_(testCase), member_(member), problem_(problem) {}

namespace {

const char* KindName(const Json::Value& value) {
  switch (value.type()) {
    case Json::nullValue:
      return "null";
    case Json::intValue:
    case Json::uintValue:
    case Json::realValue:
      return "a number";
    case Json::stringValue:
      return "a string";
    case Json::booleanValue:
      return "a boolean";
    case Json::arrayValue:
      return "an array";
    case Json::objectValue:
      return "an object";
  }
  return "an unknown value";
}

std::string NumberText(const Json::Value& value) {
  if (value.isUInt64() && !value.isInt64()) return std::to_string(value.asLargestUInt());
  if (value.type() == Json::intValue || value.type() == Json::uintValue)
    return std::to_string(value.asLargestInt());
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.17g", value.asDouble());
  return buffer;
}

bool IsNumberLike(const Json::Value& value) {
  return value.isNull() || value.isNumeric() || value.isBool();
}

}  // namespace

SkippedCall::SkippedCall(const std::string& testCase, const std::string& why)
    : std::runtime_error(why), testCase_(testCase), why_(why) {}

Member::Member(Json::Value& value, const std::string& testCase, std::string path,
               std::set<std::string>* reached)
    : value_(&value), testCase_(&testCase), path_(std::move(path)), reached_(reached) {
  if (reached_ != nullptr) reached_->insert(path_);
}

void Member::fail(const std::string& problem) const {
  throw VectorError(*testCase_, path_, problem);
}

Member Member::operator[](const char* name) const {
  if (!value_->isNull() && !value_->isObject())
    fail(std::string("expected an object, found ") + KindName(*value_));
  std::string path = path_.empty() ? std::string(name) : path_ + "." + name;
  return Member((*value_)[name], *testCase_, std::move(path), reached_);
}

Member Member::operator[](int index) const {
  if (!value_->isNull() && !value_->isArray())
    fail(std::string("expected an array, found ") + KindName(*value_));
  std::string number;
  IntToText(index, number);
  return Member((*value_)[static_cast<Json::ArrayIndex>(index)], *testCase_,
                path_ + "[" + number + "]", reached_);
}

void Member::requireNumber() const {
  if (!IsNumberLike(*value_)) fail(std::string("expected a number, found ") + KindName(*value_));
}

int Member::asInt() const {
  requireNumber();
  try {
    return value_->asInt();
  } catch (const Json::Exception&) {
    fail(NumberText(*value_) + " does not fit a 32-bit int");
  }
}

double Member::asDouble() const {
  requireNumber();
  try {
    return value_->asDouble();
  } catch (const Json::Exception& e) {
    fail(e.what());
  }
}

std::string Member::asString() const {
  if (!value_->isNull() && !value_->isString())
    fail(std::string("expected a string, found ") + KindName(*value_));
  try {
    return value_->asString();
  } catch (const Json::Exception& e) {
    fail(e.what());
  }
}

int Member::count() const {
  if (!value_->isNull() && !value_->isArray())
    fail(std::string("expected an array, found ") + KindName(*value_));
  int n = 0;
  // A JSON array cannot hold more elements than an int counts in any file
  // the driver could read, so n cannot overflow before the first null.
  while (!(*this)[n].isNull()) ++n;
  return n;
}

TestCase::TestCase(Json::Value& root, const std::string& function, int index, CaseRecord* record)
    : key_(MakeCaseKey(function, index)), record_(record) {
  if (record_ != nullptr) {
    reached_ = std::make_unique<std::set<std::string>>();
    reached_->insert("");
  }
  if (!root.isNull() && !root.isObject())
    throw VectorError(
        key_, "",
        std::string("the file's top-level value is ") + KindName(root) + ", not an object");
  value_ = root[key_];
  if (!value_.isNull() && !value_.isObject())
    throw VectorError(key_, "", std::string("expected an object, found ") + KindName(value_));
}

TestCase::~TestCase() {
  if (record_ == nullptr) return;
  try {
    CollectUnread(value_, "", *reached_, record_->unread);
  } catch (...) {
    // Only a failed allocation can get here; the typo report is lost,
    // the run is not.
  }
}

Member TestCase::top() const { return Member(value_, key_, "", reached_.get()); }

void TestCase::Observe(const char* name, Json::Value value) const {
  if (record_ != nullptr) record_->actual[name] = std::move(value);
}

void CollectUnread(const Json::Value& value, const std::string& path,
                   const std::set<std::string>& reached, std::vector<std::string>& unread) {
  if (reached.count(path) == 0) return;
  if (value.isObject()) {
    for (const std::string& name : value.getMemberNames()) {
      if (path.empty() && (name == kExpectMember || name == kStdinMember)) continue;
      const std::string inner = path.empty() ? name : path + "." + name;
      if (reached.count(inner) == 0)
        unread.push_back(inner);
      else
        CollectUnread(value[name], inner, reached, unread);
    }
  } else if (value.isArray()) {
    for (Json::ArrayIndex i = 0; i < value.size(); ++i)
      CollectUnread(value[i], path + "[" + std::to_string(i) + "]", reached, unread);
  }
}

Json::Value IntsToJson(const int* values, int count) {
  Json::Value out(Json::arrayValue);
  for (int j = 0; j < count; ++j) out.append(values[j]);
  return out;
}

int* ReadCountedInts(const Member& array, int* count) {
  const int n = array.count();
  std::unique_ptr<int[]> block(new int[n]);
  for (int j = 0; j < n; ++j) block[j] = array[j].asInt();
  if (count != nullptr) *count = n;
  return block.release();
}

int** ReadCountedRows(const Member& rows) {
  const int n = rows.count();
  std::unique_ptr<int*[]> block(new int*[n]);
  for (int r = 0; r < n; ++r) block[r] = ReadCountedInts(rows[r]);
  return block.release();
}

float NarrowToFloat(double value) {
  // Halfway between FLT_MAX and the next power of two, 2^128: from there on
  // (the tie included, FLT_MAX being odd) the nearest float is infinite.
  constexpr double kFirstInfinite = 0x1.ffffffp+127;
  static_assert(kFirstInfinite > std::numeric_limits<float>::max(), "above FLT_MAX");
  if (value >= kFirstInfinite) return std::numeric_limits<float>::infinity();
  if (value <= -kFirstInfinite) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}
