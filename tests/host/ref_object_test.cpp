#include "window/ref_object.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> destroyed;

class TProbe : public TRefObject {
  public:
    void Done() override {
        destroyed.push_back(Name);
        TRefObject::Done();
    }
    const char* Name;
};

TProbe* NewProbe(const char* name) {
    TProbe* probe = New<TProbe>();
    probe->Name = name;
    return probe;
}

void* Item(intptr_t value) {
    return reinterpret_cast<void*>(value);
}

std::vector<void*> Items(const TPtrList* list) {
    return std::vector<void*>(list->Items, list->Items + list->Count);
}

TEST(RefObjectTest, LastReleaseRunsCallbackThenOwnedPairsInRegistrationOrder) {
    TProbe* owner = NewProbe("owner");
    AddRef(owner);
    EXPECT_EQ(owner->RefCount, 2);
    Release(owner);
    Release(nullptr);
    EXPECT_TRUE(owner->RefCount == 0 && destroyed.empty());
    owner->OnRelease = {[](void* data, TRefObject* object) {
                            EXPECT_EQ(object->OnRelease.Code, nullptr);
                            static_cast<std::vector<std::string>*>(data)->push_back("callback");
                        },
                        &destroyed};
    for (const char* name : {"a", "b", "c"}) AddOwned(owner, NewProbe(name));
    Release(owner);
    EXPECT_EQ(destroyed, (std::vector<std::string>{"owner", "callback", "a", "b", "c"}));
}

TEST(RefObjectTest, OwnedListReadsNewestPairFirstAndRemovesOnePairAtATime) {
    TRefObject* owner = New<TRefObject>();
    TRefObject* a = New<TRefObject>();
    TRefObject* b = New<TRefObject>();
    RemoveOwned(owner, a);
    AddRef(a);
    for (TRefObject* object : {a, b, a}) AddOwned(owner, object);
    void* release = reinterpret_cast<void*>(&Release);
    EXPECT_EQ(Items(owner->OwnedList), (std::vector<void*>{release, a, release, b, release, a}));
    RemoveOwned(owner, a);
    EXPECT_EQ(Items(owner->OwnedList), (std::vector<void*>{release, b, release, a}));
    RemoveOwned(owner, b);
    RemoveOwned(owner, a);
    EXPECT_EQ(owner->OwnedList, nullptr);
    for (TRefObject* object : {owner, a, a, b}) Release(object);
}

TEST(PtrListTest, GrowsByItsStepOrByAQuarterOfAtMostAThousand) {
    TPtrList* stepped = NewPtrList();
    TPtrList* unstepped = New<TPtrList>();
    std::vector<int32_t> capacities;
    for (int i = 0; i < 12; ++i) {
        stepped->Add(Item(i));
        unstepped->Add(Item(i));
        capacities.insert(capacities.end(), {stepped->Capacity, unstepped->Capacity});
    }
    EXPECT_EQ(capacities, (std::vector<int32_t>{4, 1, 4, 2, 4,  3,  4,  4,  8,  6,  8,  6,
                                                8, 8, 8, 8, 12, 11, 12, 11, 12, 11, 12, 14}));
    unstepped->SetCapacity(4000);
    while (unstepped->Count <= 4000) unstepped->Add(nullptr);
    EXPECT_EQ(unstepped->Capacity, 5000);
    unstepped->SetCapacity(0);
    EXPECT_EQ(unstepped->Capacity, 4001);
    Release(stepped);
    Release(unstepped);
}

TEST(PtrListTest, InsertDeleteAndGetKeepToTheirRanges) {
    TPtrList* list = NewPtrList();
    for (int i = 1; i <= 3; ++i) list->Add(Item(i));
    list->Insert(0, Item(0));
    list->Insert(list->Count, Item(4));
    list->Insert(2, Item(9));
    EXPECT_EQ(Items(list),
              (std::vector<void*>{Item(0), Item(1), Item(9), Item(2), Item(3), Item(4)}));
    EXPECT_EQ((std::vector<void*>{list->Get(-1), list->Get(6), list->Get(5)}),
              (std::vector<void*>{nullptr, nullptr, Item(4)}));
    list->Delete(6);
    list->DeleteRange(1, 0);
    list->DeleteRange(1, -3);
    EXPECT_EQ(list->Count, 6);
    EXPECT_EQ(list->Remove(Item(9)), 2);
    EXPECT_EQ(list->Remove(Item(9)), -1);
    list->DeleteRange(3, 100);
    EXPECT_EQ(Items(list), (std::vector<void*>{Item(0), Item(1), Item(2)}));
    Release(list);
}

TEST(KindCacheTest, HoldsOneSharedDescriptorPerKindWhileItLives) {
    TKindInfo* first = AcquireKindInfo(0);
    EXPECT_TRUE(AcquireKindInfo(0) == first && KindCache[0] == first && first->RefCount == 2);
    TKindInfo* last = AcquireKindInfo(kKindCount - 1);
    EXPECT_EQ(last->KindIndex, kKindCount - 1);
    Release(last);
    Release(first);
    EXPECT_TRUE(KindCache[kKindCount - 1] == nullptr && KindCache[0] == first);
    Release(first);
    EXPECT_EQ(KindCache[0], nullptr);
}

}  // namespace
