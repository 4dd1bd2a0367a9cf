// Linked-list drivers (ListNode group). A list comes from the test vector
// only as its head node "L", so every list handed over has no elements.
#include "drivers.h"

namespace {

// The head built from "L" is all the list there is.
constexpr int kElements = 0;

void BuildHead(const TestCase& tc, LNode& head)
{
    const Member L = tc["L"];
    head.data = L["data"].asInt();
    head.next = nullptr;
}

}  // namespace

int drive_InitLinkedList(Json::Value root, int index)
{
    TestCase tc(root, "InitLinkedList", index);
    InitLinkedList();
    return 0;
}

int drive_CreateLinkedListHead(Json::Value root, int index)
{
    TestCase tc(root, "CreateLinkedListHead", index);
    const int n = tc["n"].asInt();
    (void)CreateLinkedListHead(n);
    return 0;
}

int drive_CreateLinkedListTail(Json::Value root, int index)
{
    TestCase tc(root, "CreateLinkedListTail", index);
    const int n = tc["n"].asInt();
    (void)CreateLinkedListTail(n);
    return 0;
}

int drive_InsertLinkedList(Json::Value root, int index)
{
    TestCase tc(root, "InsertLinkedList", index);
    LNode head;
    BuildHead(tc, head);
    const int i = tc["i"].asInt();
    const int x = tc["x"].asInt();
    if (i > kElements + 1) {
        NoteSkippedCall(tc.key(), "position " + std::to_string(i) +
                                      " is beyond the end of the list built from \"L\"");
        return 0;
    }
    InsertLinkedList(&head, i, x);
    return 0;
}

int drive_output(Json::Value root, int index)
{
    TestCase tc(root, "output", index);
    LNode head;
    BuildHead(tc, head);
    output(&head);
    return 0;
}

int drive_deleteLinkedList(Json::Value root, int index)
{
    TestCase tc(root, "deleteLinkedList", index);
    LNode head;
    BuildHead(tc, head);
    const int i = tc["i"].asInt();
    if (i < 1 || i > kElements) {
        NoteSkippedCall(tc.key(),
                        "the list built from \"L\" has no element " + std::to_string(i));
        return 0;
    }
    deleteLinkedList(&head, i);
    return 0;
}

int drive_GetElem(Json::Value root, int index)
{
    TestCase tc(root, "GetElem", index);
    LNode head;
    BuildHead(tc, head);
    const int i = tc["i"].asInt();
    (void)GetElem(&head, i);
    return 0;
}

int drive_getlength(Json::Value root, int index)
{
    TestCase tc(root, "getlength", index);
    LNode head;
    BuildHead(tc, head);
    (void)getlength(&head);
    return 0;
}

int drive_ClearList(Json::Value root, int index)
{
    TestCase tc(root, "ClearList", index);
    LNode head;
    BuildHead(tc, head);
    ClearList(&head);
    return 0;
}
