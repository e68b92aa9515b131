#pragma once
// The cast-command messages exchanged with the look-up server: one root table, CastCommand, carrying
// the command (union CmdType) and the command's data (union CommandData).
//
// Building the look-up request for a pin:
//     Bytes message = CastCommand{RequestCmd{}, QueryServerRequestData{pin}}.makeData();
// Reading the reply:
//     std::optional<CastCommand> reply = CastCommand::from(bytes);
//     const ResponseCmd* response = reply ? reply->cmdAs<ResponseCmd>() : nullptr;
//     const QueryServerResponseData* found = reply ? reply->dataAs<QueryServerResponseData>() : nullptr;
//
// Each table is a value type with one member per field (texts optional, lists possibly empty) and
// writes itself with insert(builder); unions are std::variant whose alternative index + 1 is the stored
// tag. Each table also has a zero-copy view, Direct<R>, that reads its fields from a buffer on request.
// Whatever cannot be read (absent, out of bounds, not valid UTF-8, unknown tag) reads as absent.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "messages/FlatBuilder.h"
#include "messages/FlatReader.h"
#include "messages/FlatViews.h"
#include "platform/foundation/Bytes.h"

namespace quill {

enum class StatusCode : int8_t {
    NONE = 0,
    OK = 1,
    FAILED = 2,
    FAILED_NOT_EXIT = 3,
};

// The case with this raw value, or nothing for any value outside 0 to 3.
std::optional<StatusCode> statusCodeFromRawValue(int8_t rawValue);
// The case's name as written above ("OK", "FAILED_NOT_EXIT"...).
const char* statusCodeName(StatusCode code);

template <>
struct FlatEnumTraits<StatusCode> {
    // Only an Int8 can hold a status; a scalar of any other type gives nothing.
    template <Scalar S>
    static std::optional<StatusCode> fromScalar(S value) {
        if constexpr (std::same_as<S, int8_t>) {
            return statusCodeFromRawValue(value);
        } else {
            return std::nullopt;
        }
    }
};

struct RequestCmd {
    std::optional<std::string> mac;

    int32_t insert(FlatBuilder& builder) const;
    template <class R = FlatMemoryReader>
    class Direct;
    bool operator==(const RequestCmd&) const = default;
};

struct ResponseCmd {
    // Absent when the stored value is no known status.
    std::optional<StatusCode> statusCode = StatusCode::NONE;

    int32_t insert(FlatBuilder& builder) const;
    template <class R = FlatMemoryReader>
    class Direct;
    bool operator==(const ResponseCmd&) const = default;
};

struct RequestPingData {
    int32_t insert(FlatBuilder& builder) const;
    template <class R = FlatMemoryReader>
    class Direct;
    bool operator==(const RequestPingData&) const = default;
};

struct ResponsePingData {
    int32_t insert(FlatBuilder& builder) const;
    template <class R = FlatMemoryReader>
    class Direct;
    bool operator==(const ResponsePingData&) const = default;
};

struct OnlineRegisterRequestData {
    std::optional<std::string> name;
    std::optional<std::string> quillaranVersion;
    std::vector<std::string> ipList;

    int32_t insert(FlatBuilder& builder) const;
    template <class R = FlatMemoryReader>
    class Direct;
    bool operator==(const OnlineRegisterRequestData&) const = default;
};

struct OnlineRegisterResponseData {
    std::optional<std::string> pin;

    int32_t insert(FlatBuilder& builder) const;
    template <class R = FlatMemoryReader>
    class Direct;
    bool operator==(const OnlineRegisterResponseData&) const = default;
};

struct QueryServerRequestData {
    std::optional<std::string> pin;

    int32_t insert(FlatBuilder& builder) const;
    template <class R = FlatMemoryReader>
    class Direct;
    bool operator==(const QueryServerRequestData&) const = default;
};

struct QueryServerResponseData {
    std::vector<std::string> ipList;
    std::optional<std::string> name;
    std::optional<std::string> quillaranVersion;

    int32_t insert(FlatBuilder& builder) const;
    template <class R = FlatMemoryReader>
    class Direct;
    bool operator==(const QueryServerResponseData&) const = default;
};

// Unions: the stored tag is the alternative's index + 1; tag 0 is an absent union (std::nullopt).
using CmdType = std::variant<RequestCmd, ResponseCmd>;
using CommandData = std::variant<RequestPingData, ResponsePingData, OnlineRegisterRequestData,
                                 OnlineRegisterResponseData, QueryServerRequestData, QueryServerResponseData>;

// The stored tag of a union value (1-based), or 0 for none.
template <class Variant>
int8_t flatUnionTag(const std::optional<Variant>& value) {
    return value ? static_cast<int8_t>(value->index() + 1) : int8_t{0};
}

struct CastCommand {
    std::optional<CmdType> cmd;
    std::optional<CommandData> data;

    // The bytes of one message: this tree written children first, then the root offset in front.
    // Throws FlatBuildError (which only misuse of the builder can cause).
    Bytes makeData(const FlatBuilderOptions& options = {}) const;
    // The message in `data`, or nothing when it has no readable root offset (fewer than 4 bytes).
    // Every field that cannot be read is absent; the result shares nothing with `data`.
    static std::optional<CastCommand> from(const Bytes& data);
    static std::optional<CastCommand> from(std::span<const uint8_t> data);

    int32_t insert(FlatBuilder& builder) const;

    // The command or data as table T, or null when the union is absent or holds another table.
    template <class T>
    const T* cmdAs() const {
        return cmd ? std::get_if<T>(&*cmd) : nullptr;
    }
    template <class T>
    const T* dataAs() const {
        return data ? std::get_if<T>(&*data) : nullptr;
    }

