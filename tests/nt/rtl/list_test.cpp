// Doubly linked lists and their corruption checks; singly linked lists.

#include <gtest/gtest.h>

#include <wdm.h>

#include <vector>

namespace {

struct Item {
    int value;
    LIST_ENTRY link;
};

std::vector<int> Values(LIST_ENTRY* head) {
    std::vector<int> out;
    for (LIST_ENTRY* e = head->Flink; e != head; e = e->Flink)
        out.push_back(CONTAINING_RECORD(e, Item, link)->value);
    return out;
}

TEST(ListTest, InsertAndRemoveKeepOrder) {
    LIST_ENTRY head;
    InitializeListHead(&head);
    EXPECT_TRUE(IsListEmpty(&head));
    Item a{1, {}}, b{2, {}}, c{3, {}};
    InsertTailList(&head, &b.link);
    InsertTailList(&head, &c.link);
    InsertHeadList(&head, &a.link);
    EXPECT_EQ(Values(&head), (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(RemoveEntryList(&b.link));
    EXPECT_EQ(Values(&head), (std::vector<int>{1, 3}));
    EXPECT_EQ(RemoveHeadList(&head), &a.link);
    EXPECT_EQ(RemoveTailList(&head), &c.link);
    EXPECT_TRUE(IsListEmpty(&head));

    SINGLE_LIST_ENTRY stack{nullptr}, s1, s2;
    PushEntryList(&stack, &s1);
    PushEntryList(&stack, &s2);
    EXPECT_EQ(PopEntryList(&stack), &s2);
    EXPECT_EQ(PopEntryList(&stack), &s1);
    EXPECT_EQ(PopEntryList(&stack), nullptr);
}

// An entry removed twice: after the first removal its neighbours no longer point back at it.
void RemoveTwice() {
    LIST_ENTRY head;
    InitializeListHead(&head);
    Item a{1, {}}, b{2, {}};
    InsertTailList(&head, &a.link);
    InsertTailList(&head, &b.link);
    RemoveEntryList(&a.link);
    InsertTailList(&head, &a.link);
    RemoveEntryList(&b.link);
    RemoveEntryList(&b.link);
}

TEST(ListDeathTest, CorruptLinksStopTheMachine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(RemoveTwice(), "0x00000139 \\(0x0+3,.*KERNEL_SECURITY_CHECK_FAILURE");
}

} // namespace
