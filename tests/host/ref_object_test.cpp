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

TEST(RefObject, LastReleaseRunsCallbackThenOwnedPairsInRegistrationOrder) {
    TProbe* owner = NewProbe("owner");
    AddRef(owner);
    Release(owner);
    Release(nullptr);
    EXPECT_TRUE(owner->RefCount == 0 && destroyed.empty());
    owner->OnRelease = {[](void* data, TRefObject*) {
                            static_cast<std::vector<std::string>*>(data)->push_back("callback");
                        },
                        &destroyed};
    TProbe* a = NewProbe("a");
    TProbe* twice = NewProbe("twice");
    for (TProbe* owned : {a, twice, twice}) AddOwned(owner, owned);
    RemoveOwned(owner, twice);  // only the first pair found goes
    void* release = reinterpret_cast<void*>(&Release);
    EXPECT_EQ(Items(owner->OwnedList), (std::vector<void*>{release, twice, release, a}));
    Release(owner);
    EXPECT_EQ(destroyed, (std::vector<std::string>{"owner", "callback", "a", "twice"}));
}

TEST(PtrList, GrowsByItsStepAndKeepsToItsRanges) {
    TPtrList* list = NewPtrList();
    std::vector<int32_t> capacities;
    for (int i = 0; i < 9; ++i) {
        list->Add(Item(i));
        capacities.push_back(list->Capacity);
    }
    EXPECT_EQ(capacities, (std::vector<int32_t>{4, 4, 4, 4, 8, 8, 8, 8, 12}));
    list->Insert(0, Item(-1));
    list->Insert(list->Count, Item(9));
    EXPECT_TRUE(list->Get(-1) == nullptr && list->Get(11) == nullptr && list->Get(10) == Item(9));
    list->Delete(11);
    list->DeleteRange(1, -3);
    EXPECT_EQ(list->Remove(Item(4)), 5);
    EXPECT_EQ(list->Remove(Item(4)), -1);
    list->DeleteRange(3, 100);
    EXPECT_EQ(Items(list), (std::vector<void*>{Item(-1), Item(0), Item(1)}));
    TPtrList* unstepped = New<TPtrList>();
    for (int i = 0; i < 6; ++i) unstepped->Add(nullptr);
    EXPECT_EQ(unstepped->Capacity, 6);  // a quarter more each time: 1, 2, 3, 4, 6
    Release(list);
    Release(unstepped);
}

TEST(KindCache, HoldsOneSharedDescriptorPerKindWhileItLives) {
    TKindInfo* first = AcquireKindInfo(0);
    EXPECT_TRUE(AcquireKindInfo(0) == first && KindCache[0] == first && first->RefCount == 2);
    Release(first);
    Release(first);
    EXPECT_EQ(KindCache[0], nullptr);
}

}  // namespace