    template <class R = FlatMemoryReader>
    class Direct;
    bool operator==(const CastCommand&) const = default;
};

// ---- builder operations: write one table's own fields from values and offsets already written ----
// Each returns the table's offset (counted from the end of the buffer); absent offsets are not written.

int32_t insertCastCommand(FlatBuilder& builder, int8_t cmd_type = 0,
                          std::optional<int32_t> cmd = std::nullopt, int8_t data_type = 0,
                          std::optional<int32_t> data = std::nullopt);
int32_t insertRequestCmd(FlatBuilder& builder, std::optional<int32_t> mac = std::nullopt);
int32_t insertResponseCmd(FlatBuilder& builder, StatusCode statusCode = StatusCode::NONE);
int32_t insertRequestPingData(FlatBuilder& builder);
int32_t insertResponsePingData(FlatBuilder& builder);
int32_t insertOnlineRegisterRequestData(FlatBuilder& builder, std::optional<int32_t> name = std::nullopt,
                                        std::optional<int32_t> quillaranVersion = std::nullopt,
                                        std::optional<int32_t> ipList = std::nullopt);
int32_t insertOnlineRegisterResponseData(FlatBuilder& builder, std::optional<int32_t> pin = std::nullopt);
int32_t insertQueryServerRequestData(FlatBuilder& builder, std::optional<int32_t> pin = std::nullopt);
int32_t insertQueryServerResponseData(FlatBuilder& builder, std::optional<int32_t> ipList = std::nullopt,
                                      std::optional<int32_t> name = std::nullopt,
                                      std::optional<int32_t> quillaranVersion = std::nullopt);

// ---- zero-copy views ----
// make(reader, position) fails when the reader is not an R, or when no position is given and the buffer
// has no root. Text getters give the string's bytes without decoding (flatText() decodes them).

template <class R>
class RequestCmd::Direct : public FlatTableView<Direct<R>, R> {
  public:
    using Table = RequestCmd;
    using FlatTableView<Direct<R>, R>::FlatTableView;
    std::optional<FlatBytesView> mac() const { return this->stringField(0); }
};

template <class R>
class ResponseCmd::Direct : public FlatTableView<Direct<R>, R> {
  public:
    using Table = ResponseCmd;
    using FlatTableView<Direct<R>, R>::FlatTableView;
    // NONE when the slot is absent; nothing when the stored value is no known status.
    std::optional<StatusCode> statusCode() const {
        return statusCodeFromRawValue(this->reader().template get<int8_t>(this->myOffset(), 0, int8_t{0}));
    }
};

template <class R>
class RequestPingData::Direct : public FlatTableView<Direct<R>, R> {
  public:
    using Table = RequestPingData;
    using FlatTableView<Direct<R>, R>::FlatTableView;
};

template <class R>
class ResponsePingData::Direct : public FlatTableView<Direct<R>, R> {
  public:
    using Table = ResponsePingData;
    using FlatTableView<Direct<R>, R>::FlatTableView;
};

template <class R>
class OnlineRegisterRequestData::Direct : public FlatTableView<Direct<R>, R> {
  public:
    using Table = OnlineRegisterRequestData;
    using FlatTableView<Direct<R>, R>::FlatTableView;
    std::optional<FlatBytesView> name() const { return this->stringField(0); }
    std::optional<FlatBytesView> quillaranVersion() const { return this->stringField(1); }
    FlatStringVector<R> ipList() const { return this->stringListField(2); }
};

template <class R>
class OnlineRegisterResponseData::Direct : public FlatTableView<Direct<R>, R> {
  public:
    using Table = OnlineRegisterResponseData;
    using FlatTableView<Direct<R>, R>::FlatTableView;
    std::optional<FlatBytesView> pin() const { return this->stringField(0); }
};

template <class R>
class QueryServerRequestData::Direct : public FlatTableView<Direct<R>, R> {
  public:
    using Table = QueryServerRequestData;
    using FlatTableView<Direct<R>, R>::FlatTableView;
    std::optional<FlatBytesView> pin() const { return this->stringField(0); }
};

template <class R>
class QueryServerResponseData::Direct : public FlatTableView<Direct<R>, R> {
  public:
    using Table = QueryServerResponseData;
    using FlatTableView<Direct<R>, R>::FlatTableView;
    FlatStringVector<R> ipList() const { return this->stringListField(0); }
    std::optional<FlatBytesView> name() const { return this->stringField(1); }
    std::optional<FlatBytesView> quillaranVersion() const { return this->stringField(2); }
};

// Union views: the same alternatives in the same order, each a member table's view.
template <class R = FlatMemoryReader>
using CmdTypeDirect =
    std::variant<typename RequestCmd::template Direct<R>, typename ResponseCmd::template Direct<R>>;
template <class R = FlatMemoryReader>
using CommandDataDirect =
    std::variant<typename RequestPingData::template Direct<R>, typename ResponsePingData::template Direct<R>,
                 typename OnlineRegisterRequestData::template Direct<R>,
                 typename OnlineRegisterResponseData::template Direct<R>,
                 typename QueryServerRequestData::template Direct<R>,
                 typename QueryServerResponseData::template Direct<R>>;

template <class R>
class CastCommand::Direct : public FlatTableView<Direct<R>, R> {
  public:
    using Table = CastCommand;
    using FlatTableView<Direct<R>, R>::FlatTableView;
    std::optional<CmdTypeDirect<R>> cmd() const {
        return flatUnionFrom<CmdTypeDirect<R>>(this->reader(), 0, this->myOffset());
    }
    std::optional<CommandDataDirect<R>> data() const {
        return flatUnionFrom<CommandDataDirect<R>>(this->reader(), 2, this->myOffset());
    }
};

}  // namespace quill
