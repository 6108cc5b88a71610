// The open string list and its object-owning variant.
#include "streams/StringLists.h"

#include "rtl/Memory.h"

#include <climits>
#include <cstdint>
#include <cstring>

namespace vt {

namespace {

// A text block is the length (size_t), the bytes and a terminating zero, in one GetMem block;
// the empty string has no block.
char* NewText(std::string_view s) {
    if (s.empty())
        return nullptr;
    const size_t n = s.size();
    if (n > SIZE_MAX - sizeof(size_t) - 1)
        throw EOutOfMemory();
    char* block = static_cast<char*>(GetMem(sizeof(size_t) + n + 1));
    std::memcpy(block, &n, sizeof n);
    std::memcpy(block + sizeof(size_t), s.data(), n);
    block[sizeof(size_t) + n] = '\0';
    return block;
}

std::string_view TextOf(const char* block) {
    if (block == nullptr)
        return {};
    size_t n;
    std::memcpy(&n, block, sizeof n);
    return {block + sizeof(size_t), n};
}

// The order of sorted lists: unsigned bytes over the common length, then the shorter first.
int CompareTexts(std::string_view a, std::string_view b) {
    const size_t common = a.size() < b.size() ? a.size() : b.size();
    if (common > 0) {
        const int c = std::memcmp(a.data(), b.data(), common);
        if (c != 0)
            return c;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

} // namespace

int CompareItemStrings(TOpenStringList* List, int Index1, int Index2) {
    return CompareTexts(List->StringView(Index1), List->StringView(Index2));
}

// ---- TOpenStringList -------------------------------------------------------------------

TOpenStringList::~TOpenStringList() {
    for (int i = 0; i < FCount; ++i)
        FreeMem(List[i].Str);
    FreeMem(List);
}

void TOpenStringList::IndexError(int Index) const {
    Error(SListIndexError, Index);
}

std::string_view TOpenStringList::ItemText(int Index) const {
    return TextOf(List[Index].Str);
}

std::string_view TOpenStringList::StringView(int Index) const {
    if (Index < 0 || Index >= FCount)
        IndexError(Index);
    return ItemText(Index);
}

std::string TOpenStringList::StringAt(int Index) const {
    return std::string(StringView(Index));
}

TObject* TOpenStringList::ObjectAt(int Index) const {
    if (Index < 0 || Index >= FCount)
        IndexError(Index);
    return List[Index].Obj;
}

void TOpenStringList::SetStringAt(int Index, std::string_view S) {
    if (FSorted)
        Error(SSortedListError, 0);
    if (Index < 0 || Index >= FCount)
        IndexError(Index);
    char* text = NewText(S);
    FreeMem(List[Index].Str);
    List[Index].Str = text;
}

void TOpenStringList::SetObjectAt(int Index, TObject* Obj) {
    if (Index < 0 || Index >= FCount)
        IndexError(Index);
    List[Index].Obj = Obj;
}

void TOpenStringList::SetCapacity(int N) {
    if (N < FCount)
        Error(SListCapacityError, N);
    if (N == FCapacity)
        return;
    TOpenStringItem* array = nullptr;
    if (N > 0) {
        // On a 32-bit build N slots may not fit the address space at all.
        if (static_cast<uint64_t>(N) > SIZE_MAX / sizeof(TOpenStringItem))
            throw EOutOfMemory();
        array =
            static_cast<TOpenStringItem*>(GetMem(static_cast<size_t>(N) * sizeof(TOpenStringItem)));
        if (FCount > 0)
            std::memcpy(array, List, static_cast<size_t>(FCount) * sizeof(TOpenStringItem));
    }
    FreeMem(List);
    List = array;
    FCapacity = N;
}

void TOpenStringList::Grow() {
    int delta = 4;
    if (FCapacity > 64)
        delta = FCapacity / 4;
    else if (FCapacity > 8)
        delta = 16;
    if (FCapacity > INT_MAX - delta) {
        if (FCapacity == INT_MAX)
            throw EOutOfMemory();
        delta = INT_MAX - FCapacity;
    }
    SetCapacity(FCapacity + delta);
}

void TOpenStringList::InsertItem(int Index, std::string_view S) {
    char* text = NewText(S);
    if (FCount == FCapacity) {
        try {
            Grow();
        } catch (...) {
            FreeMem(text);
            throw;
        }
    }
    if (Index < FCount)
        std::memmove(List + Index + 1, List + Index,
                     static_cast<size_t>(FCount - Index) * sizeof(TOpenStringItem));
    List[Index].Str = text;
    List[Index].Obj = nullptr;
    ++FCount;
}

int TOpenStringList::Add(std::string_view S) {
    int index = FCount;
    if (FSorted && Find(S, index)) {
        if (Duplicates == dupIgnore)
            return index;
        if (Duplicates == dupError)
            Error(SDuplicateString, 0);
    }
    InsertItem(index, S);
    return index;
}

void TOpenStringList::Insert(int Index, std::string_view S) {
    if (FSorted)
        Error(SSortedListError, 0);
    if (Index < 0 || Index > FCount)
        IndexError(Index);
    InsertItem(Index, S);
}

void TOpenStringList::Delete(int Index) {
    if (Index < 0 || Index >= FCount)
        IndexError(Index);
    FreeMem(List[Index].Str);
    --FCount;
    if (Index < FCount)
        std::memmove(List + Index, List + Index + 1,
                     static_cast<size_t>(FCount - Index) * sizeof(TOpenStringItem));
}

void TOpenStringList::Clear() {
    if (FCount == 0)
        return;
    for (int i = 0; i < FCount; ++i)
        FreeMem(List[i].Str);
    FCount = 0;
    SetCapacity(0);
}

void TOpenStringList::Swap(int Index1, int Index2) {
    if (Index1 < 0 || Index1 >= FCount)
        IndexError(Index1);
    if (Index2 < 0 || Index2 >= FCount)
        IndexError(Index2);
    SwapItems(Index1, Index2);
}

void TOpenStringList::SwapItems(int Index1, int Index2) {
    const TOpenStringItem item = List[Index1];
    List[Index1] = List[Index2];
    List[Index2] = item;
}

int TOpenStringList::IndexOf(std::string_view S) const {
    if (FSorted) {
        int index;
        return Find(S, index) ? index : -1;
    }
    for (int i = 0; i < FCount; ++i)
        if (CompareCaseInsensitive(ItemText(i), S) == 0)
            return i;
    return -1;
}

bool TOpenStringList::Find(std::string_view S, int& Index) const {
    int l = 0;
    int h = FCount - 1;
    bool found = false;
    while (l <= h) {
        const int i = l + (h - l) / 2;
        const int c = CompareTexts(ItemText(i), S);
        if (c < 0) {
            l = i + 1;
        } else {
            h = i - 1;
            if (c == 0) {
                found = true;
                if (Duplicates != dupAccept)
                    l = i;
            }
        }
    }
    Index = l;
    return found;
}

void TOpenStringList::SetCount(int N) {
    if (N < 0)
        IndexError(N);
    if (N > FCount) {
        if (N > FCapacity)
            SetCapacity(N);
        std::memset(static_cast<void*>(List + FCount), 0,
                    static_cast<size_t>(N - FCount) * sizeof(TOpenStringItem));
        FCount = N;
    } else {
        for (int i = FCount - 1; i >= N; --i)
            Delete(i);
    }
}

void TOpenStringList::SetSorted(bool Value) {
    if (Value == FSorted)
        return;
    if (Value)
        Sort();
    FSorted = Value;
}

void TOpenStringList::Sort() {
    SortWith(CompareItemStrings);
}

void TOpenStringList::SortWith(TStringListCompare Compare) {
    if (!FSorted && FCount > 1)
        QuickSort(0, FCount - 1, Compare);
}

void TOpenStringList::QuickSort(int L, int R, TStringListCompare Compare) {
    int i;
    do {
        i = L;
        int j = R;
        int p = L + (R - L) / 2; // follows the pivot item when it moves
        do {
            // The bounds only matter for an inconsistent Compare; a consistent one stops at
            // the pivot item first.
            while (i < R && Compare(this, i, p) < 0)
                ++i;
            while (j > L && Compare(this, j, p) > 0)
                --j;
            if (i <= j) {
                SwapItems(i, j);
                if (p == i)
                    p = j;
                else if (p == j)
                    p = i;
                ++i;
                --j;
            }
        } while (i <= j);
        if (L < j)
            QuickSort(L, j, Compare);
        L = i;
    } while (i < R);
}

// ---- TStringObjectList -----------------------------------------------------------------

TStringObjectList::~TStringObjectList() {
    TStringObjectList::Clear();
}

void TStringObjectList::Clear() {
    for (int i = 0; i < FCount; ++i) {
        TObject* obj = List[i].Obj;
        List[i].Obj = nullptr;
        delete obj;
    }
    TOpenStringList::Clear();
}

void TStringObjectList::Delete(int Index) {
    TObject* obj = ObjectAt(Index);
    List[Index].Obj = nullptr;
    delete obj;
    TOpenStringList::Delete(Index);
}

int TStringObjectList::AddWithObject(std::string_view S, TObject* Obj) {
    const int before = FCount;
    const int index = Add(S);
    TObject* previous = List[index].Obj;
    List[index].Obj = Obj;
    if (FCount == before && previous != Obj)
        delete previous;
    return index;
}

} // namespace vt
