// The sample's functions called directly: console output captured from the
// process's own standard output, list input fed through standard input.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "orrin.h"

namespace {

// Runs `body` with file descriptor 1 redirected to a temporary file.
template <typename Body>
std::string Captured(Body body) {
  std::fflush(stdout);
  FILE* sink = std::tmpfile();
  EXPECT_NE(sink, nullptr);
  const int saved = dup(1);
  dup2(fileno(sink), 1);
  body();
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string text;
  std::rewind(sink);
  int c;
  while ((c = std::fgetc(sink)) != EOF) text.push_back(static_cast<char>(c));
  std::fclose(sink);
  return text;
}

// Makes `text` the whole of standard input from here on.
void FeedStdin(const std::string& text) {
  char path[] = "/tmp/orrin_stdin_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  ASSERT_NE(std::freopen(path, "r", stdin), nullptr);
  unlink(path);
}

// A list with a head (data -1) and the given elements, built by hand so the
// tests of each function do not depend on the others.
LinkList MakeList(const std::vector<int>& elements) {
  LinkList head = static_cast<LinkList>(std::malloc(sizeof(LNode)));
  head->data = -1;
  head->next = nullptr;
  LinkList tail = head;
  for (int value : elements) {
    LinkList node = static_cast<LinkList>(std::malloc(sizeof(LNode)));
    node->data = value;
    node->next = nullptr;
    tail->next = node;
    tail = node;
  }
  return head;
}

std::vector<int> Elements(LinkList L) {
  std::vector<int> out;
  for (LinkList p = L->next; p != nullptr; p = p->next) out.push_back(p->data);
  return out;
}

void FreeList(LinkList L) {
  while (L != nullptr) {
    LinkList next = L->next;
    std::free(L);
    L = next;
  }
}

const std::string kPromptFullWidth = "\xca\xe4\xc8\xeb\xd4\xaa\xcb\xd8\xa3\xba";
const std::string kPromptAscii = "\xca\xe4\xc8\xeb\xd4\xaa\xcb\xd8\x3a";

std::string NoNode(const std::string& i) {
  return "\xb5\xda" + i + "\xb8\xf6\xbd\xda\xb5\xe3\xb2\xbb\xb4\xe6\xd4\xda\n";
}

std::string DataLine(const std::string& value) {
  return "\xb5\xa5\xc1\xb4\xb1\xed\xb5\xc4\xca\xfd\xbe\xdd\xce\xaa" + value + "\n";
}

}  // namespace

TEST(SampleScalars, WideTypesPrintTheirOwnWidth) {
  EXPECT_EQ(Captured([] { BuiltinTypeChar('A'); }), "A");
  EXPECT_EQ(Captured([] { BuiltinTypeLongLong(1LL << 40); }), "1099511627776");
  // long double is wider than double on this platform.
  EXPECT_EQ(Captured([] { BuiltinTypeLongDouble(2.0L); }), "2.000000");
  EXPECT_EQ(Captured([] { BuiltinTypeLongDouble(-3.5L); }), "-3.500000");
}

TEST(SampleEnumAndUnion, OutputAndGlobalsDoNotDependOnInput) {
  const std::string lines =
      "0 \n100, d \n193 \nmySeason is winter \nx is equal to summer\n4 bytes\n"
      "sizeof Weekday is: 4 \n";
  g_glbal = 7;
  cc = summer;
  EXPECT_EQ(Captured([] { EnumTypeTest(); }), lines);
  EXPECT_EQ(g_glbal, 1000);
  EXPECT_EQ(static_cast<int>(cc), 97);

  char text[] = "ab";
  un_a.un_char = text;
  EXPECT_EQ(Captured([] { UionTypeTest(); }), "");
  EXPECT_EQ(un_a.un_int, 10);
}

TEST(SampleListRead, GetElemGetlengthAndOutputWalkTheElements) {
  LinkList L = MakeList({7, 8, 9});
  EXPECT_EQ(GetElem(L, 1), 7);
  EXPECT_EQ(GetElem(L, 3), 9);
  int got = -1;
  EXPECT_EQ(Captured([&] { got = GetElem(L, 4); }), NoNode("4"));
  EXPECT_EQ(got, 0);
  EXPECT_EQ(Captured([&] { got = GetElem(L, 0); }), NoNode("0"));
  EXPECT_EQ(got, 0);
  EXPECT_EQ(Captured([&] { got = GetElem(L, -2); }), NoNode("-2"));

  EXPECT_EQ(Captured([&] { got = getlength(L); }), DataLine("7") + DataLine("8") + DataLine("9"));
  EXPECT_EQ(got, 3);
  EXPECT_EQ(Captured([&] { output(L); }), "789");
  FreeList(L);

  LinkList empty = MakeList({});
  EXPECT_EQ(Captured([&] { got = getlength(empty); }), "");
  EXPECT_EQ(got, 0);
  EXPECT_EQ(Captured([&] { output(empty); }), "");
  EXPECT_EQ(Captured([&] { got = GetElem(empty, 1); }), NoNode("1"));
  FreeList(empty);
}

