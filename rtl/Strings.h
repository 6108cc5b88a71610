// The runtime's abstract string list: the virtual storage interface that concrete lists fill
// in, the case-insensitive comparison and linear search they inherit, and the list exception.
#pragma once

#include "rtl/Classes.h"

#include <string>
#include <string_view>

namespace vt {

// Raised by every string list operation that refuses a request.
VT_EXCEPTION_CLASS(EStringListError, Exception);

inline constexpr const char* SListIndexError = "List index out of bounds (%d)";
inline constexpr const char* SSortedListError = "Operation not allowed on sorted string list";
inline constexpr const char* SDuplicateString = "String list does not allow duplicates";
inline constexpr const char* SListCapacityError = "List capacity out of bounds (%d)";

// A list of strings, each with an attached object reference. Indexes run from 0 to
// Count() - 1. The base holds no storage; descendants provide it by overriding the virtual
// operations below (declared in the order of the list's virtual interface).
class TStrings : public TPersistent {
public:
    VT_CLASS_NAME(TStrings)

    // The string of item Index. Raises EStringListError for a bad index.
    virtual std::string StringAt(int Index) const = 0;
    // Number of item slots allocated; the base has no storage of its own and reports Count().
    virtual int Capacity() const;
    // Number of items.
    virtual int Count() const = 0;
    // The object attached to item Index; the base keeps no objects and answers null.
    virtual TObject* ObjectAt(int Index) const;
    // Replaces the string of item Index, keeping its object. Raises EStringListError.
    virtual void SetStringAt(int Index, std::string_view S) = 0;
    // Attaches Obj to item Index without freeing the previous object; the base ignores it.
    virtual void SetObjectAt(int Index, TObject* Obj);
    // Prepares room for N items; the base ignores the request.
    virtual void SetCapacity(int N);
    // Adds S and returns its index; the base inserts it at the end.
    virtual int Add(std::string_view S);
    // Removes every item.
    virtual void Clear() = 0;
    // Removes item Index. Raises EStringListError for a bad index.
    virtual void Delete(int Index) = 0;
    // Exchanges two items, strings and objects. Raises EStringListError for a bad index.
    virtual void Swap(int Index1, int Index2) = 0;
    // Index of the first item equal to S under CompareCaseInsensitive, or -1 (linear search).
    virtual int IndexOf(std::string_view S) const;
    // Inserts S before item Index (Index = Count() appends). Raises EStringListError.
    virtual void Insert(int Index, std::string_view S) = 0;

    // Add, then attach Obj to the returned index; returns that index. Raises what Add raises,
    // in which case Obj is not attached and stays the caller's.
    virtual int AddWithObject(std::string_view S, TObject* Obj);
    // Insert, then attach Obj to the new item. Raises what Insert raises.
    void InsertWithObject(int Index, std::string_view S, TObject* Obj);

    // Compares two strings without regard to case, through the platform's CompareStringA for
    // the user's locale: negative, zero or positive.
    virtual int CompareCaseInsensitive(std::string_view S1, std::string_view S2) const;

protected:
    // Raises EStringListError with Message formatted with Data (the offending index, or 0
    // for messages without a placeholder).
    [[noreturn]] void Error(const char* Message, int Data) const;
};

} // namespace vt
