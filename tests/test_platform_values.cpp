#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include <TarvikFoundation/platform/event.h>
#include <TarvikFoundation/platform/hresult.h>
#include <TarvikFoundation/platform/valueset.h>

#include "platform/pendinganswers.h"

using namespace Platform;

TEST(ValueSet, KeepsEachValueTypeAndRefusesOtherTypes) {
    ValueSet vs;
    vs.Insert(L"i32", int32_t{-5});
    vs.Insert(L"u32", uint32_t{5});
    vs.Insert(L"i64", int64_t{-6});
    vs.Insert(L"u64", uint64_t{6});
    vs.Insert(L"b", true);
    vs.Insert(L"s", hstring(L"text"));

    EXPECT_EQ(vs.LookupAs<int32_t>(L"i32"), -5);
    EXPECT_EQ(vs.LookupAs<uint32_t>(L"u32"), 5u);
    EXPECT_EQ(vs.LookupAs<int64_t>(L"i64"), -6);
    EXPECT_EQ(vs.LookupAs<uint64_t>(L"u64"), 6u);
    EXPECT_TRUE(vs.LookupAs<bool>(L"b"));
    EXPECT_EQ(vs.LookupAs<hstring>(L"s"), hstring(L"text"));

    // The same number under another integer type is a different value.
    EXPECT_THROW(vs.LookupAs<uint64_t>(L"i32"), hresult_no_interface);
    EXPECT_THROW(vs.LookupAs<int32_t>(L"u32"), hresult_no_interface);
    EXPECT_THROW(vs.LookupAs<hstring>(L"b"), hresult_no_interface);
    try {
        vs.LookupAs<int32_t>(L"s");
        FAIL();
    } catch (const hresult_error& e) {
        EXPECT_EQ(e.code(), E_NOINTERFACE_);
    }
}

TEST(ValueSet, MissingKeyRaisesOutOfBoundsAndKeysAreCaseSensitive) {
    ValueSet vs;
    vs.Insert(L"commandId", uint64_t{1});
    EXPECT_FALSE(vs.HasKey(L"CommandId"));
    EXPECT_THROW(vs.Lookup(L"CommandId"), hresult_out_of_bounds);
    EXPECT_THROW(vs.LookupAs<uint64_t>(L"CommandId"), hresult_out_of_bounds);
    EXPECT_FALSE(vs.TryLookup(L"absent").has_value());
    // The typed forms tell an absent key from one of another type.
    EXPECT_FALSE(vs.TryLookupAs<uint64_t>(L"absent").has_value());
    EXPECT_THROW(vs.TryLookupAs<int32_t>(L"commandId"), hresult_no_interface);
    EXPECT_EQ(vs.LookupOr<uint64_t>(L"commandId", 9), 1u);
    EXPECT_EQ(vs.LookupOr<int32_t>(L"commandId", -1), -1);
    EXPECT_EQ(vs.LookupOr<uint64_t>(L"absent", 9), 9u);
    EXPECT_EQ(vs.LookupOr<hstring>(L"absent", hstring(L"none")), hstring(L"none"));
}

TEST(ValueSet, CopiesShareOneMapAndCloneDoesNot) {
    ValueSet a;
    ValueSet b = a;
    b.Insert(L"k", int32_t{1});
    EXPECT_TRUE(a.HasKey(L"k"));
    EXPECT_TRUE(a.same_object(b));

    ValueSet c = a.Clone();
    c.Insert(L"k", int32_t{2});
    EXPECT_EQ(a.LookupAs<int32_t>(L"k"), 1);
    EXPECT_FALSE(a.same_object(c));
    EXPECT_FALSE(a.equals(c));
    c.Insert(L"k", int32_t{1});
    EXPECT_TRUE(a.equals(c));
}

TEST(ValueSet, InsertReportsReplacementAndItemsAreOrdered) {
    ValueSet vs;
    EXPECT_FALSE(vs.Insert(L"b", int32_t{1}));
    EXPECT_TRUE(vs.Insert(L"b", int32_t{2}));
    vs.Insert(L"a", int32_t{0});
    vs.Insert(L"C", int32_t{0});
    auto items = vs.GetItems();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].first, hstring(L"C"));
    EXPECT_EQ(items[1].first, hstring(L"a"));
    EXPECT_EQ(items[2].first, hstring(L"b"));
}

