// One driver routine per function of the sample project. Each takes its own
// copy of the parsed file's root and the test-case index, calls the function
// once with the test case's values and returns 0. A bad test vector ends the
// routine with a VectorError before the call, a call that would break the
// callee's limits with a SkippedCall. Given a record, a routine also stores
// there what the call returned and left in its output parameters and globals.
#ifndef ORRIN_DRIVE_DRIVERS_H
#define ORRIN_DRIVE_DRIVERS_H

#include <json/json.h>

#include "orrin.h"
#include "vectors.h"

// Scalars, enumeration, union
int drive_BuiltinTypeChar(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_BuiltinTypeShort(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_BuiltinTypeInt(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_BuiltinTypeLong(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_BuiltinTypeLongLong(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_BuiltinTypeFloat(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_BuiltinTypeDouble(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_BuiltinTypeLongDouble(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_EnumTypeTest(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_UionTypeTest(Json::Value root, int index, CaseRecord* record = nullptr);

// Arrays and pointers
int drive_ArrayTypeOne(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_ArrayTypeTwo(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_ArrayTypeThree(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_ArrayTypeNoSize(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_ArrayTypeTest1(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_ArrayTypeTest2(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_PointTypeOne(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_PointTypeTwo(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_PointTypeThree(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_PointTypeTest1(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_PointTypeTest2(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_point(Json::Value root, int index, CaseRecord* record = nullptr);

// Linked lists
int drive_InitLinkedList(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_CreateLinkedListHead(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_CreateLinkedListTail(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_InsertLinkedList(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_output(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_deleteLinkedList(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_GetElem(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_getlength(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_ClearList(Json::Value root, int index, CaseRecord* record = nullptr);

// Structures
int drive_StructTypeTest1(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_StructTypeTest2(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_StructTypeTest3(Json::Value root, int index, CaseRecord* record = nullptr);
int drive_StructTypeTest4(Json::Value root, int index, CaseRecord* record = nullptr);

// The largest run of ints PointTypeOne is given beyond what its test vector
// holds; "length" asks for it to be printed, so more is never meaningful.
constexpr int kMaxPointTypeOneLength = 1 << 20;

// The most elements a list builder is asked to read: each is a node of its
// own, so a larger "n" would exhaust memory instead of testing anything.
constexpr int kMaxListLength = 1 << 20;

// A list after a call: its head's "data" and its elements in order.
Json::Value ListToJson(const LNode* head);

// Shared by the structure routines; exposed for the unit tests.
void BuildStructOne(const Member& s, StructOne& out);

#endif  // ORRIN_DRIVE_DRIVERS_H
