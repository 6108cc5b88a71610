// The open string lists: growth, binary search, duplicates, sorting, ownership of objects,
// refusals that leave the list unchanged, and the case-insensitive comparison.
#include "streams/StringLists.h"

#include "platform/Win32.h"
#include "rtl/Memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

using namespace vt;

namespace {

// Records the order in which objects are destroyed.
std::vector<int> Freed;

class TTagged : public TObject {
public:
    explicit TTagged(int tag) : Tag(tag) {}
    ~TTagged() override { Freed.push_back(Tag); }
    int Tag;
};

int TagAt(const TOpenStringList& list, int index) {
    return static_cast<TTagged*>(list.ObjectAt(index))->Tag;
}

std::vector<std::string> Items(const TOpenStringList& list) {
    std::vector<std::string> out;
    for (int i = 0; i < list.Count(); ++i)
        out.push_back(list.StringAt(i));
    return out;
}

template <class F> std::string ListError(F&& f) {
    try {
        f();
    } catch (const EStringListError& e) {
        return e.Message;
    }
    return "(nothing raised)";
}

// Sorted list holding the given strings, added in order.
void Fill(TOpenStringList& list, std::initializer_list<const char*> strings) {
    for (const char* s : strings)
        list.Add(s);
}

} // namespace

// ---- storage -----------------------------------------------------------------------------

TEST(OpenStringList, CapacityGrowsByTheGrowthRule) {
    TOpenStringList list;
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Capacity(), 0);
    std::vector<int> seen;
    for (int i = 0; i < 120; ++i) {
        list.Add(std::to_string(i));
        if (seen.empty() || seen.back() != list.Capacity())
            seen.push_back(list.Capacity());
        if (i == 12) {
            EXPECT_EQ(list.Capacity(), 28) << "the 13th Add";
        }
    }
    EXPECT_EQ(seen, (std::vector<int>{4, 8, 12, 28, 44, 60, 76, 95, 118, 147}));
    EXPECT_EQ(list.StringAt(119), "119");
}

TEST(OpenStringList, ClearDropsCapacityOnlyWhenItemsRemain) {
    TOpenStringList list;
    Fill(list, {"a", "b", "c"});
    list.Delete(0);
    list.Delete(0);
    list.Delete(0);
    EXPECT_EQ(list.Capacity(), 4) << "Delete keeps the array";
    list.Clear();
    EXPECT_EQ(list.Capacity(), 4) << "Clear of an empty list does nothing";
    Fill(list, {"x"});
    list.Clear();
    EXPECT_EQ(list.Capacity(), 0);
    EXPECT_EQ(list.Count(), 0);
}

TEST(OpenStringList, StringsAreByteStrings) {
    TOpenStringList list;
    const std::string withZero("a\0b", 3);
    list.Add(withZero);
    list.Add("");
    list.Add(std::string(1000, 'z'));
    EXPECT_EQ(list.StringAt(0), withZero);
    EXPECT_EQ(list.StringAt(1), "");
    EXPECT_EQ(list.StringAt(2).size(), 1000u);
    list.SetStringAt(1, "filled");
    EXPECT_EQ(list.StringView(1), "filled");
}

TEST(OpenStringList, SetCountGrowsWithEmptyItemsAndShrinksFromTheEnd) {
    TOpenStringList list;
    list.SetCount(5);
    EXPECT_EQ(list.Count(), 5);
    EXPECT_EQ(list.Capacity(), 5) << "exactly N, not the growth rule";
    EXPECT_EQ(list.StringAt(4), "");
    EXPECT_EQ(list.ObjectAt(4), nullptr);
    list.SetStringAt(1, "one");
    list.SetCount(2);
    EXPECT_EQ(Items(list), (std::vector<std::string>{"", "one"}));
    EXPECT_EQ(list.Capacity(), 5);
}

// ---- index checks and refusals -----------------------------------------------------------

