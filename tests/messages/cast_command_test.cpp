#include <gtest/gtest.h>

#include <unordered_set>

#include "messages/CastCommand.h"
#include "messages/MessageTestBytes.h"

namespace quill {
namespace {

using testing::hexBytes;
using testing::hexString;

// The look-up request for pin "123456", worked out by hand from the builder's rules.
const char* const kSamplePinRequest =
    "10 00 00 00"                          // root uoffset: CastCommand table at byte 16
    "0c 00 0e 00 0d 00 08 00 0c 00 04 00"  // CastCommand vtable: 12 bytes, table 14, slots 13 8 12 4
    "0c 00 00 00"                          // CastCommand table: soffset 12
    "10 00 00 00"                          // slot 3 data -> byte 36
    "24 00 00 00"                          // slot 1 cmd -> byte 60
    "05"                                   // slot 2 data_type 5 (QueryServerRequestData)
    "01"                                   // slot 0 cmd_type 1 (RequestCmd)
    "06 00 08 00 04 00"                    // QueryServerRequestData vtable: 6 bytes, table 8, slot 4
    "06 00 00 00"                          // QueryServerRequestData table: soffset 6
    "04 00 00 00"                          // slot 0 pin -> byte 44
    "06 00 00 00 31 32 33 34 35 36"        // "123456", no terminating zero
    "06 00 04 00 00 00"                    // RequestCmd vtable: 6 bytes, table 4, mac absent
    "06 00 00 00";                         // RequestCmd table: soffset 6

CastCommand sampleRequest() {
    return CastCommand{RequestCmd{}, QueryServerRequestData{"123456"}};
}

TEST(CastCommandWireTest, SamplePinRequestByteForByte) {
    EXPECT_EQ(hexString(sampleRequest().makeData()), hexString(hexBytes(kSamplePinRequest)));
    // Without shared vtables the bytes are the same: no two vtables of this message are equal.
    EXPECT_EQ(sampleRequest().makeData(FlatBuilderOptions{.uniqueVTables = false}),
              hexBytes(kSamplePinRequest));
}

TEST(CastCommandWireTest, SamplePinRequestReadsBack) {
    auto read = CastCommand::from(hexBytes(kSamplePinRequest));
    ASSERT_TRUE(read);
    ASSERT_NE(read->cmdAs<RequestCmd>(), nullptr);
    EXPECT_EQ(read->cmdAs<RequestCmd>()->mac, std::nullopt);
    ASSERT_NE(read->dataAs<QueryServerRequestData>(), nullptr);
    EXPECT_EQ(read->dataAs<QueryServerRequestData>()->pin, "123456");
    EXPECT_EQ(*read, sampleRequest());
}

TEST(CastCommandWireTest, BothUnionsAbsentGiveFourZeroEntries) {
    const Bytes bytes = CastCommand{}.makeData();
    EXPECT_EQ(hexString(bytes),
              hexString(hexBytes("10 00 00 00  0c 00 04 00 00 00 00 00 00 00 00 00  0c 00 00 00")));
    auto read = CastCommand::from(bytes);
    ASSERT_TRUE(read);
    EXPECT_FALSE(read->cmd);
    EXPECT_FALSE(read->data);
}

TEST(CastCommandWireTest, PingTablesAreEmptyTables) {
    FlatBuilder b;
    const int32_t ping = RequestPingData{}.insert(b);
    b.finish(ping);
    // vtable of 4 bytes (length 4, table 4), table of 4 bytes (the soffset).
    EXPECT_EQ(hexString(b.makeData()), hexString(hexBytes("08 00 00 00  04 00 04 00  04 00 00 00")));
}

TEST(CastCommandWireTest, TextListIsWrittenLastStringFirst) {
    QueryServerResponseData reply{{"a", "bb", "ccc"}, std::nullopt, std::nullopt};
    FlatBuilder b;
    b.finish(reply.insert(b));
    const Bytes bytes = b.makeData();
    const std::string text(bytes.begin(), bytes.end());
    const auto a = text.find('a'), bb = text.find("bb"), ccc = text.find("ccc");
    ASSERT_NE(ccc, std::string::npos);
    EXPECT_LT(a, bb);
    EXPECT_LT(bb, ccc);

    FlatMemoryReader reader(bytes);
    auto view = QueryServerResponseData::Direct<>::make(reader);
    ASSERT_TRUE(view);
    auto list = view->ipList();
    ASSERT_EQ(list.count(), 3);
    // The vector comes before its strings.
    EXPECT_LT(*list.myOffset(), static_cast<int32_t>(a));
    EXPECT_EQ(flatText(list[2]), "ccc");
}

// Every table and union member survives a round trip, with shared strings, tables and vtables on
// and off.
class CastCommandRoundTripTest : public ::testing::TestWithParam<FlatBuilderOptions> {};

std::vector<CommandData> everyData() {
    return {RequestPingData{},
            ResponsePingData{},
            OnlineRegisterRequestData{"Living room", "2.1.0", {"192.168.1.20", "10.0.0.7"}},
            OnlineRegisterResponseData{"87654321"},
            QueryServerRequestData{"123456"},
            QueryServerResponseData{{"192.168.1.20", "192.168.1.20", "fe80::1"}, "Living room", "2.1.0"}};
}

TEST_P(CastCommandRoundTripTest, EveryTableAndUnionRoundTrips) {
    const std::vector<std::optional<CmdType>> cmds = {std::nullopt,
                                                      RequestCmd{},
                                                      RequestCmd{"a4:5e:60:01:02:03"},
                                                      ResponseCmd{},
                                                      ResponseCmd{StatusCode::OK},
                                                      ResponseCmd{StatusCode::FAILED},
                                                      ResponseCmd{StatusCode::FAILED_NOT_EXIT}};
    std::vector<std::optional<CommandData>> datas = {std::nullopt};
    for (auto& d : everyData())
        datas.emplace_back(d);
    for (const auto& cmd : cmds) {
        for (const auto& data : datas) {
            const CastCommand command{cmd, data};
            const Bytes bytes = command.makeData(GetParam());
            auto read = CastCommand::from(bytes);
            ASSERT_TRUE(read);
            EXPECT_EQ(*read, command)
                << "cmd " << (cmd ? cmd->index() + 1 : 0) << " data " << (data ? data->index() + 1 : 0);
            EXPECT_EQ(flatUnionTag(read->cmd), flatUnionTag(cmd));
            EXPECT_EQ(flatUnionTag(read->data), flatUnionTag(data));
        }
    }
}

TEST_P(CastCommandRoundTripTest, TextsKeepEveryByte) {
    const std::string odd = std::string("nul\0inside", 10) + "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    const CastCommand command{RequestCmd{odd}, OnlineRegisterRequestData{"", odd, {"", odd}}};
    auto read = CastCommand::from(command.makeData(GetParam()));
    ASSERT_TRUE(read);
    EXPECT_EQ(*read, command);
}

std::string optionsName(const ::testing::TestParamInfo<FlatBuilderOptions>& param) {
    static const char* const kNames[] = {"Defaults", "NothingShared", "ForcedDefaults", "ZeroTerminated"};
    return kNames[param.index];
}

INSTANTIATE_TEST_SUITE_P(Options, CastCommandRoundTripTest,
                         ::testing::Values(FlatBuilderOptions{},
                                           FlatBuilderOptions{.uniqueStrings = false,
                                                              .uniqueTables = false,
                                                              .uniqueVTables = false},
                                           FlatBuilderOptions{.initialCapacity = 4096, .forceDefaults = true},
                                           FlatBuilderOptions{.nullTerminatedUTF8 = true}),
                         optionsName);

TEST(CastCommandStatusTest, StatusCodeFromRawValueAndScalar) {
    for (int8_t raw = 0; raw <= 3; ++raw) {
        ASSERT_TRUE(statusCodeFromRawValue(raw));
        EXPECT_EQ(static_cast<int8_t>(*statusCodeFromRawValue(raw)), raw);
    }
    EXPECT_FALSE(statusCodeFromRawValue(4));
    EXPECT_FALSE(statusCodeFromRawValue(-1));
    EXPECT_EQ(FlatEnumTraits<StatusCode>::fromScalar(int8_t{1}), StatusCode::OK);
    EXPECT_FALSE(FlatEnumTraits<StatusCode>::fromScalar(int32_t{1}));
    EXPECT_FALSE(FlatEnumTraits<StatusCode>::fromScalar(uint8_t{1}));
    EXPECT_STREQ(statusCodeName(StatusCode::FAILED_NOT_EXIT), "FAILED_NOT_EXIT");
}

// A ResponseCmd whose slot 0 holds `stored` (nothing: slot absent), wrapped in a CastCommand.
Bytes responseWithStoredStatus(std::optional<int8_t> stored) {
    FlatBuilder b;
    b.startObject(1);
    if (stored) b.insert(*stored, int8_t{0}, 0);
    const int32_t response = b.endObject();
    b.finish(insertCastCommand(b, 2, response));
    return b.makeData();
}

TEST(CastCommandStatusTest, StoredStatusValues) {
    auto statusOf = [](std::optional<int8_t> stored) {
        auto read = CastCommand::from(responseWithStoredStatus(stored));
        EXPECT_TRUE(read && read->cmdAs<ResponseCmd>());
        return read && read->cmdAs<ResponseCmd>() ? read->cmdAs<ResponseCmd>()->statusCode
                                                  : std::optional<StatusCode>(StatusCode::OK);
    };
    EXPECT_EQ(statusOf(std::nullopt), StatusCode::NONE);
    EXPECT_EQ(statusOf(1), StatusCode::OK);
    EXPECT_EQ(statusOf(3), StatusCode::FAILED_NOT_EXIT);
    EXPECT_EQ(statusOf(4), std::nullopt);
    EXPECT_EQ(statusOf(-1), std::nullopt);

    // An absent status is written as the default: nothing in slot 0, and it reads back as NONE.
    const Bytes absent = CastCommand{ResponseCmd{std::nullopt}, std::nullopt}.makeData();
    EXPECT_EQ(absent, responseWithStoredStatus(std::nullopt));
}

// A CastCommand whose slots are written raw: tags and offsets as given.
Bytes castCommandWithSlots(int8_t cmdType, bool cmdValue, int8_t dataType, bool dataValue) {
    FlatBuilder b;
    const int32_t member = QueryServerRequestData{"1"}.insert(b);
    b.finish(insertCastCommand(b, cmdType, cmdValue ? std::optional(member) : std::nullopt, dataType,
                               dataValue ? std::optional(member) : std::nullopt));
    return b.makeData();
}

TEST(CastCommandUnionTest, TagsAndValuesMustAgree) {
    struct Case {
        int8_t cmdType;
        bool cmdValue;
        bool cmdPresent;
    };
    for (const Case& c :
         {Case{1, false, false}, Case{0, true, false}, Case{3, true, false}, Case{-1, true, false},
          Case{127, true, false}, Case{1, true, true}, Case{2, true, true}}) {
        auto read = CastCommand::from(castCommandWithSlots(c.cmdType, c.cmdValue, 0, false));
        ASSERT_TRUE(read);
        EXPECT_EQ(read->cmd.has_value(), c.cmdPresent) << int(c.cmdType) << " " << c.cmdValue;
    }
    for (int8_t tag : {int8_t{0}, int8_t{7}, int8_t{127}, int8_t{-1}, int8_t{-128}}) {
        auto read = CastCommand::from(castCommandWithSlots(0, false, tag, true));
        ASSERT_TRUE(read);
        EXPECT_FALSE(read->data) << int(tag);
    }
    auto read = CastCommand::from(castCommandWithSlots(0, false, 5, false));
    ASSERT_TRUE(read);
    EXPECT_FALSE(read->data);
}

TEST(CastCommandUnionTest, CmdAndDataAtOneTableGiveTwoObjects) {
    // Both unions point at one table: read as a RequestCmd and as a QueryServerRequestData.
    auto read = CastCommand::from(castCommandWithSlots(1, true, 5, true));
    ASSERT_TRUE(read);
    ASSERT_NE(read->cmdAs<RequestCmd>(), nullptr);
    EXPECT_EQ(read->cmdAs<RequestCmd>()->mac, "1");
    ASSERT_NE(read->dataAs<QueryServerRequestData>(), nullptr);
    EXPECT_EQ(read->dataAs<QueryServerRequestData>()->pin, "1");
}

TEST(CastCommandTextTest, EmptyListWritesNoVector) {
    FlatBuilder b;
    const int32_t table = QueryServerResponseData{{}, "tv", std::nullopt}.insert(b);
    b.finish(table);
    FlatMemoryReader reader(b.makeData());
    auto view = QueryServerResponseData::Direct<>::make(reader);
    ASSERT_TRUE(view);
    EXPECT_FALSE(reader.offset(view->myOffset(), 0));
    EXPECT_TRUE(view->ipList().isEmpty());
    EXPECT_EQ(flatText(view->name()), "tv");
    EXPECT_FALSE(view->quillaranVersion());
}

TEST(CastCommandTextTest, BadTextsReadAsAbsentOrAreDropped) {
    FlatBuilder b;
    const int32_t bad = b.insertString("\xC0\x80");  // overlong NUL
    const int32_t first = b.insertString("10.0.0.1");
    const int32_t third = b.insertString("10.0.0.3");
    b.startVector(4, 4);
    b.insertOffset(std::nullopt);  // element 3: offset 0
    b.insertOffset(third);
    b.insertOffset(bad);
    b.insertOffset(first);
    const int32_t list = b.endVector();
    const int32_t table = insertQueryServerResponseData(b, list, bad, std::nullopt);
    b.finish(insertCastCommand(b, 0, std::nullopt, 6, table));

    auto read = CastCommand::from(b.makeData());
    ASSERT_TRUE(read);
    auto* reply = read->dataAs<QueryServerResponseData>();
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->ipList, (std::vector<std::string>{"10.0.0.1", "10.0.0.3"}));
    EXPECT_EQ(reply->name, std::nullopt);
    EXPECT_EQ(reply->quillaranVersion, std::nullopt);
}

TEST(CastCommandUniqueTablesTest, SameObjectIsWrittenOncePerBuilder) {
    const RequestCmd cmd{"mac"};
    FlatBuilder unique;
    const int32_t first = cmd.insert(unique);
    EXPECT_EQ(cmd.insert(unique), first);
    const size_t once = unique.makeData().size();
    // An equal but distinct object is written again (its string is shared).
    EXPECT_NE(RequestCmd{"mac"}.insert(unique), first);

    FlatBuilder twice(FlatBuilderOptions{.uniqueTables = false});
    const int32_t a = cmd.insert(twice);
    EXPECT_NE(cmd.insert(twice), a);
    EXPECT_GT(twice.makeData().size(), once);
}

TEST(CastCommandReadTest, ShortOrHostileBuffers) {
    for (size_t n = 0; n < 4; ++n)
        EXPECT_FALSE(CastCommand::from(Bytes(n, 0))) << n;
    for (const char* root : {"00 01 00 00", "ff ff ff 7f", "00 00 00 80", "fc ff ff ff", "00 00 00 00"}) {
        auto read = CastCommand::from(hexBytes(root));
        ASSERT_TRUE(read) << root;
        EXPECT_FALSE(read->cmd);
        EXPECT_FALSE(read->data);
    }
}

TEST(CastCommandReadTest, EveryTruncationAndByteFlipReadsWithoutFault) {
    const CastCommand reply{ResponseCmd{StatusCode::OK},
                            QueryServerResponseData{{"192.168.1.20", "10.0.0.2"}, "Living room", "2.1.0"}};
    const Bytes full = reply.makeData();
    for (size_t n = 0; n <= full.size(); ++n) {
        auto read = CastCommand::from(Bytes(full.begin(), full.begin() + static_cast<long>(n)));
        EXPECT_EQ(read.has_value(), n >= 4);
        if (n == full.size()) {
            EXPECT_EQ(*read, reply);
        }
    }
    for (size_t i = 0; i < full.size(); ++i) {
        for (uint8_t value : {uint8_t{0x00}, uint8_t{0x7f}, uint8_t{0x80}, uint8_t{0xff}}) {
            Bytes damaged = full;
            damaged[i] = value;
            auto read = CastCommand::from(damaged);
            ASSERT_TRUE(read);
            if (auto* data = read->dataAs<QueryServerResponseData>()) {
                EXPECT_LE(data->ipList.size(), 2u);
            }
        }
    }
}

TEST(CastCommandReadTest, HugeListCountIsLimitedToTheBuffer) {
    const CastCommand reply{ResponseCmd{StatusCode::OK}, QueryServerResponseData{{"10.0.0.9"}, "tv", "1"}};
    Bytes bytes = reply.makeData();
    FlatMemoryReader reader(bytes, true);
    auto command = CastCommand::Direct<>::make(reader);
    ASSERT_TRUE(command);
    auto data = command->data();
    ASSERT_TRUE(data);
    auto list = std::get<QueryServerResponseData::Direct<>>(*data).ipList();
    ASSERT_EQ(list.count(), 1);
    const size_t countAt = static_cast<size_t>(*list.myOffset());
    flat::storeScalar(bytes.data() + countAt, int32_t{0x7fffffff});
    const int room = static_cast<int>((bytes.size() - countAt - 4) / 4);
    EXPECT_EQ(std::get<QueryServerResponseData::Direct<>>(*command->data()).ipList().count(), room);
    auto read = CastCommand::from(bytes);
    ASSERT_TRUE(read && read->dataAs<QueryServerResponseData>());
    EXPECT_EQ(read->dataAs<QueryServerResponseData>()->ipList.front(), "10.0.0.9");
}

TEST(CastCommandDirectTest, ViewsMakeCompareAndHash) {
    const Bytes bytes = sampleRequest().makeData();
    FlatMemoryReader reader(bytes, true);
    FlatMemoryReader copy(bytes);

    auto root = CastCommand::Direct<>::make(reader);
    auto again = CastCommand::Direct<>::make(reader, reader.rootObjectOffset());
    auto other = CastCommand::Direct<>::make(copy);
    ASSERT_TRUE(root && again && other);
    EXPECT_EQ(*root, *again);
    EXPECT_NE(*root, *other);  // another buffer, same position
    EXPECT_EQ(std::hash<CastCommand::Direct<>>{}(*root), static_cast<size_t>(16));
    std::unordered_set<CastCommand::Direct<>> set{*root, *again, *other};
    EXPECT_EQ(set.size(), 2u);

    // A view over another reader type, or without a root, cannot be made.
    FlatMemoryReader shortReader(Bytes{1, 2, 3});
    EXPECT_FALSE(CastCommand::Direct<>::make(shortReader));
    EXPECT_FALSE((CastCommand::Direct<FlatFileReader>::make(reader)));

    auto cmd = root->cmd();
    ASSERT_TRUE(cmd);
    ASSERT_EQ(cmd->index(), 0u);
    EXPECT_FALSE(std::get<0>(*cmd).mac());
    auto data = root->data();
    ASSERT_TRUE(data);
    ASSERT_EQ(data->index(), 4u);
    EXPECT_EQ(flatText(std::get<4>(*data).pin()), "123456");
}

}  // namespace
}  // namespace quill