TEST(ValueSet, StaysOrderedAndFindableAsItGrowsAndShrinksInAnyOrder) {
    // More keys than the first block holds, inserted and removed in shuffled order, so
    // that inserts land before, between and after existing entries while it grows.
    std::vector<int> order(40);
    std::iota(order.begin(), order.end(), 0);
    std::mt19937 rng(7);
    std::shuffle(order.begin(), order.end(), rng);
    auto key = [](int n) { return hstring(L"k" + std::to_wstring(1000 + n)); };
    ValueSet vs;
    // Small sets are scanned and larger ones searched by halves: every size on the way
    // must find what it holds and nothing else.
    for (std::size_t i = 0; i < order.size(); ++i) {
        EXPECT_FALSE(vs.Insert(key(order[i]), int32_t{order[i]}));
        for (std::size_t j = 0; j <= i; ++j) {
            ASSERT_EQ(vs.TryLookupAs<int32_t>(key(order[j])), order[j]) << i;
        }
        if (i + 1 < order.size()) {
            ASSERT_FALSE(vs.HasKey(key(order[i + 1]))) << i;
        }
    }
    ASSERT_EQ(vs.Size(), order.size());
    for (int n : order) EXPECT_EQ(vs.LookupAs<int32_t>(key(n)), n);
    std::shuffle(order.begin(), order.end(), rng);
    for (std::size_t r = 0; r < order.size() / 2; ++r) EXPECT_TRUE(vs.Remove(key(order[r])));
    EXPECT_FALSE(vs.Remove(key(order[0])));
    auto items = vs.GetItems();
    ASSERT_EQ(items.size(), order.size() - order.size() / 2);
    for (std::size_t i = 1; i < items.size(); ++i) EXPECT_LT(items[i - 1].first, items[i].first);
    for (std::size_t r = order.size() / 2; r < order.size(); ++r)
        EXPECT_EQ(vs.LookupAs<int32_t>(key(order[r])), order[r]);
    EXPECT_FALSE(vs.HasKey(key(order[0])));
}

TEST(ValueSet, FromItemsOrdersAnyInputAndRefusesRepeatedKeys) {
    auto items = [](std::initializer_list<const wchar_t*> keys) {
        ValueSet::Items out;
        int32_t n = 0;
        for (const wchar_t* k : keys) out.emplace_back(hstring(k), PropertyValue(n++));
        return out;
    };
    for (auto keys :
         {items({L"a", L"b", L"c"}), items({L"c", L"a", L"b"}), items({L"b", L"c", L"a"})}) {
        const ValueSet vs = ValueSet::FromItems(keys);
        const auto got = vs.GetItems();
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[0].first, hstring(L"a"));
        EXPECT_EQ(got[2].first, hstring(L"c"));
        for (const auto& [k, v] : keys) EXPECT_TRUE(vs.Lookup(k) == v);
    }
    // A repeat refused whether it stands next to its twin, apart from it, or in order.
    for (auto keys : {items({L"a", L"a"}), items({L"b", L"a", L"b"}), items({L"a", L"b", L"b"}),
                      items({L"k", L"ka", L"k"})})
        EXPECT_THROW(ValueSet::FromItems(keys), hresult_invalid_argument);
    EXPECT_EQ(ValueSet::FromItems({}).Size(), 0u);
}

TEST(ValueSet, NullValueSetRaisesInsteadOfCrashing) {
    ValueSet none = nullptr;
    EXPECT_FALSE(none);
    EXPECT_THROW(none.Size(), hresult_error);
}

TEST(HString, CountsUtf16UnitsAndRoundTripsUtf8) {
    const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a é € 😀
    const hstring s = hstring::from_utf8(utf8);
    EXPECT_EQ(s.size(), 4u);
    EXPECT_EQ(s.utf16_length(), 5u);
    EXPECT_EQ(s.to_utf8(), utf8);
}

TEST(HString, OneNonAsciiCharacterAnywhereTakesTheFullEncoding) {
    // ASCII text is copied byte for byte; one character past it, wherever it stands,
    // must not be copied as a byte.
    const std::wstring ascii(40, L'k');
    for (std::size_t at : {std::size_t{0}, std::size_t{17}, ascii.size() - 1}) {
        std::wstring text = ascii;
        text[at] = L'\u00E9';
        std::string expected(ascii.size() - 1, 'k');
        expected.insert(at, "\xC3\xA9");
        EXPECT_EQ(hstring(text).to_utf8(), expected) << at;
        EXPECT_EQ(utf8_size(text), expected.size()) << at;
    }
    EXPECT_EQ(hstring(ascii).to_utf8(), std::string(40, 'k'));
    // A lone surrogate and a value outside Unicode become replacement characters.
    const std::wstring odd = {L'a', wchar_t(0xD800), wchar_t(-1)};
    EXPECT_EQ(hstring(odd).to_utf8(), "a\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(HString, InvalidUtf8BecomesReplacementCharacters) {
    const hstring s =
        hstring::from_utf8(std::string("a\xFF"
                                       "b\xE2\x82",
                                       5));
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s.wstr()[0], L'a');
    EXPECT_EQ(s.wstr()[1], static_cast<wchar_t>(0xFFFD));
    EXPECT_EQ(s.wstr()[2], L'b');
    EXPECT_EQ(s.wstr()[3], static_cast<wchar_t>(0xFFFD));
}

