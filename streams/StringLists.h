// String lists with storage of their own: TOpenStringList, optionally sorted with binary-search
// lookup and a duplicates policy, and TStringObjectList, which owns the attached objects.
#pragma once

#include "rtl/Strings.h"

#include <cstdint>

namespace vt {

// What a sorted list does when an added string is already present.
enum TDuplicates : uint8_t {
    dupIgnore = 0, // Add returns the index of the equal item and adds nothing
    dupAccept = 1, // the new item goes before the equal items
    dupError = 2,  // Add raises EStringListError "String list does not allow duplicates"
};

// One slot of the item array. Slots are moved as whole records, so both fields are plain
// pointers: the text block is owned by the list, the object is only referred to.
struct TOpenStringItem {
    char* Str;    // private text block (length, bytes, zero), null for the empty string
    TObject* Obj; // attached object; a TStringObjectList owns it, a TOpenStringList does not
};

class TOpenStringList;

// A caller-given order for SortWith: negative, zero or positive for the items at the two
// indexes. It must be consistent (a total preorder) for the result to be sorted; an
// inconsistent one leaves the items in some order but never reads outside the list.
using TStringListCompare = int (*)(TOpenStringList* List, int Index1, int Index2);

// The string order of sorted lists: bytes compared as unsigned values, the shorter of two
// strings with a common prefix first; case-sensitive, no locale ("B" < "a" < "ab" < "b").
// Raises EStringListError for a bad index.
int CompareItemStrings(TOpenStringList* List, int Index1, int Index2);

// A string list over an array of its own. A new list is empty, unsorted, with no array and
// Duplicates ignore. While Sorted() is true, Insert and SetStringAt are refused and Add
// places each string by binary search; lookups (IndexOf) are then case-sensitive and
// byte-wise, while an unsorted list searches linearly without regard to case.
class TOpenStringList : public TStrings {
public:
    VT_CLASS_NAME(TOpenStringList)

    TOpenStringList() = default;
    // Releases the strings and the array; attached objects are left alone.
    ~TOpenStringList() override;

    // Index checks raise EStringListError "List index out of bounds (%d)" with the index.
    std::string StringAt(int Index) const override;
    int Capacity() const override { return FCapacity; }
    int Count() const override { return FCount; }
    TObject* ObjectAt(int Index) const override;
    // Raises EStringListError when sorted (checked first) or for a bad index.
    void SetStringAt(int Index, std::string_view S) override;
    // Replaces the reference without freeing the previous object; allowed when sorted.
    void SetObjectAt(int Index, TObject* Obj) override;
    // Reallocates the array to N slots. Raises EStringListError "List capacity out of bounds
    // (%d)" when N is below Count() and EOutOfMemory when the array cannot be had; the list
    // is unchanged then.
    void SetCapacity(int N) override;
    // Appends (unsorted) or places by Find (sorted, following Duplicates); returns the index.
    // Raises EStringListError for a refused duplicate, EOutOfMemory; the list is then unchanged.
    int Add(std::string_view S) override;
    // Removes every item and frees the array; an empty list keeps its capacity.
    void Clear() override;
    // Removes one item; Capacity() is unchanged.
    void Delete(int Index) override;
    // Checks Index1, then Index2, then exchanges the items. Does not re-sort a sorted list.
    void Swap(int Index1, int Index2) override;
    // Sorted: Find's index or -1. Unsorted: the first item equal under CompareCaseInsensitive.
    int IndexOf(std::string_view S) const override;
    // Raises EStringListError when sorted, or when Index is outside 0..Count().
    void Insert(int Index, std::string_view S) override;

    // Grows with empty items (no objects) or shrinks by deleting from the last item down.
    // Raises EStringListError "List index out of bounds (%d)" with N for N < 0, before any
    // item is touched.
    virtual void SetCount(int N);
    // Binary search for the lowest position whose string is not less than S. Returns whether
    // S was found; Index is then an equal item (the first of them when Duplicates is accept),
    // else the position where S belongs. Meaningful on a sorted list only.
    virtual bool Find(std::string_view S, int& Index) const;
    // Sorts by CompareItemStrings; a list already marked sorted is left as it is.
    virtual void Sort();
    // Sorts by Compare (not stable; objects travel with their strings); a list already
    // marked sorted is left as it is.
    virtual void SortWith(TStringListCompare Compare);

    bool Sorted() const { return FSorted; }
    // Switching on sorts the items once (duplicates stay); switching off keeps the order.
    void SetSorted(bool Value);

    // The string of item Index without copying it; valid until that item changes. Raises
    // EStringListError for a bad index.
    std::string_view StringView(int Index) const;

    TDuplicates Duplicates = dupIgnore;

protected:
    // Enlarges the array by the growth rule: a quarter above 64 slots, 16 above 8, else 4.
    void Grow();
    // Inserts without checks; raises only EOutOfMemory, leaving the list unchanged.
    void InsertItem(int Index, std::string_view S);
    // Exchanges two items without checks.
    void SwapItems(int Index1, int Index2);
    // In-place quicksort of items L..R; recurses into the left part, loops over the right.
    void QuickSort(int L, int R, TStringListCompare Compare);
    [[noreturn]] void IndexError(int Index) const;

    // The string of a valid index, unchecked.
    std::string_view ItemText(int Index) const;

    TOpenStringItem* List = nullptr; // FCapacity slots, null while FCapacity is 0
    int FCount = 0;                  // slots 0..FCount-1 are in use
    int FCapacity = 0;               // allocated slots
    bool FSorted = false;            // items are kept in ascending CompareItemStrings order
};

// A TOpenStringList that owns its attached objects: deleting an item, clearing, shrinking
// with SetCount and destroying the list free them. SetObjectAt does not free the object it
// replaces; its caller owns that one again. Each object must be attached to one item only.
// Operations that would remove and re-insert an item (moving it) or copy another list's
// references in are not offered, as they would free objects still referred to.
class TStringObjectList : public TOpenStringList {
public:
    VT_CLASS_NAME(TStringObjectList)

    TStringObjectList() = default;
    ~TStringObjectList() override;

    // Frees every object from the first item on, then clears the list.
    void Clear() override;
    // Checks the index (nothing is freed for a bad one), frees the object, removes the item.
    void Delete(int Index) override;
    // Adds S and attaches Obj. When a sorted list that ignores duplicates already holds S,
    // Obj replaces the object attached there and that object is freed (it is owned and would
    // otherwise be lost). Raises what Add raises; Obj then stays the caller's.
    int AddWithObject(std::string_view S, TObject* Obj) override;
};

} // namespace vt
