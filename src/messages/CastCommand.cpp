#include "messages/CastCommand.h"

#include <memory>
#include <typeinfo>

namespace quill {

std::optional<StatusCode> statusCodeFromRawValue(int8_t rawValue) {
    if (rawValue < 0 || rawValue > 3) return std::nullopt;
    return static_cast<StatusCode>(rawValue);
}

const char* statusCodeName(StatusCode code) {
    switch (code) {
        case StatusCode::NONE:
            return "NONE";
        case StatusCode::OK:
            return "OK";
        case StatusCode::FAILED:
            return "FAILED";
        case StatusCode::FAILED_NOT_EXIT:
            return "FAILED_NOT_EXIT";
    }
    return "UNKNOWN";
}

// ---- writing ----

namespace {

// Writes `table` once per builder when unique tables are on: a second insert of the same object (same
// address and type) returns the offset of the first. The offset is remembered only once the table is
// written whole.
template <class T, class Write>
int32_t insertOnce(FlatBuilder& builder, const T& table, Write write) {
    const FlatObjectIdentity identity{&table, std::type_index(typeid(T))};
    const bool unique = builder.options().uniqueTables;
    if (unique) {
        if (auto it = builder.cache().find(identity); it != builder.cache().end()) return it->second;
    }
    const int32_t offset = write();
    if (unique) builder.cache().insert_or_assign(identity, offset);
    return offset;
}

std::optional<int32_t> insertText(FlatBuilder& builder, const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return builder.insertString(*text);
}

// A list of texts: the strings last to first, then the vector of their offsets; nothing when empty.
std::optional<int32_t> insertTextList(FlatBuilder& builder, const std::vector<std::string>& list) {
    if (list.empty()) return std::nullopt;
    std::vector<int32_t> offsets;
    offsets.reserve(list.size());
    for (auto it = list.rbegin(); it != list.rend(); ++it)
        offsets.push_back(builder.insertString(*it));
    builder.startVector(static_cast<int>(list.size()), 4);
    for (int32_t offset : offsets)
        builder.insertOffset(offset);
    return builder.endVector();
}

template <class Variant>
std::optional<int32_t> insertMember(FlatBuilder& builder, const std::optional<Variant>& member) {
    if (!member) return std::nullopt;
    return std::visit([&](const auto& table) { return table.insert(builder); }, *member);
}

void insertSlot(FlatBuilder& builder, std::optional<int32_t> offset, int slot) {
    if (offset) builder.insertOffset(*offset, slot);
}

int32_t emptyTableBody(FlatBuilder& builder) {
    builder.startObject(0);
    return builder.endObject();
}

int32_t oneOffsetBody(FlatBuilder& builder, std::optional<int32_t> first) {
    builder.startObject(1);
    insertSlot(builder, first, 0);
    return builder.endObject();
}

int32_t threeOffsetBody(FlatBuilder& builder, std::optional<int32_t> first, std::optional<int32_t> second,
                        std::optional<int32_t> third) {
    builder.startObject(3);
    insertSlot(builder, first, 0);
    insertSlot(builder, second, 1);
    insertSlot(builder, third, 2);
    return builder.endObject();
}

}  // namespace

int32_t insertCastCommand(FlatBuilder& builder, int8_t cmd_type, std::optional<int32_t> cmd, int8_t data_type,
                          std::optional<int32_t> data) {
    builder.startObject(4);
    builder.insert(cmd_type, int8_t{0}, 0);
    builder.insert(data_type, int8_t{0}, 2);
    insertSlot(builder, cmd, 1);
    insertSlot(builder, data, 3);
    return builder.endObject();
}

int32_t insertRequestCmd(FlatBuilder& builder, std::optional<int32_t> mac) {
    return oneOffsetBody(builder, mac);
}

int32_t insertResponseCmd(FlatBuilder& builder, StatusCode statusCode) {
    builder.startObject(1);
    builder.insert(static_cast<int8_t>(statusCode), int8_t{0}, 0);
    return builder.endObject();
}

int32_t insertRequestPingData(FlatBuilder& builder) {
    return emptyTableBody(builder);
}
int32_t insertResponsePingData(FlatBuilder& builder) {
    return emptyTableBody(builder);
}

int32_t insertOnlineRegisterRequestData(FlatBuilder& builder, std::optional<int32_t> name,
                                        std::optional<int32_t> quillaranVersion,
                                        std::optional<int32_t> ipList) {
    return threeOffsetBody(builder, name, quillaranVersion, ipList);
}

int32_t insertOnlineRegisterResponseData(FlatBuilder& builder, std::optional<int32_t> pin) {
    return oneOffsetBody(builder, pin);
}

int32_t insertQueryServerRequestData(FlatBuilder& builder, std::optional<int32_t> pin) {
    return oneOffsetBody(builder, pin);
}

int32_t insertQueryServerResponseData(FlatBuilder& builder, std::optional<int32_t> ipList,
                                      std::optional<int32_t> name, std::optional<int32_t> quillaranVersion) {
    return threeOffsetBody(builder, ipList, name, quillaranVersion);
}

int32_t RequestCmd::insert(FlatBuilder& builder) const {
    return insertOnce(builder, *this, [&] { return insertRequestCmd(builder, insertText(builder, mac)); });
}

int32_t ResponseCmd::insert(FlatBuilder& builder) const {
    // An absent status is written as NONE, the default, and so left out.
    return insertOnce(builder, *this,
                      [&] { return insertResponseCmd(builder, statusCode.value_or(StatusCode::NONE)); });
}

int32_t RequestPingData::insert(FlatBuilder& builder) const {
    return insertOnce(builder, *this, [&] { return insertRequestPingData(builder); });
}

int32_t ResponsePingData::insert(FlatBuilder& builder) const {
    return insertOnce(builder, *this, [&] { return insertResponsePingData(builder); });
}

int32_t OnlineRegisterRequestData::insert(FlatBuilder& builder) const {
    return insertOnce(builder, *this, [&] {
        auto nameOffset = insertText(builder, name);
        auto versionOffset = insertText(builder, quillaranVersion);
        auto listOffset = insertTextList(builder, ipList);
        return insertOnlineRegisterRequestData(builder, nameOffset, versionOffset, listOffset);
    });
}

int32_t OnlineRegisterResponseData::insert(FlatBuilder& builder) const {
    return insertOnce(builder, *this,
                      [&] { return insertOnlineRegisterResponseData(builder, insertText(builder, pin)); });
}

int32_t QueryServerRequestData::insert(FlatBuilder& builder) const {
    return insertOnce(builder, *this,
                      [&] { return insertQueryServerRequestData(builder, insertText(builder, pin)); });
}

int32_t QueryServerResponseData::insert(FlatBuilder& builder) const {
    return insertOnce(builder, *this, [&] {
        auto listOffset = insertTextList(builder, ipList);
        auto nameOffset = insertText(builder, name);
        auto versionOffset = insertText(builder, quillaranVersion);
        return insertQueryServerResponseData(builder, listOffset, nameOffset, versionOffset);
    });
}

int32_t CastCommand::insert(FlatBuilder& builder) const {
    return insertOnce(builder, *this, [&] {
        auto cmdOffset = insertMember(builder, cmd);
        auto dataOffset = insertMember(builder, data);
        return insertCastCommand(builder, flatUnionTag(cmd), cmdOffset, flatUnionTag(data), dataOffset);
    });
}

Bytes CastCommand::makeData(const FlatBuilderOptions& options) const {
    FlatBuilder builder(options);
    builder.finish(insert(builder));
    return builder.makeData();
}

// ---- reading ----

namespace {

template <class T>
using MemoryView = typename T::template Direct<FlatMemoryReader>;

std::vector<std::string> textList(const FlatStringVector<FlatMemoryReader>& list) {
    std::vector<std::string> texts;
    for (const auto& element : list) {
        if (auto text = flatText(element)) texts.push_back(std::move(*text));
    }
    return texts;
}

template <class T>
std::optional<T> decodeTable(const std::optional<MemoryView<T>>& view);

template <class Variant, class DirectVariant>
std::optional<Variant> decodeUnion(const std::optional<DirectVariant>& view) {
    if (!view) return std::nullopt;
    return std::visit(
        [](const auto& member) -> std::optional<Variant> {
            using Table = typename std::decay_t<decltype(member)>::Table;
            auto table = decodeTable<Table>(member);
            if (!table) return std::nullopt;
            return Variant(std::in_place_type<Table>, std::move(*table));
        },
        *view);
}

void readFields(RequestCmd& table, const MemoryView<RequestCmd>& view) {
    table.mac = flatText(view.mac());
}
void readFields(ResponseCmd& table, const MemoryView<ResponseCmd>& view) {
    table.statusCode = view.statusCode();
}
void readFields(RequestPingData&, const MemoryView<RequestPingData>&) {}
void readFields(ResponsePingData&, const MemoryView<ResponsePingData>&) {}
void readFields(OnlineRegisterRequestData& table, const MemoryView<OnlineRegisterRequestData>& view) {
    table.name = flatText(view.name());
    table.quillaranVersion = flatText(view.quillaranVersion());
    table.ipList = textList(view.ipList());
}
void readFields(OnlineRegisterResponseData& table, const MemoryView<OnlineRegisterResponseData>& view) {
    table.pin = flatText(view.pin());
}
void readFields(QueryServerRequestData& table, const MemoryView<QueryServerRequestData>& view) {
    table.pin = flatText(view.pin());
}
void readFields(QueryServerResponseData& table, const MemoryView<QueryServerResponseData>& view) {
    table.ipList = textList(view.ipList());
    table.name = flatText(view.name());
    table.quillaranVersion = flatText(view.quillaranVersion());
}
void readFields(CastCommand& table, const MemoryView<CastCommand>& view) {
    table.cmd = decodeUnion<CmdType>(view.cmd());
    table.data = decodeUnion<CommandData>(view.data());
}

// Decodes the table at the view's position once per buffer and type: the object is pooled before its
// fields are read, so a table reached again while it is being read resolves to it instead of recursing.
template <class T>
std::optional<T> decodeTable(const std::optional<MemoryView<T>>& view) {
    if (!view) return std::nullopt;
    FlatReaderCache* cache = view->reader().cache();
    if (cache) {
        if (auto pooled = cache->find<T>(view->myOffset())) return *pooled;
    }
    auto table = std::make_shared<T>();
    if (cache) cache->store(view->myOffset(), table);
    readFields(*table, *view);
    return *table;
}

}  // namespace

std::optional<CastCommand> CastCommand::from(std::span<const uint8_t> data) {
    // The tree copies every text out of the buffer, so the reader can read the caller's bytes in place.
    FlatMemoryReader reader(data.data(), data.size(), std::make_shared<FlatReaderCache>());
    auto root = reader.rootObjectOffset();
    if (!root) return std::nullopt;
    return decodeTable<CastCommand>(MemoryView<CastCommand>::make(reader, root));
}

std::optional<CastCommand> CastCommand::from(const Bytes& data) {
    return from(std::span<const uint8_t>(data));
}

}  // namespace quill