TEST(SampleListInsert, FrontMiddleEndAndBeyond) {
  LinkList L = MakeList({1, 2, 3});
  InsertLinkedList(L, 2, 10);  // middle: after element 1
  EXPECT_EQ(Elements(L), (std::vector<int>{1, 10, 2, 3}));
  InsertLinkedList(L, 1, 20);   // front
  InsertLinkedList(L, -5, 30);  // i <= 1 is the front too
  EXPECT_EQ(Elements(L), (std::vector<int>{30, 20, 1, 10, 2, 3}));
  InsertLinkedList(L, 7, 40);  // after the last element
  EXPECT_EQ(Elements(L), (std::vector<int>{30, 20, 1, 10, 2, 3, 40}));
  // Beyond the element after the last: refused, list untouched.
  EXPECT_EQ(Captured([&] { InsertLinkedList(L, 9, 50); }), "");
  EXPECT_EQ(Elements(L), (std::vector<int>{30, 20, 1, 10, 2, 3, 40}));
  FreeList(L);

  LinkList empty = MakeList({});
  InsertLinkedList(empty, 1, 5);
  EXPECT_EQ(Elements(empty), std::vector<int>{5});
  InsertLinkedList(empty, 3, 6);
  EXPECT_EQ(Elements(empty), std::vector<int>{5});
  FreeList(empty);
}

TEST(SampleListDelete, RemovesElementIAndRefusesMissingOnes) {
  LinkList L = MakeList({1, 2, 3, 4});
  deleteLinkedList(L, 2);
  EXPECT_EQ(Elements(L), (std::vector<int>{1, 3, 4}));
  deleteLinkedList(L, 3);
  EXPECT_EQ(Elements(L), (std::vector<int>{1, 3}));
  deleteLinkedList(L, 1);
  EXPECT_EQ(Elements(L), std::vector<int>{3});
  for (int i : {0, -1, 2, 100}) deleteLinkedList(L, i);
  EXPECT_EQ(Elements(L), std::vector<int>{3});
  deleteLinkedList(L, 1);
  EXPECT_TRUE(Elements(L).empty());
  deleteLinkedList(L, 1);
  EXPECT_TRUE(Elements(L).empty());
  FreeList(L);
}

TEST(SampleListClear, FreesElementsAndKeepsTheHead) {
  LinkList L = MakeList({1, 2, 3});
  ClearList(L);
  EXPECT_EQ(L->next, nullptr);
  EXPECT_EQ(L->data, -1);
  ClearList(L);  // an empty list stays empty
  EXPECT_EQ(L->next, nullptr);
  InsertLinkedList(L, 1, 4);  // and the head is still usable
  EXPECT_EQ(Elements(L), std::vector<int>{4});
  FreeList(L);
}

TEST(SampleListBuild, HeadReversesTailKeepsInputOrder) {
  LinkList L = nullptr;
  FeedStdin("1 2 3 4 5 6");
  EXPECT_EQ(Captured([&] { L = CreateLinkedListHead(3); }), kPromptFullWidth);
  EXPECT_EQ(Elements(L), (std::vector<int>{3, 2, 1}));
  FreeList(L);
  // Reads continue where the first builder stopped.
  EXPECT_EQ(Captured([&] { L = CreateLinkedListTail(3); }), kPromptAscii);
  EXPECT_EQ(Elements(L), (std::vector<int>{4, 5, 6}));
  FreeList(L);
}

TEST(SampleListBuild, EmptyNegativeAndUnreadableInput) {
  LinkList L = nullptr;
  FeedStdin("");
  EXPECT_EQ(Captured([&] { L = CreateLinkedListHead(0); }), kPromptFullWidth);
  EXPECT_TRUE(Elements(L).empty());
  FreeList(L);
  EXPECT_EQ(Captured([&] { L = CreateLinkedListTail(-3); }), kPromptAscii);
  EXPECT_TRUE(Elements(L).empty());
  FreeList(L);
  L = CreateLinkedListHead(-1);
  EXPECT_TRUE(Elements(L).empty());
  FreeList(L);

  // A token that is not an integer, then the end of input: nodes hold 0.
  FeedStdin("7 x 9");
  L = CreateLinkedListTail(3);
  EXPECT_EQ(Elements(L), (std::vector<int>{7, 0, 0}));
  FreeList(L);
  FeedStdin("8");
  L = CreateLinkedListHead(2);
  EXPECT_EQ(Elements(L), (std::vector<int>{0, 8}));
  FreeList(L);
}