TEST(OpenStringList, BadIndexesAreRefusedWithTheIndex) {
    TOpenStringList list;
    Fill(list, {"a", "b"});
    EXPECT_EQ(ListError([&] { list.StringAt(2); }), "List index out of bounds (2)");
    EXPECT_EQ(ListError([&] { list.ObjectAt(-1); }), "List index out of bounds (-1)");
    EXPECT_EQ(ListError([&] { list.SetStringAt(5, "x"); }), "List index out of bounds (5)");
    EXPECT_EQ(ListError([&] { list.SetObjectAt(2, nullptr); }), "List index out of bounds (2)");
    EXPECT_EQ(ListError([&] { list.Delete(2); }), "List index out of bounds (2)");
    EXPECT_EQ(ListError([&] { list.Swap(7, 9); }), "List index out of bounds (7)");
    EXPECT_EQ(ListError([&] { list.Swap(0, 9); }), "List index out of bounds (9)");
    EXPECT_EQ(ListError([&] { list.Insert(3, "x"); }), "List index out of bounds (3)");
    EXPECT_EQ(ListError([&] { list.Insert(-1, "x"); }), "List index out of bounds (-1)");
    EXPECT_EQ(Items(list), (std::vector<std::string>{"a", "b"}));

    list.Insert(2, "c"); // Count appends
    list.Insert(0, "z");
    EXPECT_EQ(Items(list), (std::vector<std::string>{"z", "a", "b", "c"}));
}

