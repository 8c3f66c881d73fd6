// Owning list: node ownership, terminated payload copies, unlink at every position, and the
// recursive free of nested lists.
#include <gtest/gtest.h>

#include <cstring>

#include "tarnet/tnlist.h"

namespace {

class ListTest : public ::testing::Test {
  protected:
    void SetUp() override { TnListInit(&list); }
    void TearDown() override { TnListFreeAll(&list); }

    TnListNode* Add(const char* text) {
        return TnListAppendCopy(&list, text, static_cast<int>(std::strlen(text)));
    }

    TnList list{};
};

TEST_F(ListTest, CopyIsTerminatedAndOwned) {
    char text[]      = "hello";
    TnListNode* node = TnListAppendCopy(&list, text, 5);
    ASSERT_NE(node, nullptr);
    text[0] = 'j';  // the node holds its own copy
    EXPECT_EQ(node->payloadSize, 5);
    EXPECT_STREQ(static_cast<const char*>(node->payload), "hello");
    EXPECT_EQ(static_cast<const char*>(node->payload)[5], '\0');
    ASSERT_NE(node->children, nullptr);
    EXPECT_EQ(node->children->first, nullptr);
}

TEST_F(ListTest, RefusesEmptyRecords) {
    EXPECT_EQ(TnListAppendCopy(&list, "x", 0), nullptr);
    EXPECT_EQ(TnListAppendCopy(&list, nullptr, 4), nullptr);
    EXPECT_EQ(TnListAppendCopy(nullptr, "x", 1), nullptr);
    EXPECT_EQ(list.first, nullptr);
}

TEST_F(ListTest, PopFrontDetachesInOrder) {
    EXPECT_EQ(TnListPopFront(&list), nullptr);
    EXPECT_EQ(list.first, nullptr);
    Add("a");
    Add("b");
    TnListNode* a = TnListPopFront(&list);
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(static_cast<const char*>(a->payload), "a");
    EXPECT_EQ(a->next, nullptr);
    EXPECT_EQ(a->prev, nullptr);
    EXPECT_EQ(list.first, list.last);
    EXPECT_EQ(list.first->prev, nullptr);
    TnListNode* b = TnListPopFront(&list);
    EXPECT_EQ(list.first, nullptr);
    EXPECT_EQ(list.last, nullptr);
    // Moving detached nodes to another list is how TCP moves control blocks between lists.
    TnList other{};
    TnListInit(&other);
    TnListAppendNode(&other, b);
    TnListAppendNode(&other, a);
    EXPECT_EQ(other.first, b);
    EXPECT_EQ(other.last, a);
    EXPECT_EQ(a->prev, b);
    TnListFreeAll(&other);
}

TEST_F(ListTest, UnlinkKeepsBothEndsConsistent) {
    TnListNode* a = Add("a");
    TnListNode* b = Add("b");
    TnListNode* c = Add("c");

    TnListUnlink(&list, b);  // middle: neighbours joined
    EXPECT_EQ(a->next, c);
    EXPECT_EQ(c->prev, a);
    TnListAppendNode(&list, b);

    TnListUnlink(&list, b);  // last: predecessor becomes last with a null next
    EXPECT_EQ(list.last, c);
    EXPECT_EQ(c->next, nullptr);

    TnListUnlink(&list, a);  // first
    EXPECT_EQ(list.first, c);
    EXPECT_EQ(c->prev, nullptr);

    TnListUnlink(&list, c);  // only node
    EXPECT_EQ(list.first, nullptr);
    EXPECT_EQ(list.last, nullptr);

    TnListUnlink(&list, a);  // empty list: nothing happens
    EXPECT_EQ(list.first, nullptr);
    for (TnListNode* n : {a, b, c}) {
        TnListAppendNode(&list, n);  // given back so TearDown frees them
    }
}

TEST_F(ListTest, ExtraCopiesAreNeverReplaced) {
    TnListNode* node = Add("entry");
    TnListSetExtra1(node, "1024", 4);
    TnListSetExtra1(node, "9", 1);
    TnListSetExtra2(node, "dir", 3);
    EXPECT_STREQ(static_cast<const char*>(node->extra1), "1024");
    EXPECT_STREQ(static_cast<const char*>(node->extra2), "dir");
    TnListSetExtra2(nullptr, "x", 1);  // null node: nothing
}

TEST_F(ListTest, FreeAllReleasesNestedChildren) {
    // Run under the address sanitizer this would report any node, payload or child list left.
    TnListNode* dir = Add("dir");
    TnListNode* sub = TnListAppendCopy(dir->children, "sub", 3);
    TnListAppendCopy(sub->children, "file", 4);
    TnListSetExtra1(sub, "12", 2);
    TnListRemove(&list, dir);
    EXPECT_EQ(list.first, nullptr);
    Add("again");
    TnListFreeAll(&list);
    EXPECT_EQ(list.first, nullptr);
    EXPECT_EQ(list.last, nullptr);
}

}  // namespace
