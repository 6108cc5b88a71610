// The default operations of the abstract string list.
#include "rtl/Strings.h"

#include "platform/Win32.h"

#include <algorithm>
#include <climits>

namespace vt {

int TStrings::Capacity() const {
    return Count();
}

TObject* TStrings::ObjectAt(int) const {
    return nullptr;
}

void TStrings::SetObjectAt(int, TObject*) {}

void TStrings::SetCapacity(int) {}

int TStrings::Add(std::string_view S) {
    const int index = Count();
    Insert(index, S);
    return index;
}

int TStrings::IndexOf(std::string_view S) const {
    const int count = Count();
    for (int i = 0; i < count; ++i)
        if (CompareCaseInsensitive(StringAt(i), S) == 0)
            return i;
    return -1;
}

int TStrings::AddWithObject(std::string_view S, TObject* Obj) {
    const int index = Add(S);
    SetObjectAt(index, Obj);
    return index;
}

void TStrings::InsertWithObject(int Index, std::string_view S, TObject* Obj) {
    Insert(Index, S);
    SetObjectAt(Index, Obj);
}

int TStrings::CompareCaseInsensitive(std::string_view S1, std::string_view S2) const {
    // CompareStringA takes int counts; texts beyond that size are compared on their first
    // INT_MAX bytes and, when those agree, by length.
    const size_t limit = static_cast<size_t>(INT_MAX);
    const int n1 = static_cast<int>(std::min(S1.size(), limit));
    const int n2 = static_cast<int>(std::min(S2.size(), limit));
    // An empty view may carry a null pointer, which CompareStringA refuses.
    const char* p1 = S1.empty() ? "" : S1.data();
    const char* p2 = S2.empty() ? "" : S2.data();
    const int result = CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, p1, n1, p2, n2) - 2;
    if (result == 0 && S1.size() != S2.size() && (S1.size() > limit || S2.size() > limit))
        return S1.size() < S2.size() ? -1 : 1;
    return result;
}

void TStrings::Error(const char* Message, int Data) const {
    throw EStringListError(Format(Message, {Data}));
}

} // namespace vt
