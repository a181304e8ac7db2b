#pragma once

#include <cstdint>
#include <new>

class TRefObject;
class TPtrList;
class TKindInfo;

class TObject {
  public:
    virtual void Init();
};

struct TReleaseCallback {
    void (*Code)(void* data, TRefObject* object);
    void* Data;
};

class TRefObject : public TObject {
  public:
    virtual void Done();

    int32_t RefCount;
    TReleaseCallback OnRelease;
    TPtrList* OwnedList;

  protected:
    void ReleaseOwned();
};

using TReleaseProc = void (*)(TRefObject* object);

void AddRef(TRefObject* object);
void Release(TRefObject* object);
void AddOwned(TRefObject* owner, TRefObject* object);
void RemoveOwned(TRefObject* owner, TRefObject* object);

class TPtrList : public TRefObject {
  public:
    void Done() override;

    void SetCapacity(int32_t capacity);
    void Add(void* value);
    void Insert(int32_t index, void* value);
    void DeleteRange(int32_t index, int32_t count);
    void Delete(int32_t index);
    int32_t IndexOf(void* value) const;
    int32_t Remove(void* value);
    void* Get(int32_t index) const;

    void** Items;
    int32_t Count;
    int32_t Capacity;
    int32_t GrowthStep;
};

constexpr int32_t kListGrowthStep = 4;

TPtrList* NewPtrList();

constexpr int kKindCount = 120;

class TKindInfo : public TRefObject {
  public:
    void Done() override;

    int32_t KindIndex;
};

extern TKindInfo* KindCache[kKindCount];

TKindInfo* AcquireKindInfo(int kind);

// Layer objects start zero-filled with only their operation table set, exactly
// as if the memory came from a cleared allocation: value-initialisation of a
// type without a user-provided constructor zeroes every field first.
template <typename T>
T* AllocateObject() {
    return new (::operator new(sizeof(T))) T();
}

template <typename T>
T* New() {
    T* object = AllocateObject<T>();
    object->Init();
    return object;
}
