// orrin_drive: calls every function of the sample project with the test cases
// of its group's test-vector file. Everything on standard output comes from
// the sample functions; the driver's own messages go to standard error.
#include "drivers.h"
#include "runner.h"

#ifndef ORRIN_PROJECT_ROOT
#error "ORRIN_PROJECT_ROOT must name the sample project's root folder"
#endif

namespace {

// The groups in calling order, each with its functions in calling order.
std::vector<Group> Groups() {
  return {
      {"/Korvo_Projects/Value/Value_ArrayType.json",
       {{"ArrayTypeOne", drive_ArrayTypeOne},
        {"ArrayTypeTwo", drive_ArrayTypeTwo},
        {"ArrayTypeThree", drive_ArrayTypeThree},
        {"ArrayTypeNoSize", drive_ArrayTypeNoSize},
        {"ArrayTypeTest1", drive_ArrayTypeTest1},
        {"ArrayTypeTest2", drive_ArrayTypeTest2}}},
      {"/Korvo_Projects/Value/Value_BoolType.json", {}},
      {"/Korvo_Projects/Value/Value_BuiltinType.json",
       {{"BuiltinTypeChar", drive_BuiltinTypeChar},
        {"BuiltinTypeShort", drive_BuiltinTypeShort},
        {"BuiltinTypeInt", drive_BuiltinTypeInt},
        {"BuiltinTypeLong", drive_BuiltinTypeLong},
        {"BuiltinTypeLongLong", drive_BuiltinTypeLongLong},
        {"BuiltinTypeFloat", drive_BuiltinTypeFloat},
        {"BuiltinTypeDouble", drive_BuiltinTypeDouble},
        {"BuiltinTypeLongDouble", drive_BuiltinTypeLongDouble}}},
      {"/Korvo_Projects/Value/Value_EnumType.json",
       {{"EnumTypeTest", drive_EnumTypeTest}, {"UionTypeTest", drive_UionTypeTest}}},
      {"/Korvo_Projects/Value/Value_ListNode.json",
       {{"InitLinkedList", drive_InitLinkedList},
        {"CreateLinkedListHead", drive_CreateLinkedListHead},
        {"CreateLinkedListTail", drive_CreateLinkedListTail},
        {"InsertLinkedList", drive_InsertLinkedList},
        {"output", drive_output},
        {"deleteLinkedList", drive_deleteLinkedList},
        {"GetElem", drive_GetElem},
        {"getlength", drive_getlength},
        {"ClearList", drive_ClearList}}},
      {"/Korvo_Projects/Value/Value_PointType.json",
       {{"PointTypeOne", drive_PointTypeOne},
        {"PointTypeTwo", drive_PointTypeTwo},
        {"PointTypeThree", drive_PointTypeThree},
        {"PointTypeTest1", drive_PointTypeTest1},
        {"PointTypeTest2", drive_PointTypeTest2},
        {"point", drive_point}}},
      {"/Korvo_Projects/Value/Value_StructorUnionType.json",
       {{"StructTypeTest1", drive_StructTypeTest1},
        {"StructTypeTest2", drive_StructTypeTest2},
        {"StructTypeTest3", drive_StructTypeTest3},
        {"StructTypeTest4", drive_StructTypeTest4}}},
  };
}

}  // namespace

int main(int argc, char** argv) {
  return DriverMain(argc, argv, {"orrin_drive", ORRIN_PROJECT_ROOT, Groups()});
}