TEST(OpenStringList, CapacityAndCountRefusalsLeaveTheListAlone) {
    TOpenStringList list;
    Fill(list, {"a", "b", "c"});
    EXPECT_EQ(ListError([&] { list.SetCapacity(2); }), "List capacity out of bounds (2)");
    EXPECT_EQ(ListError([&] { list.SetCapacity(-1); }), "List capacity out of bounds (-1)");
    EXPECT_EQ(ListError([&] { list.SetCount(-4); }), "List index out of bounds (-4)");
    EXPECT_EQ(Items(list), (std::vector<std::string>{"a", "b", "c"}));
    list.SetCapacity(3);
    EXPECT_EQ(list.Capacity(), 3);
    list.SetCapacity(100);
    EXPECT_EQ(Items(list), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(OpenStringList, SortedListsRefuseInsertAndSetStringAt) {
    TOpenStringList list;
    list.SetSorted(true);
    Fill(list, {"a", "b"});
    const std::string refused = "Operation not allowed on sorted string list";
    EXPECT_EQ(ListError([&] { list.Insert(0, "x"); }), refused);
    EXPECT_EQ(ListError([&] { list.Insert(99, "x"); }), refused);
    EXPECT_EQ(ListError([&] { list.SetStringAt(99, "x"); }), refused);
    TObject marker;
    list.SetObjectAt(1, &marker); // allowed when sorted
    EXPECT_EQ(list.ObjectAt(1), &marker);
}

TEST(OpenStringList, FailedAllocationsLeaveTheListUnchanged) {
    const long baseline = AllocatedBlocks();
    {
        TOpenStringList list;
        Fill(list, {"a", "b", "c", "d"}); // full: the next Add must grow
        static int allowed;
        for (int failAt = 0; failAt < 2; ++failAt) {
            allowed = failAt;
            SetAllocFailHook([](size_t) { return allowed-- <= 0; });
            EXPECT_THROW(list.Add("e"), EOutOfMemory);
            SetAllocFailHook(nullptr);
            EXPECT_EQ(list.Count(), 4);
            EXPECT_EQ(list.Capacity(), 4);
        }
        allowed = 0;
        SetAllocFailHook([](size_t) { return allowed-- <= 0; });
        EXPECT_THROW(list.SetStringAt(0, "new"), EOutOfMemory);
        SetAllocFailHook(nullptr);
        EXPECT_EQ(Items(list), (std::vector<std::string>{"a", "b", "c", "d"}));
        list.Add("e");
        EXPECT_EQ(list.Count(), 5);
    }
    EXPECT_EQ(AllocatedBlocks(), baseline);
}

// ---- order, search and duplicates ---------------------------------------------------------

TEST(OpenStringList, ItemOrderIsBytewiseAndCaseSensitive) {
    TOpenStringList list;
    Fill(list, {"b", "ab", "a", "B", "\xe9", "", "a\0"});
    list.SetStringAt(6, std::string("a\0", 2));
    list.SetSorted(true);
    EXPECT_EQ(Items(list),
              (std::vector<std::string>{"", "B", "a", std::string("a\0", 2), "ab", "b", "\xe9"}));
    EXPECT_LT(CompareItemStrings(&list, 1, 2), 0);
    EXPECT_GT(CompareItemStrings(&list, 6, 5), 0) << "bytes compare as unsigned";
    EXPECT_EQ(CompareItemStrings(&list, 3, 3), 0);
}

TEST(OpenStringList, FindReportsWhereAStringBelongs) {
    TOpenStringList list;
    list.SetSorted(true);
    Fill(list, {"d", "b"});
    int index = -7;
    EXPECT_FALSE(list.Find("a", index));
    EXPECT_EQ(index, 0);
    EXPECT_FALSE(list.Find("c", index));
    EXPECT_EQ(index, 1);
    EXPECT_FALSE(list.Find("e", index));
    EXPECT_EQ(index, 2);
    EXPECT_TRUE(list.Find("d", index));
    EXPECT_EQ(index, 1);

    TOpenStringList empty;
    EXPECT_FALSE(empty.Find("x", index));
    EXPECT_EQ(index, 0);
}

TEST(OpenStringList, DuplicatesPolicies) {
    {
        TOpenStringList list; // ignore
        list.SetSorted(true);
        Fill(list, {"a", "z"});
        EXPECT_EQ(list.Add("x"), 1);
        EXPECT_EQ(list.Add("x"), 1);
        EXPECT_EQ(list.Count(), 3);
    }
    {
        TOpenStringList list; // accept: the newcomer goes before the equal items
        list.Duplicates = dupAccept;
        list.SetSorted(true);
        TObject first, second, third;
        list.AddWithObject("x", &first);
        list.AddWithObject("a", nullptr);
        EXPECT_EQ(list.AddWithObject("x", &second), 1);
        EXPECT_EQ(list.AddWithObject("x", &third), 1);
        EXPECT_EQ(list.Count(), 4);
        EXPECT_EQ(list.ObjectAt(1), &third);
        EXPECT_EQ(list.ObjectAt(2), &second);
        EXPECT_EQ(list.ObjectAt(3), &first);
        int index;
        EXPECT_TRUE(list.Find("x", index));
        EXPECT_EQ(index, 1) << "the first of the equal items";
    }
    {
        TOpenStringList list; // error
        list.Duplicates = dupError;
        list.SetSorted(true);
        list.Add("x");
        EXPECT_EQ(ListError([&] { list.Add("x"); }), "String list does not allow duplicates");
        EXPECT_EQ(list.Count(), 1);
    }
    {
        TOpenStringList list; // unsorted lists never look
        list.Duplicates = dupError;
        Fill(list, {"x", "x"});
        EXPECT_EQ(list.Count(), 2);
    }
}

TEST(OpenStringList, IndexOfIsExactWhenSortedAndCaseBlindOtherwise) {
    TOpenStringList list;
    Fill(list, {"one", "ABC", "abc"});
    EXPECT_EQ(list.IndexOf("abc"), 1) << "linear, without regard to case";
    EXPECT_EQ(list.IndexOf("Abc"), 1);
    EXPECT_EQ(list.IndexOf("ab"), -1);
    list.SetSorted(true); // "ABC", "abc", "one"
    EXPECT_EQ(list.IndexOf("abc"), 1);
    EXPECT_EQ(list.IndexOf("ABC"), 0);
    EXPECT_EQ(list.IndexOf("Abc"), -1);
}

TEST(OpenStringList, SortedFlagSortsOnceAndSwapDoesNotResort) {
    TOpenStringList list;
    Fill(list, {"c", "a", "b", "a"});
    list.SetSorted(true);
    EXPECT_EQ(Items(list), (std::vector<std::string>{"a", "a", "b", "c"})) << "duplicates stay";
    list.Swap(0, 3);
    list.Sort();
    list.SortWith([](TOpenStringList* l, int i, int j) { return CompareItemStrings(l, i, j); });
    EXPECT_EQ(Items(list), (std::vector<std::string>{"c", "a", "b", "a"}));
    list.SetSorted(false);
    EXPECT_EQ(Items(list), (std::vector<std::string>{"c", "a", "b", "a"}));
    list.Sort();
    EXPECT_EQ(Items(list), (std::vector<std::string>{"a", "a", "b", "c"}));
}

// Many random lists against a reference sort: the result is ordered, the same multiset, and
// each object still belongs to its string.
TEST(OpenStringList, QuickSortAgreesWithAReferenceSort) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 400; ++round) {
        const int n = static_cast<int>(rng() % 200);
        const int alphabet = 1 + static_cast<int>(rng() % 4);
        TOpenStringList list;
        std::vector<std::string> reference;
        std::vector<TObject> tags(static_cast<size_t>(n));
        std::vector<std::string> assigned;
        for (int i = 0; i < n; ++i) {
            std::string s;
            const size_t len = rng() % 5;
            for (size_t k = 0; k < len; ++k)
                s += static_cast<char>('a' +
                                       static_cast<int>(rng() % static_cast<unsigned>(alphabet)));
            reference.push_back(s);
            assigned.push_back(s);
            list.AddWithObject(s, &tags[static_cast<size_t>(i)]);
        }
        list.Sort();
        std::sort(reference.begin(), reference.end());
        ASSERT_EQ(Items(list), reference) << "round " << round;
        for (int i = 0; i < n; ++i) {
            const auto tag =
                static_cast<size_t>(static_cast<const TObject*>(list.ObjectAt(i)) - tags.data());
            ASSERT_LT(tag, tags.size());
            ASSERT_EQ(list.StringAt(i), assigned[tag]) << "objects travel with their strings";
        }
    }
}

