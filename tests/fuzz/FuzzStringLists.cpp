// Fuzz target: a string list (owning its objects or not) under a random sequence of
// operations, checked after every one against a simple model: the strings and objects in
// order, the capacity by the growth rule, the sorted flag, the refusals with their messages,
// and which objects are alive (an owning list frees an object exactly when its item goes).
#include "FuzzSupport.h"

#include "streams/StringLists.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using vt::fuzz::TFuzzInput;

constexpr size_t MaxInput = 4096;

// Objects that know whether they are alive.
std::set<const vt::TObject*> Live;

class TTracked : public vt::TObject {
public:
    TTracked() { Live.insert(this); }
    ~TTracked() override { VT_FUZZ_CHECK(Live.erase(this) == 1, "an object was freed twice"); }
};

// The order of sorted lists, written out independently: unsigned bytes, then the shorter.
int CompareBytes(std::string_view a, std::string_view b) {
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

struct TModel {
    std::vector<std::pair<std::string, vt::TObject*>> Items;
    int Capacity = 0;
    bool Sorted = false;
    vt::TDuplicates Duplicates = vt::dupIgnore;

    int Count() const { return static_cast<int>(Items.size()); }

    // The lookup of sorted lists: the lowest position whose string is not less than S; on a
    // hit, unless duplicates are accepted, the equal item the search meets.
    bool Find(std::string_view s, int& index) const {
        int l = 0;
        int h = Count() - 1;
        bool found = false;
        while (l <= h) {
            const int i = (l + h) / 2;
            const int c = CompareBytes(Items[static_cast<size_t>(i)].first, s);
            if (c < 0) {
                l = i + 1;
            } else {
                h = i - 1;
                if (c == 0) {
                    found = true;
                    if (Duplicates != vt::dupAccept)
                        l = i;
                }
            }
        }
        index = l;
        return found;
    }

    // Room for one more item, by the growth rule.
    void Grow() {
        if (Count() < Capacity)
            return;
        Capacity += Capacity > 64 ? Capacity / 4 : (Capacity > 8 ? 16 : 4);
    }
};

// Texts from a small alphabet, so that duplicates, case variants, prefixes, bytes above 127
// and embedded zeros are common.
std::string Text(TFuzzInput& in) {
    static const char Alphabet[] = {'a', 'A', 'b', 'B', 'z', '_', '-', '\0', '\x80', '\xff'};
    std::string s(in.U8() % 5, ' ');
    for (char& c : s)
        c = Alphabet[in.U8() % sizeof Alphabet];
    return s;
}

int Index(TFuzzInput& in, int count) {
    return static_cast<int>(in.U8() % (count + 3)) - 1; // -1 .. count + 1
}

std::string IndexMessage(int index) {
    return "List index out of bounds (" + std::to_string(index) + ")";
}

// Comparisons for SortWith: a consistent one (longer strings first, then bytes descending)
// and one that answers at random.
int LongestFirst(vt::TOpenStringList* list, int a, int b) {
    const std::string_view x = list->StringView(a);
    const std::string_view y = list->StringView(b);
    if (x.size() != y.size())
        return x.size() > y.size() ? -1 : 1;
    return CompareBytes(y, x);
}
uint32_t Noise = 1;
int AtRandom(vt::TOpenStringList*, int, int) {
    Noise = Noise * 1103515245u + 12345u;
    return static_cast<int>((Noise >> 16) % 3) - 1;
}

class THarness {
public:
    THarness(bool owning, TFuzzInput& input)
        : Owning(owning), In(input),
          List(owning ? new vt::TStringObjectList() : new vt::TOpenStringList()) {}

    ~THarness() {
        List.reset();
        Pool.clear();
        VT_FUZZ_CHECK(Live.empty(), "objects leaked by the list");
    }

    void Run() {
        for (int step = 0; step < 400 && !In.Empty(); ++step) {
            Step(In.U8() % 17);
            Verify();
        }
    }

private:
    // An object to attach: a fresh one that an owning list takes over, or one of the
    // harness's own for a list that does not own.
    vt::TObject* NewObject() {
        if (In.U8() % 4 == 0)
            return nullptr;
        if (Owning)
            return new TTracked();
        if (Pool.size() < 8)
            Pool.push_back(std::make_unique<TTracked>());
        return Pool[In.U8() % Pool.size()].get();
    }
    // An object the list has handed back (refused or replaced without being freed).
    void Returned(vt::TObject* object) {
        if (Owning)
            delete object;
    }

    // Runs Action, which must raise EStringListError with Message and change nothing.
    template <typename TAction> void Refused(const std::string& message, TAction action) {
        try {
            action();
        } catch (const vt::EStringListError& e) {
            VT_FUZZ_CHECK(e.Message == message,
                          "message \"" + e.Message + "\", expected \"" + message + "\"");
            return;
        }
        VT_FUZZ_CHECK(false, "not refused: " + message);
    }

    void Insert(int index, const std::string& s, vt::TObject* object) {
        Model.Grow();
        Model.Items.insert(Model.Items.begin() + index, {s, object});
    }

    // The list has removed the item (an owning list has freed its object, which Verify sees).
    void Delete(int index) { Model.Items.erase(Model.Items.begin() + index); }

    void Add(bool withObject) {
        const std::string s = Text(In);
        vt::TObject* object = withObject ? NewObject() : nullptr;
        int index = Model.Count();
        const bool found = Model.Sorted && Model.Find(s, index);
        if (found && Model.Duplicates == vt::dupError) {
            Refused("String list does not allow duplicates",
                    [&] { withObject ? List->AddWithObject(s, object) : List->Add(s); });
            Returned(object);
            return;
        }
        const int result = withObject ? List->AddWithObject(s, object) : List->Add(s);
        VT_FUZZ_CHECK(result == index, "Add gave index " + std::to_string(result) + ", expected " +
                                           std::to_string(index));
        if (found && Model.Duplicates == vt::dupIgnore) {
            if (withObject) {
                // The object goes to the existing item; an owning list frees the one it held.
                Model.Items[static_cast<size_t>(index)].second = object;
            }
            return;
        }
        Insert(index, s, object);
    }

    void Step(int op) {
        const int count = Model.Count();
        switch (op) {
        case 0:
            Add(false);
            break;
        case 1:
            Add(true);
            break;
        case 2: { // Insert, with or without an object
            const int index = Index(In, count);
            const std::string s = Text(In);
            vt::TObject* object = NewObject();
            if (Model.Sorted) {
                Refused("Operation not allowed on sorted string list",
                        [&] { List->InsertWithObject(index, s, object); });
                Returned(object);
            } else if (index < 0 || index > count) {
                Refused(IndexMessage(index), [&] { List->InsertWithObject(index, s, object); });
                Returned(object);
            } else {
                List->InsertWithObject(index, s, object);
                Insert(index, s, object);
            }
            break;
        }
        case 3: { // Delete
            const int index = Index(In, count);
            if (index < 0 || index >= count) {
                Refused(IndexMessage(index), [&] { List->Delete(index); });
            } else {
                List->Delete(index);
                Delete(index);
            }
            break;
        }
        case 4: // Clear: capacity drops to 0 only when there was something to clear
            List->Clear();
            while (Model.Count() > 0)
                Delete(0);
            if (count > 0)
                Model.Capacity = 0;
            break;
        case 5: { // Swap: Index1 is checked first
            const int a = Index(In, count);
            const int b = Index(In, count);
            if (a < 0 || a >= count || b < 0 || b >= count) {
                Refused(IndexMessage(a < 0 || a >= count ? a : b), [&] { List->Swap(a, b); });
            } else {
                List->Swap(a, b);
                std::swap(Model.Items[static_cast<size_t>(a)], Model.Items[static_cast<size_t>(b)]);
            }
            break;
        }
        case 6: { // IndexOf: binary search when sorted, else linear and without regard to case
            const std::string s = Text(In);
            int expected = -1;
            if (Model.Sorted) {
                int index;
                if (Model.Find(s, index))
                    expected = index;
            } else {
                for (int i = 0; i < count && expected < 0; ++i)
                    if (List->CompareCaseInsensitive(Model.Items[static_cast<size_t>(i)].first,
                                                     s) == 0)
                        expected = i;
            }
            VT_FUZZ_CHECK(List->IndexOf(s) == expected, "IndexOf differs");
            break;
        }
        case 7: { // Find
            const std::string s = Text(In);
            int index = -2;
            int expected = -3;
            const bool found = List->Find(s, index);
            VT_FUZZ_CHECK(found == Model.Find(s, expected) && index == expected, "Find differs");
            break;
        }
        case 8: // SetSorted
            if (In.Bool()) {
                List->SetSorted(true);
                if (!Model.Sorted)
                    AdoptOrder(CompareBytes);
                Model.Sorted = true;
            } else {
                List->SetSorted(false);
                Model.Sorted = false;
            }
            break;
        case 9: // Sort, or SortWith a consistent or a random comparison
            switch (In.U8() % 3) {
            case 0:
                List->Sort();
                if (!Model.Sorted)
                    AdoptOrder(CompareBytes);
                break;
            case 1:
                List->SortWith(LongestFirst);
                if (!Model.Sorted)
                    AdoptOrder([](std::string_view x, std::string_view y) {
                        if (x.size() != y.size())
                            return x.size() > y.size() ? -1 : 1;
                        return CompareBytes(y, x);
                    });
                break;
            default:
                List->SortWith(AtRandom);
                if (!Model.Sorted)
                    AdoptOrder(nullptr);
                break;
            }
            break;
        case 10: { // SetCount: grows with empty items, shrinks from the last item down
            const int n = static_cast<int>(In.U8() % (count + 24)) - 2;
            if (n < 0) {
                Refused(IndexMessage(n), [&] { List->SetCount(n); });
            } else {
                List->SetCount(n);
                if (n > Model.Capacity)
                    Model.Capacity = n;
                while (Model.Count() > n)
                    Delete(Model.Count() - 1);
                Model.Items.resize(static_cast<size_t>(n), {std::string(), nullptr});
            }
            break;
        }
        case 11: { // SetCapacity
            const int n = static_cast<int>(In.U8() % (count + 40)) - 2;
            if (n < count) {
                Refused("List capacity out of bounds (" + std::to_string(n) + ")",
                        [&] { List->SetCapacity(n); });
            } else {
                List->SetCapacity(n);
                Model.Capacity = n;
            }
            break;
        }
        case 12: { // StringAt and ObjectAt
            const int index = Index(In, count);
            if (index < 0 || index >= count) {
                Refused(IndexMessage(index), [&] { (void)List->StringAt(index); });
                Refused(IndexMessage(index), [&] { (void)List->ObjectAt(index); });
            } else {
                VT_FUZZ_CHECK(List->StringAt(index) ==
                                  Model.Items[static_cast<size_t>(index)].first,
                              "StringAt differs");
                VT_FUZZ_CHECK(List->ObjectAt(index) ==
                                  Model.Items[static_cast<size_t>(index)].second,
                              "ObjectAt differs");
            }
            break;
        }
        case 13: { // SetStringAt: refused when sorted, before the index is looked at
            const int index = Index(In, count);
            const std::string s = Text(In);
            if (Model.Sorted)
                Refused("Operation not allowed on sorted string list",
                        [&] { List->SetStringAt(index, s); });
            else if (index < 0 || index >= count)
                Refused(IndexMessage(index), [&] { List->SetStringAt(index, s); });
            else {
                List->SetStringAt(index, s);
                Model.Items[static_cast<size_t>(index)].first = s;
            }
            break;
        }
        case 14: { // SetObjectAt: the replaced object is the caller's again, not freed
            const int index = Index(In, count);
            vt::TObject* object = NewObject();
            if (index < 0 || index >= count) {
                Refused(IndexMessage(index), [&] { List->SetObjectAt(index, object); });
                Returned(object);
            } else {
                List->SetObjectAt(index, object);
                vt::TObject*& slot = Model.Items[static_cast<size_t>(index)].second;
                if (slot != object)
                    Returned(slot);
                slot = object;
            }
            break;
        }
        case 15: // Duplicates
            List->Duplicates = static_cast<vt::TDuplicates>(In.U8() % 3);
            Model.Duplicates = List->Duplicates;
            break;
        default: { // Delete through an object-owning Delete's index check, then re-add
            const int index = Index(In, count);
            if (index >= 0 && index < count) {
                const std::string s = Model.Items[static_cast<size_t>(index)].first;
                List->Delete(index);
                Delete(index);
                if (!Model.Sorted) {
                    List->Add(s);
                    Insert(Model.Count(), s, nullptr);
                }
            }
            break;
        }
        }
    }

    // After a sort: the list must hold the same items in an order that Compare accepts (any
    // order for a null Compare); the model takes that order over.
    template <typename TCompare> void AdoptOrder(TCompare compare) {
        std::vector<std::pair<std::string, vt::TObject*>> items;
        for (int i = 0; i < List->Count(); ++i)
            items.emplace_back(List->StringAt(i), List->ObjectAt(i));
        auto a = items;
        auto b = Model.Items;
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        VT_FUZZ_CHECK(a == b, "sorting lost or made up items");
        if constexpr (!std::is_same_v<TCompare, std::nullptr_t>) {
            for (size_t i = 1; i < items.size(); ++i)
                VT_FUZZ_CHECK(compare(items[i - 1].first, items[i].first) <= 0,
                              "items out of order after sorting");
        }
        Model.Items = std::move(items);
    }

    void Verify() {
        VT_FUZZ_CHECK(List->Count() == Model.Count(), "Count " + std::to_string(List->Count()) +
                                                          ", expected " +
                                                          std::to_string(Model.Count()));
        VT_FUZZ_CHECK(List->Capacity() == Model.Capacity,
                      "Capacity " + std::to_string(List->Capacity()) + ", expected " +
                          std::to_string(Model.Capacity));
        VT_FUZZ_CHECK(List->Sorted() == Model.Sorted, "Sorted differs");
        std::set<const vt::TObject*> attached;
        for (int i = 0; i < Model.Count(); ++i) {
            const auto& item = Model.Items[static_cast<size_t>(i)];
            VT_FUZZ_CHECK(List->StringView(i) == item.first,
                          "string " + std::to_string(i) + " differs");
            VT_FUZZ_CHECK(List->ObjectAt(i) == item.second,
                          "object " + std::to_string(i) + " differs");
            if (item.second != nullptr)
                attached.insert(item.second);
        }
        if (Owning) {
            // Alive: exactly the objects attached to items.
            VT_FUZZ_CHECK(Live == attached, "an owned object was freed too early or too late");
        } else {
            VT_FUZZ_CHECK(Live.size() == Pool.size(), "a list that does not own freed an object");
        }
    }

    bool Owning;
    TFuzzInput& In;
    std::unique_ptr<vt::TOpenStringList> List;
    std::vector<std::unique_ptr<TTracked>> Pool; // objects of a list that does not own them
    TModel Model;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > MaxInput)
        return 0;
    vt::fuzz::Startup();
    TFuzzInput in(data, size);
    Noise = 1;
    {
        THarness harness((in.U8() & 1) != 0, in);
        harness.Run();
    }
    return 0;
}
