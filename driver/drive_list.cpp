// Linked-list drivers (ListNode group). A list comes from the test vector
// only as its head node "L", so every list handed over has no elements.
#include "drivers.h"

namespace {

// The head built from "L" is all the list there is.
constexpr int kElements = 0;

void BuildHead(const TestCase& tc, LNode& head) {
  const Member L = tc["L"];
  head.data = L["data"].asInt();
  head.next = nullptr;
}

// A count of nodes to read and allocate; refused beyond what any test
// needs, as it would exhaust memory before the function could return.
int ReadListLength(const TestCase& tc) {
  const int n = tc["n"].asInt();
  if (n > kMaxListLength)
    throw VectorError(tc.key(), "n",
                      "list length " + std::to_string(n) + " exceeds the driver's limit of " +
                          std::to_string(kMaxListLength) + " elements");
  return n;
}

}  // namespace

Json::Value ListToJson(const LNode* head) {
  Json::Value out(Json::objectValue);
  out["data"] = head->data;
  Json::Value elements(Json::arrayValue);
  // A list the callee corrupted into a cycle must not hang the driver.
  constexpr int kMaxShown = 1 << 20;
  int n = 0;
  for (const LNode* p = head->next; p != nullptr && n < kMaxShown; p = p->next, ++n)
    elements.append(p->data);
  out["elements"] = elements;
  return out;
}

int drive_InitLinkedList(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "InitLinkedList", index, record);
  InitLinkedList();
  return 0;
}

int drive_CreateLinkedListHead(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "CreateLinkedListHead", index, record);
  const int n = ReadListLength(tc);
  const LinkList list = CreateLinkedListHead(n);
  if (list != nullptr) tc.Observe("return", ListToJson(list));
  return 0;
}

int drive_CreateLinkedListTail(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "CreateLinkedListTail", index, record);
  const int n = ReadListLength(tc);
  const LinkList list = CreateLinkedListTail(n);
  if (list != nullptr) tc.Observe("return", ListToJson(list));
  return 0;
}

int drive_InsertLinkedList(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "InsertLinkedList", index, record);
  LNode head;
  BuildHead(tc, head);
  const int i = tc["i"].asInt();
  const int x = tc["x"].asInt();
  if (i > kElements + 1)
    throw SkippedCall(tc.key(), "position " + std::to_string(i) +
                                    " is beyond the end of the list built from \"L\"");
  InsertLinkedList(&head, i, x);
  tc.Observe("L", ListToJson(&head));
  return 0;
}

int drive_output(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "output", index, record);
  LNode head;
  BuildHead(tc, head);
  output(&head);
  tc.Observe("L", ListToJson(&head));
  return 0;
}

int drive_deleteLinkedList(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "deleteLinkedList", index, record);
  LNode head;
  BuildHead(tc, head);
  const int i = tc["i"].asInt();
  if (i < 1 || i > kElements)
    throw SkippedCall(tc.key(), "the list built from \"L\" has no element " + std::to_string(i));
  deleteLinkedList(&head, i);
  tc.Observe("L", ListToJson(&head));
  return 0;
}

int drive_GetElem(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "GetElem", index, record);
  LNode head;
  BuildHead(tc, head);
  const int i = tc["i"].asInt();
  tc.Observe("return", GetElem(&head, i));
  return 0;
}

int drive_getlength(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "getlength", index, record);
  LNode head;
  BuildHead(tc, head);
  tc.Observe("return", getlength(&head));
  return 0;
}

int drive_ClearList(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "ClearList", index, record);
  LNode head;
  BuildHead(tc, head);
  ClearList(&head);
  tc.Observe("L", ListToJson(&head));
  return 0;
}