TEST(OpenStringList, SortWithUsesTheCallersOrder) {
    TOpenStringList list;
    Fill(list, {"ccc", "a", "bb", "dddd", ""});
    list.SortWith([](TOpenStringList* l, int i, int j) {
        return static_cast<int>(l->StringView(j).size()) -
               static_cast<int>(l->StringView(i).size());
    });
    EXPECT_EQ(Items(list), (std::vector<std::string>{"dddd", "ccc", "bb", "a", ""}));
}

TEST(OpenStringList, AnInconsistentOrderStaysInsideTheList) {
    // Under ASan a read outside the array would abort the test.
    static std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        TOpenStringList list;
        const int n = 1 + static_cast<int>(rng() % 60);
        for (int i = 0; i < n; ++i)
            list.Add(std::to_string(i));
        list.SortWith([](TOpenStringList*, int, int) { return static_cast<int>(rng() % 3) - 1; });
        list.SortWith([](TOpenStringList*, int, int) { return -1; });
        std::vector<std::string> items = Items(list);
        std::sort(items.begin(), items.end());
        std::vector<std::string> expected;
        for (int i = 0; i < n; ++i)
            expected.push_back(std::to_string(i));
        std::sort(expected.begin(), expected.end());
        ASSERT_EQ(items, expected);
    }
}

// ---- ownership of objects -----------------------------------------------------------------

