// orrin_drive: calls every function of the sample project with the test case
// of its group's test-vector file. Everything on standard output comes from
// the sample functions; the driver's own messages go to standard error.
#include <array>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "drivers.h"

#ifndef ORRIN_PROJECT_ROOT
#error "ORRIN_PROJECT_ROOT must name the sample project's root folder"
#endif

namespace {

// Test cases run per function; only index 0 exists in the vector files.
constexpr int kCasesPerFunction = 1;

struct Function {
    const char* name;
    DriveRoutine drive;
};

struct Group {
    const char* file;
    std::vector<Function> functions;
};

const std::array<Group, 7>& Groups()
{
    static const std::array<Group, 7> groups = {{
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
    }};
    return groups;
}

// Declared in this order so that each group is torn down stream first,
// then reader, then root.
struct GroupState {
    Json::Value root;
    Json::Reader reader;
    std::ifstream stream;
};

void Complain(const std::string& file, const std::string& testCase, const std::string& member,
              const std::string& problem)
{
    // What the functions printed so far stays, and comes before the message.
    std::fflush(stdout);
    std::string where = file + ": test case \"" + testCase + "\"";
    if (!member.empty()) where += ", member \"" + member + "\"";
    std::fprintf(stderr, "orrin_drive: error: %s: %s\n", where.c_str(), problem.c_str());
}

void Warn(const std::string& file, const std::string& problem)
{
    std::fflush(stdout);
    std::fprintf(stderr,
                 "orrin_drive: warning: %s: %s; every test case of its group reads as null\n",
                 file.c_str(), problem.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 2) {
        std::fprintf(stderr, "usage: %s [project-root]\n", argv[0]);
        return 2;
    }
    const std::string projectRoot = argc == 2 ? argv[1] : ORRIN_PROJECT_ROOT;

    std::array<std::optional<GroupState>, 7> states;
    for (std::size_t g = 0; g < Groups().size(); ++g) {
        const Group& group = Groups()[g];
        const std::string path = projectRoot + group.file;
        GroupState& state = states[g].emplace();
        state.stream.open(path, std::ios::in);
        if (!state.stream.is_open()) {
            Warn(path, "cannot open the file");
        } else if (!state.reader.parse(state.stream, state.root, true)) {
            // The reader's report spans lines ("* Line 1, Column 8\n  ...");
            // the warning keeps to one line.
            std::string why;
            for (char c : state.reader.getFormattedErrorMessages()) {
                if (c == '\n' || c == ' ') c = ' ';
                if (c == '*' && why.empty()) continue;
                if (c == ' ' && (why.empty() || why.back() == ' ')) continue;
                why.push_back(c);
            }
            if (!why.empty() && why.back() == ' ') why.pop_back();
            // A half-parsed root would drive some functions with values and
            // others with nulls; the whole group reads as null instead.
            state.root = Json::Value();
            Warn(path, "not valid JSON: " + why);
        }
        SetCurrentVectorFile(path);

        for (const Function& function : group.functions) {
            for (int i = 0; i < kCasesPerFunction; ++i) {
                try {
                    function.drive(state.root, i);
                } catch (const VectorError& e) {
                    Complain(path, e.testCase(), e.member(), e.problem());
                    return 1;
                } catch (const Json::Exception& e) {
                    // Every read is checked before jsoncpp sees it; this is
                    // the net for anything that slips through.
                    Complain(path, MakeCaseKey(function.name, i), "", e.what());
                    return 1;
                } catch (const std::bad_alloc&) {
                    Complain(path, MakeCaseKey(function.name, i), "",
                             "out of memory building the arguments");
                    return 1;
                }
            }
        }
    }
    std::fflush(stdout);
    return 0;
}
