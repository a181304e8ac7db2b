#include "window/ref_object.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

TKindInfo* KindCache[kKindCount];

void TObject::Init() {}

// Base destroy. The memory is released without running C++ destructors, so a
// type that owns memory through a member gives it back in its own Done first.
void TRefObject::Done() {
    ReleaseOwned();
    ::operator delete(static_cast<void*>(this));
}

// The list field is read afresh on every pass: a released object may remove
// its own pair from this list, or empty and drop the list, while we drain it.
void TRefObject::ReleaseOwned() {
    if (OnRelease.Code != nullptr) {
        TReleaseCallback callback = OnRelease;
        OnRelease = {};
        callback.Code(callback.Data, this);
    }
    while (OwnedList != nullptr && OwnedList->Count > 0) {
        int32_t count = OwnedList->Count;
        auto procedure = reinterpret_cast<TReleaseProc>(OwnedList->Items[count - 2]);
        auto argument = static_cast<TRefObject*>(OwnedList->Items[count - 1]);
        OwnedList->DeleteRange(count - 2, 2);
        procedure(argument);
    }
    Release(OwnedList);
    OwnedList = nullptr;
}

// The count moves in steps of 2 and a new object holds 0, which already
// stands for one reference: the object goes when it drops below 0.
void AddRef(TRefObject* object) {
    object->RefCount += 2;
}

void Release(TRefObject* object) {
    if (object == nullptr) {
        return;
    }
    object->RefCount -= 2;
    if (object->RefCount < 0) {
        object->Done();
    }
}

// Inserting at the front keeps the newest pair first, so that base destroy,
// which takes pairs from the end, runs them in the order they were added.
void AddOwned(TRefObject* owner, TRefObject* object) {
    if (owner->OwnedList == nullptr) {
        owner->OwnedList = NewPtrList();
    }
    owner->OwnedList->Insert(0, object);
    owner->OwnedList->Insert(0, reinterpret_cast<void*>(&Release));
}

void RemoveOwned(TRefObject* owner, TRefObject* object) {
    TPtrList* list = owner->OwnedList;
    if (list == nullptr) {
        return;
    }
    int32_t index = list->IndexOf(object);
    if (index >= 0) {
        list->DeleteRange(index & ~1, 2);
    }
    if (list->Count == 0) {
        Release(list);
        owner->OwnedList = nullptr;
    }
}

void TPtrList::Done() {
    std::free(Items);
    Items = nullptr;
    TRefObject::Done();
}

void TPtrList::SetCapacity(int32_t capacity) {
    capacity = std::max(capacity, Count);
    if (capacity == Capacity) {
        return;
    }
    if (capacity == 0) {
        std::free(Items);
        Items = nullptr;
    } else {
        void* items = std::realloc(Items, sizeof(void*) * static_cast<size_t>(capacity));
        if (items == nullptr) {
            throw std::bad_alloc();
        }
        Items = static_cast<void**>(items);
    }
    Capacity = capacity;
}

// A list without a growth step grows by a quarter, at most 1000 items at once.
void TPtrList::Add(void* value) {
    if (Count >= Capacity) {
        if (GrowthStep > 0) {
            SetCapacity(Count + GrowthStep);
        } else {
            SetCapacity(Count + std::min(1000, Count / 4 + 1));
        }
    }
    Items[Count] = value;
    Count += 1;
}

void TPtrList::Insert(int32_t index, void* value) {
    Add(nullptr);
    if (index < Count) {
        std::memmove(&Items[index + 1], &Items[index],
                     sizeof(void*) * static_cast<size_t>(Count - 1 - index));
    }
    Items[index] = value;
}

void TPtrList::DeleteRange(int32_t index, int32_t count) {
    if (count <= 0 || index >= Count) {
        return;
    }
    count = std::min(count, Count - index);
    std::memmove(&Items[index], &Items[index + count],
                 sizeof(void*) * static_cast<size_t>(Count - index - count));
    Count -= count;
}

void TPtrList::Delete(int32_t index) {
    DeleteRange(index, 1);
}

int32_t TPtrList::IndexOf(void* value) const {
    for (int32_t i = 0; i < Count; ++i) {
        if (Items[i] == value) {
            return i;
        }
    }
    return -1;
}

int32_t TPtrList::Remove(void* value) {
    int32_t index = IndexOf(value);
    if (index >= 0) {
        Delete(index);
    }
    return index;
}

void* TPtrList::Get(int32_t index) const {
    if (index < 0 || index >= Count) {
        return nullptr;
    }
    return Items[index];
}

TPtrList* NewPtrList() {
    TPtrList* list = New<TPtrList>();
    list->GrowthStep = kListGrowthStep;
    return list;
}

void TKindInfo::Done() {
    KindCache[KindIndex] = nullptr;
    TRefObject::Done();
}

// One descriptor per kind, shared by every control of that kind; the caller
// receives a reference of its own.
TKindInfo* AcquireKindInfo(int kind) {
    TKindInfo* info = KindCache[kind];
    if (info != nullptr) {
        AddRef(info);
        return info;
    }
    info = New<TKindInfo>();
    info->KindIndex = kind;
    KindCache[kind] = info;
    return info;
}