TEST(StringObjectList, FreesObjectsInTheDocumentedOrder) {
    TStringObjectList list;
    for (int i = 1; i <= 3; ++i)
        list.AddWithObject(std::to_string(i), new TTagged(i));
    Freed.clear();
    list.SetCount(0);
    EXPECT_EQ(Freed, (std::vector<int>{3, 2, 1})) << "SetCount deletes the last item first";

    for (int i = 1; i <= 3; ++i)
        list.AddWithObject(std::to_string(i), new TTagged(i));
    list.AddWithObject("empty", nullptr);
    Freed.clear();
    list.Clear();
    EXPECT_EQ(Freed, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(list.Capacity(), 0);
}

TEST(StringObjectList, DeleteFreesOnlyWithAValidIndex) {
    TStringObjectList list;
    list.AddWithObject("a", new TTagged(1));
    list.AddWithObject("b", new TTagged(2));
    Freed.clear();
    EXPECT_EQ(ListError([&] { list.Delete(-1); }), "List index out of bounds (-1)");
    EXPECT_EQ(ListError([&] { list.Delete(2); }), "List index out of bounds (2)");
    EXPECT_TRUE(Freed.empty());
    list.Delete(0);
    EXPECT_EQ(Freed, std::vector<int>{1});
    EXPECT_EQ(TagAt(list, 0), 2);
    Freed.clear();
}

TEST(StringObjectList, ReplacingReferencesKeepsOwnershipClear) {
    Freed.clear();
    {
        TStringObjectList list;
        list.SetSorted(true);
        auto* kept = new TTagged(1);
        list.AddWithObject("a", kept);
        list.SetObjectAt(0, new TTagged(2)); // SetObjectAt does not free: kept is ours again
        EXPECT_TRUE(Freed.empty());
        delete kept;
        EXPECT_EQ(Freed, std::vector<int>{1});

        // A sorted list that ignores duplicates attaches the newcomer to the existing item
        // and frees the object it owned there.
        EXPECT_EQ(list.AddWithObject("a", new TTagged(3)), 0);
        EXPECT_EQ(list.Count(), 1);
        EXPECT_EQ(Freed, (std::vector<int>{1, 2}));
        EXPECT_EQ(TagAt(list, 0), 3);

        auto* same = static_cast<TTagged*>(list.ObjectAt(0));
        list.AddWithObject("a", same); // re-attaching the same object frees nothing
        EXPECT_EQ(Freed, (std::vector<int>{1, 2}));

        list.Duplicates = dupError;
        auto* refused = new TTagged(4);
        EXPECT_THROW(list.AddWithObject("a", refused), EStringListError);
        delete refused; // still the caller's
        EXPECT_EQ(TagAt(list, 0), 3);
    }
    EXPECT_EQ(Freed, (std::vector<int>{1, 2, 4, 3})) << "destruction frees the rest";
    Freed.clear();
}

// ---- case-insensitive comparison ------------------------------------------------------------

TEST(StringCompare, CaseInsensitiveComparisonFoldsLetters) {
    TOpenStringList list;
    EXPECT_EQ(list.CompareCaseInsensitive("Hello", "hELLO"), 0);
    EXPECT_LT(list.CompareCaseInsensitive("abc", "ABD"), 0);
    EXPECT_GT(list.CompareCaseInsensitive("abcd", "ABC"), 0);
    EXPECT_LT(list.CompareCaseInsensitive("", "a"), 0);
    EXPECT_EQ(list.CompareCaseInsensitive("", ""), 0);
}

#if !defined(_WIN32)
// The Linux substitute folds ASCII letters only and compares the other bytes as they are.
TEST(StringCompare, LinuxSubstituteFoldsAsciiOnly) {
    EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, "ABC", -1, "abc", -1),
              CSTR_EQUAL);
    EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, 0, "ABC", -1, "abc", -1), CSTR_LESS_THAN);
    EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, "\xc0", 1, "\xe0", 1),
              CSTR_LESS_THAN);
    EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, "_", 1, "a", 1), CSTR_LESS_THAN)
        << "letters fold to lower case";
    EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, "a\0b", 3, "A\0B", 3),
              CSTR_EQUAL);
    EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, "ab", 1, "a", -1), CSTR_EQUAL);
    SetLastError(0);
    EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, 0, nullptr, 2, "a", 1), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, 0, "a", -2, "a", 1), 0);
}
#endif
