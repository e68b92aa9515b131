#include <gtest/gtest.h>

#include "messages/FlatBuilder.h"
#include "messages/MessageTestBytes.h"

namespace quill {
namespace {

using testing::hexBytes;
using testing::hexString;
using Code = FlatBuildError::Code;

template <class F>
void expectBuildError(Code code, F&& f) {
    try {
        f();
        ADD_FAILURE() << "no FlatBuildError thrown, expected " << FlatBuildError::name(code);
    } catch (const FlatBuildError& e) {
        EXPECT_EQ(e.code(), code) << e.what();
    }
}

TEST(FlatBuilderLayoutTest, OneByteFieldTableByteForByte) {
    FlatBuilder b;
    b.startObject(1);
    EXPECT_EQ(b.insert(int8_t{5}, int8_t{0}, 0), 1);
    EXPECT_EQ(b.endObject(), 8);
    b.finish(8);
    EXPECT_EQ(hexString(b.makeData()),
              hexString(hexBytes("0c 00 00 00  00 00  06 00 08 00 07 00  06 00 00 00  00 00 00  05")));
    // Reading the bytes again gives the same bytes.
    EXPECT_EQ(b.makeData(), b.makeData());
}

TEST(FlatBuilderLayoutTest, TableWithoutFieldsKeepsEveryVTableEntry) {
    FlatBuilder aligned;
    aligned.startObject(3);
    EXPECT_EQ(aligned.endObject(), 4);
    aligned.finish(4);
    // Root, vtable {10, 4, 0, 0, 0}, soffset 10.
    EXPECT_EQ(hexString(aligned.makeData()),
              hexString(hexBytes("10 00 00 00  00 00  0a 00 04 00 00 00 00 00 00 00  0a 00 00 00")));

    // Started one byte past alignment: the table also holds the padding.
    FlatBuilder unaligned;
    unaligned.insert(uint8_t{0xAB});
    unaligned.startObject(1);
    const int32_t table = unaligned.endObject();
    unaligned.finish(table);
    const Bytes bytes = unaligned.makeData();
    const size_t t = bytes.size() - static_cast<size_t>(table);
    const size_t v = t - bytes[t];
    EXPECT_EQ(bytes[v + 2], 7);  // table length 4 + 3 padding bytes
}

TEST(FlatBuilderLayoutTest, DefaultsAreLeftOutUnlessForced) {
    FlatBuilder b;
    b.startObject(2);
    EXPECT_EQ(b.insert(int32_t{0}, int32_t{0}, 0), std::nullopt);
    EXPECT_EQ(b.insert(true, false, 1), 1);
    const int32_t plain = b.endObject();
    b.finish(plain);
    const Bytes bytes = b.makeData();
    const size_t t = bytes.size() - static_cast<size_t>(plain);
    const size_t v = t - bytes[t];
    EXPECT_EQ(bytes[v + 4], 0);  // field 0 absent
    EXPECT_NE(bytes[v + 6], 0);

    FlatBuilder forced(FlatBuilderOptions{.forceDefaults = true});
    forced.startObject(1);
    EXPECT_TRUE(forced.insert(int32_t{0}, int32_t{0}, 0).has_value());
}

TEST(FlatBuilderLayoutTest, ScalarsAreAlignedToTheirWidth) {
    FlatBuilder b;
    b.insert(uint8_t{1});
    b.insert(double{1.5});
    b.insert(int16_t{-2});
    b.finish(0);
    // Root, finishing padding, the Int16, the double, 7 bytes of padding, the first byte.
    EXPECT_EQ(hexString(b.makeData()),
              hexString(hexBytes("18 00 00 00  00 00  fe ff  00 00 00 00 00 00 f8 3f "
                                 " 00 00 00 00 00 00 00  01")));
}

TEST(FlatBuilderStringTest, EqualStringsAreSharedOnlyWhenAsked) {
    FlatBuilder shared;
    const int32_t first = shared.insertString("abc");
    EXPECT_EQ(first, 8);
    EXPECT_EQ(shared.insertString("abc"), first);
    shared.finish(0);
    EXPECT_EQ(shared.makeData().size(), 12u);

    FlatBuilder separate(FlatBuilderOptions{.uniqueStrings = false});
    const int32_t a = separate.insertString("abc");
    EXPECT_NE(separate.insertString("abc"), a);

    EXPECT_EQ(shared.insertString(std::nullopt), 0);
}

TEST(FlatBuilderStringTest, EmptyAndZeroTerminatedStrings) {
    FlatBuilder b;
    EXPECT_EQ(b.insertString(""), 4);
    b.finish(0);
    EXPECT_EQ(hexString(b.makeData()), hexString(hexBytes("08 00 00 00  00 00 00 00")));

    FlatBuilder z(FlatBuilderOptions{.nullTerminatedUTF8 = true});
    z.insertString("ab");
    z.finish(0);
    // Length 2 (the zero byte is not counted), "ab", the zero byte, one padding byte.
    EXPECT_EQ(hexString(z.makeData()), hexString(hexBytes("0c 00 00 00  02 00 00 00  61 62 00 00")));
}

TEST(FlatBuilderVectorTest, VectorsHoldCountThenElements) {
    FlatBuilder b;
    b.startVector(0, 4);
    EXPECT_EQ(b.endVector(), 4);

    FlatBuilder v;
    v.startVector(3, 2);
    v.insert(int16_t{3});
    v.insert(int16_t{2});
    v.insert(int16_t{1});
    const int32_t vector = v.endVector();
    v.finish(vector);
    EXPECT_EQ(hexString(v.makeData()),
              hexString(hexBytes("04 00 00 00  03 00 00 00  01 00 02 00 03 00 00 00")));
}

TEST(FlatBuilderVTableTest, EqualVTablesAreSharedWhenAsked) {
    auto build = [](bool unique) {
        FlatBuilder b(FlatBuilderOptions{.uniqueVTables = unique});
        b.startObject(2);
        b.insert(int32_t{7}, int32_t{0}, 0);
        const int32_t first = b.endObject();
        b.startObject(2);
        b.insert(int32_t{9}, int32_t{0}, 0);
        const int32_t second = b.endObject();
        b.startVector(2, 4);
        b.insertOffset(second);
        b.insertOffset(first);
        b.finish(b.endVector());
        return std::make_pair(b.makeData(), second);
    };
    auto [sharedBytes, sharedSecond] = build(true);
    auto [ownBytes, ownSecond] = build(false);
    EXPECT_EQ(ownBytes.size() - sharedBytes.size(), 8u);  // one vtable of 8 bytes fewer

    auto soffsetOf = [](const Bytes& bytes, int32_t table) {
        return flat::loadScalar<int32_t>(bytes.data() + bytes.size() - static_cast<size_t>(table));
    };
    EXPECT_LT(soffsetOf(sharedBytes, sharedSecond), 0);  // points forward to the first table's vtable
    EXPECT_EQ(soffsetOf(ownBytes, ownSecond), 8);
}

TEST(FlatBuilderVTableTest, ShorterEarlierVTableAtTheEndIsNotCompared) {
    // The first vtable is the very first thing written (it ends at the end of the area); a later,
    // longer vtable must not be compared with it byte for byte.
    FlatBuilder b;
    b.startObject(0);
    const int32_t small = b.endObject();
    b.startObject(5);
    b.insert(int8_t{1}, int8_t{0}, 4);
    const int32_t large = b.endObject();
    EXPECT_EQ(small, 4);
    b.startVector(2, 4);
    b.insertOffset(large);
    b.insertOffset(small);
    b.finish(b.endVector());
    // Each table keeps its own vtable: the later one is neither dropped nor pointed at the earlier one.
    EXPECT_EQ(hexString(b.makeData()),
              hexString(hexBytes("04 00 00 00  02 00 00 00  24 00 00 00  14 00 00 00"  // root, vector of 2
                                 "00 00"                                               // padding
                                 "0e 00 08 00  00 00 00 00  00 00 00 00  07 00"        // large's vtable
                                 "0e 00 00 00  00 00 00  01"                           // large: field 4 = 1
                                 "04 00 04 00  04 00 00 00")));                        // small, vtable first
}

TEST(FlatBuilderCapacityTest, InitialCapacityBelowOneStillGrows) {
    for (int capacity : {0, -5, 1, 3, 1024}) {
        FlatBuilder b(FlatBuilderOptions{.initialCapacity = capacity});
        b.startObject(1);
        b.insert(int8_t{5}, int8_t{0}, 0);
        b.finish(b.endObject());
        EXPECT_EQ(b.makeData().size(), 20u) << capacity;
    }
}

TEST(FlatBuilderErrorTest, MisuseThrowsTypedErrors) {
    FlatBuilder b;
    const int32_t s = b.insertString("x");

    expectBuildError(Code::offsetIsTooBig, [&] { b.insertOffset(s + 100); });
    expectBuildError(Code::offsetIsTooBig, [&] { b.finish(s + 100); });
    expectBuildError(Code::noOpenObject, [&] { b.insert(int8_t{1}, int8_t{0}, 0); });
    expectBuildError(Code::noOpenObject, [&] { b.insertOffset(s, 0); });
    expectBuildError(Code::noOpenObject, [&] { b.insertCurrentOffsetAsProperty(0); });
    expectBuildError(Code::noOpenObject, [&] { b.endObject(); });

    b.startObject(2);
    expectBuildError(Code::propertyIndexIsInvalid, [&] { b.insert(int8_t{1}, int8_t{0}, 2); });
    expectBuildError(Code::propertyIndexIsInvalid, [&] { b.insertOffset(s, -1); });
    expectBuildError(Code::objectIsNotClosed, [&] { b.insertString("y"); });
    expectBuildError(Code::objectIsNotClosed, [&] { b.startObject(1); });
    expectBuildError(Code::objectIsNotClosed, [&] { b.startVector(1, 4); });
    expectBuildError(Code::objectIsNotClosed, [&] { b.finish(0); });
    b.endObject();

    b.startVector(1, 4);
    expectBuildError(Code::objectIsNotClosed, [&] { b.startObject(1); });
    b.insertOffset(s);
    b.endVector();

    expectBuildError(Code::cursorIsInvalid, [&] { b.update(s, 2); });
    expectBuildError(Code::cursorIsInvalid, [&] { b.update(s, 1000); });
    expectBuildError(Code::offsetIsTooBig, [&] { b.update(1000, 8); });

    EXPECT_EQ(FlatBuildError(Code::badFileIdentifier), FlatBuildError(Code::badFileIdentifier));
    EXPECT_STREQ(FlatBuildError(Code::noOpenObject).what(), "noOpenObject");
}

TEST(FlatBuilderErrorTest, TooBigOffsetLeavesTheCursorUnchanged) {
    FlatBuilder b;
    b.insertString("abc");
    const Bytes before = b.makeData();
    expectBuildError(Code::offsetIsTooBig, [&] { b.insertOffset(before.size() + 1); });
    EXPECT_EQ(b.makeData(), before);
}

TEST(FlatBuilderFinishTest, FileIdentifierMustBeFourBytes) {
    for (const char* bad : {"abc", "abcde", ""}) {
        FlatBuilder b;
        b.startObject(0);
        const int32_t root = b.endObject();
        expectBuildError(Code::badFileIdentifier, [&] { b.finish(root, std::string_view(bad)); });
    }
    FlatBuilder b;
    b.startObject(0);
    const int32_t root = b.endObject();
    b.finish(root, "QUIL");
    const Bytes bytes = b.makeData();
    EXPECT_EQ(platform::foundation::stringOf(std::span(bytes).subspan(4, 4)), "QUIL");
    EXPECT_EQ(flat::loadScalar<int32_t>(bytes.data()), static_cast<int32_t>(bytes.size()) - root);
}

TEST(FlatBuilderUpdateTest, RewritesAnEarlierReference) {
    FlatBuilder b;
    const int32_t first = b.insertString("first");
    const int32_t second = b.insertString("second");
    b.startVector(1, 4);
    const int slot = b.insertOffset(first);
    const int32_t vector = b.endVector();
    b.update(second, slot);
    b.finish(vector);
    const Bytes bytes = b.makeData();
    const size_t slotAt = bytes.size() - static_cast<size_t>(slot);
    const size_t target = slotAt + static_cast<size_t>(flat::loadScalar<int32_t>(bytes.data() + slotAt));
    EXPECT_EQ(target, bytes.size() - static_cast<size_t>(second));
}

}  // namespace
}  // namespace quill
