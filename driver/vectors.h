// Reading test cases out of a parsed test-vector file.
//
// Every read goes through `Member`, which knows where it is in the file
// (test case and member path). A value of the wrong JSON kind, or one that
// jsoncpp cannot convert, becomes a `VectorError` carrying that location, so
// the run can end with a message instead of an uncaught jsoncpp exception.
#ifndef ORRIN_DRIVE_VECTORS_H
#define ORRIN_DRIVE_VECTORS_H

#include <json/json.h>

#include <stdexcept>
#include <string>

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

// A view of one value inside a test case. It refers into the test case's own
// copy of the file's value, so reads of missing members add nulls there only.
class Member {
public:
    Member(Json::Value& value, const std::string& testCase, std::string path);

    Member operator[](const char* name) const;  // object member; missing reads as null
    Member operator[](int index) const;         // array element; missing reads as null

    bool isNull() const { return value_->isNull(); }
    int asInt() const;                  // 32-bit signed; reals truncated; true/false 1/0
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
};

// The test case `function` + index taken out of (a copy of) the file's root.
class TestCase {
public:
    TestCase(Json::Value& root, const std::string& function, int index);
    TestCase(const TestCase&) = delete;
    TestCase& operator=(const TestCase&) = delete;

    Member operator[](const char* name) const { return top()[name]; }
    Member top() const;
    const std::string& key() const { return key_; }

private:
    std::string key_;
    mutable Json::Value value_;
};

// Storage for counted arguments; never released, as the callee may keep it.
int* ReadCountedInts(const Member& array, int* count = nullptr);
int** ReadCountedRows(const Member& rows);

// Where notes about skipped calls are attributed; set by main per group.
void SetCurrentVectorFile(const std::string& path);
const std::string& CurrentVectorFile();
void NoteSkippedCall(const std::string& testCase, const std::string& why);

#endif  // ORRIN_DRIVE_VECTORS_H
