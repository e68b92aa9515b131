#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <ranges>

#include "messages/FlatReader.h"
#include "messages/FlatViews.h"
#include "messages/MessageTestBytes.h"

namespace quill {
namespace {

using testing::hexBytes;

// One table with two declared fields: an Int16 (slot 0) and a string (slot 1); returns the bytes and
// the table's position from the start.
std::pair<Bytes, int32_t> smallTable(std::optional<std::string> text = "hi", int16_t number = 300) {
    FlatBuilder b;
    const int32_t s = b.insertString(text);
    b.startObject(2);
    b.insert(number, int16_t{0}, 0);
    if (s) b.insertOffset(s, 1);
    const int32_t table = b.endObject();
    b.finish(table);
    Bytes bytes = b.makeData();
    return {bytes, static_cast<int32_t>(bytes.size()) - table};
}

TEST(FlatReaderTest, RootNeedsFourBytes) {
    for (size_t n = 0; n < 4; ++n)
        EXPECT_FALSE(FlatMemoryReader(Bytes(n, 1)).rootObjectOffset()) << n;
    EXPECT_EQ(FlatMemoryReader(hexBytes("fe ff ff ff")).rootObjectOffset(), -2);
}

TEST(FlatReaderTest, FieldsReadAndDefaults) {
    auto [bytes, table] = smallTable();
    FlatMemoryReader reader(bytes);
    EXPECT_EQ(reader.rootObjectOffset(), table);
    EXPECT_EQ(reader.get<int16_t>(table, 0), 300);
    EXPECT_EQ(reader.get<int16_t>(table, 2, int16_t{-7}), -7);  // beyond the vtable's entries
    EXPECT_EQ(reader.get<int16_t>(table, -1), std::nullopt);
    EXPECT_EQ(flatText(reader.stringBuffer(reader.offset(table, 1))), "hi");
    EXPECT_FALSE(reader.offset(table, 0 + 5));

    auto [noText, table2] = smallTable(std::nullopt, 0);
    FlatMemoryReader empty(noText);
    EXPECT_FALSE(empty.offset(table2, 1));
    EXPECT_EQ(empty.get<int16_t>(table2, 0, int16_t{9}), 9);
}

TEST(FlatReaderTest, EntryNotBelowTableLengthIsAbsent) {
    auto [bytes, table] = smallTable();
    const size_t vtable = static_cast<size_t>(table - flat::loadScalar<int32_t>(bytes.data() + table));
    const int16_t tableLength = flat::loadScalar<int16_t>(bytes.data() + vtable + 2);
    flat::storeScalar(bytes.data() + vtable + 4, tableLength);
    FlatMemoryReader reader(bytes);
    EXPECT_FALSE(reader.get<int16_t>(table, 0));
}

TEST(FlatReaderTest, ZeroUOffsetIsAbsent) {
    FlatBuilder b;
    b.startObject(1);
    b.insertOffset(0, 0);
    b.finish(b.endObject());
    FlatMemoryReader reader(b.makeData());
    EXPECT_FALSE(reader.offset(*reader.rootObjectOffset(), 0));
}

TEST(FlatReaderTest, StringBounds) {
    // A string at 4: length L, then bytes.
    FlatMemoryReader fits(hexBytes("00 00 00 00  02 00 00 00  61 62"));
    EXPECT_EQ(flatText(fits.stringBuffer(4)), "ab");
    FlatMemoryReader past(hexBytes("00 00 00 00  03 00 00 00  61 62"));
    EXPECT_FALSE(past.stringBuffer(4));
    FlatMemoryReader negative(hexBytes("00 00 00 00  ff ff ff ff  61 62"));
    EXPECT_FALSE(negative.stringBuffer(4));
    FlatMemoryReader huge(hexBytes("00 00 00 00  ff ff ff 7f  61 62"));
    EXPECT_FALSE(huge.stringBuffer(4));
    FlatMemoryReader zero(hexBytes("00 00 00 00  00 00 00 00"));
    ASSERT_TRUE(zero.stringBuffer(4));
    EXPECT_EQ(flatText(zero.stringBuffer(4)), "");
    EXPECT_FALSE(fits.stringBuffer(std::nullopt));
    EXPECT_FALSE(fits.stringBuffer(-4));
    EXPECT_FALSE(fits.stringBuffer(std::numeric_limits<int32_t>::max()));
}

TEST(FlatReaderTest, OverflowingPositionsAreOutOfBounds) {
    // Table at 4 whose soffset puts its vtable below INT32_MIN, and one whose uoffset leaves INT32_MAX.
    Bytes bytes = hexBytes("04 00 00 00  ff ff ff 7f");
    FlatMemoryReader reader(bytes);
    EXPECT_EQ(reader.get<int32_t>(4, 0), std::nullopt);

    Bytes far = hexBytes("0c 00 00 00  06 00 08 00 04 00  00 00  08 00 00 00  f8 ff ff 7f");
    FlatMemoryReader farReader(far);
    EXPECT_EQ(farReader.get<int32_t>(12, 0), 0x7ffffff8);
    EXPECT_FALSE(farReader.offset(12, 0));
    EXPECT_FALSE(farReader.vectorElementOffset(std::numeric_limits<int32_t>::max() - 2, 0));
    EXPECT_FALSE(farReader.scalar<int32_t>(std::numeric_limits<int64_t>::max() - 1));
}

TEST(FlatReaderTest, VectorElementsStopAtTheStoredCount) {
    FlatBuilder b;
    const int32_t s = b.insertString("x");
    b.startVector(2, 4);
    b.insertOffset(s);
    b.insertOffset(s);
    const int32_t v = b.endVector();
    b.finish(v);
    Bytes bytes = b.makeData();
    FlatMemoryReader reader(bytes);
    const int32_t at = *reader.rootObjectOffset();
    EXPECT_EQ(reader.vectorElementCount(at), 2);
    EXPECT_TRUE(reader.vectorElementOffset(at, 1));
    EXPECT_FALSE(reader.vectorElementOffset(at, 2));
    EXPECT_FALSE(reader.vectorElementOffset(at, -1));
    EXPECT_TRUE(reader.vectorElementScalar<int32_t>(at, 1));
    EXPECT_FALSE(reader.vectorElementScalar<int32_t>(at, 2));
    EXPECT_EQ(reader.vectorElementCount(std::nullopt), 0);
}

TEST(FlatMemoryReaderTest, EqualityFollowsTheBuffer) {
    Bytes data = hexBytes("04 00 00 00");
    FlatMemoryReader a(data), b(data);
    EXPECT_FALSE(a.isEqual(b));  // two copies
    FlatMemoryReader c(data.data(), data.size()), d(data.data(), data.size());
    EXPECT_TRUE(c.isEqual(d));
    FlatMemoryReader e(data, true);
    EXPECT_TRUE(e.isEqual(c));
}

TEST(FlatMemoryReaderTest, CopyOutlivesTheData) {
    auto data = std::make_unique<Bytes>(smallTable().first);
    FlatMemoryReader reader(*data);
    data.reset();
    const int32_t table = *reader.rootObjectOffset();
    EXPECT_EQ(flatText(reader.stringBuffer(reader.offset(table, 1))), "hi");
}

TEST(FlatFileReaderTest, ReadsTheSameAsMemoryAndKeepsRanges) {
    auto [bytes, table] = smallTable("from a file");
    char path[] = "/tmp/quill_flat_reader_XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    {
        FlatFileReader reader(fd);
        EXPECT_EQ(reader.fileSize(), bytes.size());
        EXPECT_EQ(reader.rootObjectOffset(), table);
        EXPECT_EQ(reader.get<int16_t>(table, 0), 300);
        auto text = reader.stringBuffer(reader.offset(table, 1));
        EXPECT_EQ(flatText(text), "from a file");
        EXPECT_FALSE(reader.bytes(static_cast<int64_t>(bytes.size()) - 1, 2));
        EXPECT_FALSE(reader.bytes(-1, 1));

        // Ranges read come from memory: changing the file does not change them until cleared.
        const uint8_t zero[4] = {};
        ASSERT_EQ(::pwrite(fd, zero, 4, 0), 4);
        EXPECT_EQ(reader.rootObjectOffset(), table);
        reader.clearDataCache();
        EXPECT_EQ(reader.rootObjectOffset(), 0);

        FlatFileReader same(fd);
        EXPECT_TRUE(reader.isEqual(same));
        FlatMemoryReader memory(bytes);
        EXPECT_FALSE(reader.isEqual(memory));
    }
    ::close(fd);
    ::unlink(path);
}

TEST(FlatTextTest, OnlyWellFormedUtf8BecomesText) {
    auto text = [](std::string_view s) {
        return flatText(FlatBytesView(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
    };
    EXPECT_EQ(text(""), "");
    EXPECT_EQ(text("\xC3\xA9t\xC3\xA9"), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(text(std::string_view("a\0b", 3)), std::string("a\0b", 3));
    EXPECT_FALSE(text("\xC0\x80"));      // overlong
    EXPECT_FALSE(text("\xED\xA0\x80"));  // surrogate
    EXPECT_FALSE(text("\xE2\x82"));      // truncated
    EXPECT_FALSE(flatText(std::nullopt));
}

enum class Colour : int8_t { red = 0, green = 1 };

}  // namespace

template <>
struct FlatEnumTraits<Colour> {
    template <Scalar S>
    static std::optional<Colour> fromScalar(S value) {
        if constexpr (std::same_as<S, int8_t>) {
            if (value == 0 || value == 1) return static_cast<Colour>(value);
        }
        return std::nullopt;
    }
};

namespace {

// A minimal table view with one Int32 field, for the table vector.
class Point : public FlatTableView<Point, FlatReader> {
  public:
    using FlatTableView::FlatTableView;
    int32_t x() const { return reader().get<int32_t>(myOffset(), 0, int32_t{0}); }
};

TEST(FlatVectorViewTest, ScalarEnumAndStringViews) {
    FlatBuilder b;
    b.startVector(3, 1);
    b.insert(int8_t{7});
    b.insert(int8_t{1});
    b.insert(int8_t{0});
    const int32_t colours = b.endVector();
    const int32_t s1 = b.insertString("one");
    const int32_t s3 = b.insertString("three");
    b.startVector(3, 4);
    b.insertOffset(s3);
    b.insertOffset(std::nullopt);
    b.insertOffset(s1);
    const int32_t strings = b.endVector();
    b.finish(0);
    const Bytes bytes = b.makeData();
    FlatMemoryReader reader(bytes);
    auto at = [&](int32_t offset) { return static_cast<int32_t>(bytes.size()) - offset; };

    FlatScalarVector<int8_t> raw(reader, at(colours));
    EXPECT_EQ(std::vector<std::optional<int8_t>>(raw.begin(), raw.end()),
              (std::vector<std::optional<int8_t>>{0, 1, 7}));
    FlatEnumVector<int8_t, FlatReader, Colour> enums(reader, at(colours));
    ASSERT_EQ(enums.count(), 3);
    EXPECT_EQ(enums[0], Colour::red);
    EXPECT_EQ(enums[1], Colour::green);
    EXPECT_EQ(enums[2], std::nullopt);
    EXPECT_EQ(enums[3], std::nullopt);

    FlatStringVector<> texts(reader, at(strings));
    std::vector<std::optional<std::string>> read;
    for (auto element : texts)
        read.push_back(flatText(element));
    EXPECT_EQ(read, (std::vector<std::optional<std::string>>{"one", std::nullopt, "three"}));
}

TEST(FlatVectorViewTest, StandardAlgorithmsWorkOnTheViews) {
    static_assert(std::random_access_iterator<FlatStringVector<>::iterator>);
    static_assert(std::ranges::random_access_range<FlatScalarVector<int32_t>>);
    static_assert(std::ranges::sized_range<FlatStringVector<>>);
    static_assert(std::ranges::borrowed_range<FlatStringVector<>>);

    FlatBuilder b;
    const std::vector<int32_t> sorted{1, 3, 5, 7, 9};
    b.startVector(static_cast<int>(sorted.size()), 4);
    for (auto it = sorted.rbegin(); it != sorted.rend(); ++it)
        b.insert(*it);
    const int32_t numbers = b.endVector();
    const int32_t s1 = b.insertString("one");
    const int32_t s2 = b.insertString("two");
    b.startVector(3, 4);
    b.insertOffset(s1);
    b.insertOffset(s2);
    b.insertOffset(s1);
    const int32_t strings = b.endVector();
    b.finish(0);
    const Bytes bytes = b.makeData();
    FlatMemoryReader reader(bytes);
    auto at = [&](int32_t offset) { return static_cast<int32_t>(bytes.size()) - offset; };

    const FlatScalarVector<int32_t> view(reader, at(numbers));
    const auto first = view.begin(), last = view.end();
    EXPECT_EQ(std::distance(first, last), 5);
    EXPECT_EQ(last - first, 5);
    EXPECT_EQ(std::lower_bound(first, last, 6) - first, 3);
    EXPECT_TRUE(std::binary_search(first, last, 9));
    EXPECT_EQ(std::find(first, last, 7) - first, 3);
    EXPECT_EQ(std::find(first, last, 8), last);
    EXPECT_EQ(first[2], 5);
    EXPECT_EQ(*(last - 1), 9);
    EXPECT_EQ(*std::prev(last, 2), 7);
    EXPECT_TRUE(first < last && last > first && first + 5 == last && 5 + first == last);
    EXPECT_EQ(*last, std::nullopt);  // past the end reads as nothing
    EXPECT_EQ(std::vector<std::optional<int32_t>>(view.rbegin(), view.rend()),
              (std::vector<std::optional<int32_t>>{9, 7, 5, 3, 1}));
    EXPECT_EQ(std::ranges::count_if(view, [](auto v) { return v && *v > 4; }), 3);

    // A view made on the spot: the iterator found in it stays usable after the view is gone.
    auto found = std::ranges::find(FlatScalarVector<int32_t>(reader, at(numbers)), 5);
    EXPECT_EQ(*found, 5);
    EXPECT_EQ(*(found + 1), 7);

    const FlatStringVector<> texts(reader, at(strings));
    auto words = texts | std::views::transform([](auto text) { return flatText(text).value_or("?"); });
    EXPECT_EQ(std::vector<std::string>(words.begin(), words.end()),
              (std::vector<std::string>{"one", "two", "one"}));
    EXPECT_EQ(std::ranges::find(words, "two") - words.begin(), 1);
    EXPECT_EQ(std::ranges::count(words | std::views::drop(1), "one"), 1);
}

TEST(FlatVectorViewTest, EmptyAndHostileCounts) {
    Bytes bytes = hexBytes("00 00 00 00  00 00 00 00  ff ff ff ff  ff ff ff 7f  01 00 00 00");
    FlatMemoryReader reader(bytes);
    EXPECT_TRUE(FlatStringVector<>(reader, std::nullopt).isEmpty());
    EXPECT_TRUE(FlatStringVector<>(reader, 100).isEmpty());
    EXPECT_TRUE(FlatStringVector<>(reader, -4).isEmpty());
    EXPECT_TRUE(FlatStringVector<>(reader, 4).isEmpty());          // count 0
    EXPECT_TRUE(FlatStringVector<>(reader, 8).isEmpty());          // count -1
    EXPECT_EQ(FlatStringVector<>(reader, 12).count(), 1);          // count 2^31-1, 4 bytes left
    EXPECT_EQ((FlatScalarVector<int8_t>(reader, 12).count()), 4);  // 4 one-byte elements fit
    EXPECT_EQ((FlatScalarVector<double>(reader, 12).count()), 0);  // no 8-byte element fits
    EXPECT_FALSE(FlatStringVector<>(reader, 12)[0]);               // uoffset 1 runs past the end
}

TEST(FlatVectorViewTest, TableVectorAbsentElementIsNothing) {
    FlatBuilder b;
    b.startObject(1);
    b.insert(int32_t{42}, int32_t{0}, 0);
    const int32_t point = b.endObject();
    b.startVector(2, 4);
    b.insertOffset(point);
    b.insertOffset(std::nullopt);
    const int32_t vector = b.endVector();
    b.finish(vector);
    FlatMemoryReader reader(b.makeData());
    FlatTableVector<Point> points(reader, reader.rootObjectOffset());
    ASSERT_EQ(points.count(), 2);
    EXPECT_FALSE(points[0]);  // not the root table
    ASSERT_TRUE(points[1]);
    EXPECT_EQ(points[1]->x(), 42);
}

}  // namespace
}  // namespace quill