TEST(HString, CopiesShareTextAndMovedFromStringsAreEmpty) {
    hstring a(std::wstring(L"a key longer than any small buffer"));
    const hstring b = a;
    EXPECT_EQ(a.c_str(), b.c_str());
    hstring c = std::move(a);
    EXPECT_TRUE(a.empty());
    EXPECT_STREQ(a.c_str(), L"");
    EXPECT_EQ(c, b);
    c = hstring(L"other");
    // b still holds the shared text after c let go of it.
    EXPECT_EQ(std::wstring_view(b), L"a key longer than any small buffer");
    hstring self = b;
    self = std::move(self);
    EXPECT_EQ(self, b);
}

TEST(HString, LiteralsAreReferredToAndCompareAsText) {
    static const wchar_t text[] = L"commandId";
    const hstring literal(hstring::literal, text);
    EXPECT_EQ(literal.c_str(), text);
    EXPECT_EQ(hstring(literal).c_str(), text);
    EXPECT_EQ(literal, hstring(L"commandId"));
    EXPECT_EQ(L"commandId"_hs, literal);
    EXPECT_LT(L"ackCounts"_hs, literal);
    const hstring joined = literal + L": 7"_hs;
    EXPECT_EQ(std::wstring_view(joined), L"commandId: 7");
    EXPECT_EQ(joined.c_str()[joined.size()], L'\0');
}

TEST(HString, KeepsEmbeddedNulsAndEmptyText) {
    const std::string utf8("a\0b", 3);
    const hstring s = hstring::from_utf8(utf8);
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s.to_utf8(), utf8);
    EXPECT_TRUE(hstring::from_utf8("").empty());
    EXPECT_TRUE(hstring(static_cast<const wchar_t*>(nullptr)).empty());
    EXPECT_EQ(hstring(L""), hstring());
}

TEST(HResult, FormsCarryTheirCodes) {
    EXPECT_EQ(hresult_invalid_argument().code(), static_cast<hresult>(0x80070057));
    EXPECT_EQ(hresult_not_implemented().code(), static_cast<hresult>(0x80004001));
    EXPECT_EQ(hresult_object_closed().code(), static_cast<hresult>(0x80000013));
    const hresult_error e(static_cast<hresult>(0xE101000E),
                          L"App Service connection could not be established.");
    EXPECT_STREQ(e.what(), "App Service connection could not be established.");
    EXPECT_EQ(to_hresult(std::make_exception_ptr(e)), static_cast<hresult>(0xE101000E));
}

TEST(Event, TokensRemoveOnlyTheirHandlerAndHandlersMayUnsubscribe) {
    event<int> ev;
    int a = 0, b = 0;
    event_token ta = ev.add([&](int v) { a += v; });
    event_token tb{};
    tb = ev.add([&](int v) {
        b += v;
        ev.remove(tb);  // removing itself while being invoked must be safe
    });
    EXPECT_EQ(ev(2), 2u);
    EXPECT_EQ(ev(3), 1u);
    ev.remove(ta);
    EXPECT_EQ(ev(4), 0u);
    EXPECT_EQ(a, 5);
    EXPECT_EQ(b, 2);
}

TEST(Event, WeakHandlerStopsWithItsObject) {
    struct Listener {
        int calls = 0;
        void onEvent(int) { ++calls; }
    };
    event<int> ev;
    auto listener = std::make_shared<Listener>();
    ev.add(weak_handler(listener, &Listener::onEvent));
    ev(1);
    EXPECT_EQ(listener->calls, 1);
    std::weak_ptr<Listener> weak = listener;
    listener.reset();
    EXPECT_TRUE(weak.expired());
    ev(1);  // must not touch the destroyed listener
}

TEST(PendingAnswers, TakesEachWaiterOnceWhateverOrderTheyArriveAndReturnIn) {
    PendingAnswers<int> pending;
    // Senders on several threads add out of order now and then.
    for (uint64_t s : {1, 2, 4, 3, 6, 5, 7}) pending.add(s, static_cast<int>(s) * 10);
    EXPECT_EQ(pending.size(), 7u);
    // Answers from the front, the middle and the back; an unknown or repeated one finds
    // nothing.
    EXPECT_EQ(pending.take(1), 10);
    EXPECT_EQ(pending.take(5), 50);
    EXPECT_EQ(pending.take(7), 70);
    EXPECT_FALSE(pending.take(5).has_value());
    EXPECT_FALSE(pending.take(99).has_value());
    EXPECT_FALSE(pending.take(0).has_value());
    pending.add(3, 33);  // a waiter added again replaces the first
    const auto rest = pending.takeAll();
    ASSERT_EQ(rest.size(), 4u);
    const std::vector<std::pair<uint64_t, int>> expected = {{2, 20}, {3, 33}, {4, 40}, {6, 60}};
    EXPECT_TRUE(std::equal(rest.begin(), rest.end(), expected.begin()));
    EXPECT_EQ(pending.size(), 0u);
    EXPECT_FALSE(pending.take(2).has_value());
}
