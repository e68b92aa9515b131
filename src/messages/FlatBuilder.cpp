#include "messages/FlatBuilder.h"

#include <limits>

namespace quill {

namespace {
constexpr int64_t kMaxCursor = std::numeric_limits<int32_t>::max();
constexpr int kMaxTableDistance = std::numeric_limits<int16_t>::max();
}  // namespace

const char* FlatBuildError::name(Code code) {
    switch (code) {
        case Code::objectIsNotClosed:
            return "objectIsNotClosed";
        case Code::noOpenObject:
            return "noOpenObject";
        case Code::propertyIndexIsInvalid:
            return "propertyIndexIsInvalid";
        case Code::offsetIsTooBig:
            return "offsetIsTooBig";
        case Code::cursorIsInvalid:
            return "cursorIsInvalid";
        case Code::badFileIdentifier:
            return "badFileIdentifier";
        case Code::unsupportedType:
            return "unsupportedType";
        case Code::couldNotPerformLateBinding:
            return "couldNotPerformLateBinding";
    }
    return "unknown";
}

FlatBuilder::FlatBuilder(const FlatBuilderOptions& options)
    // A capacity of 0 could never grow by doubling.
    : options_(options), area_(static_cast<size_t>(std::max(options.initialCapacity, 1))) {}

void FlatBuilder::reserve(int size) {
    if (static_cast<int64_t>(cursor_) + size > kMaxCursor)
        throw FlatBuildError(FlatBuildError::Code::offsetIsTooBig);
    const size_t needed = static_cast<size_t>(size);
    if (area_.size() - static_cast<size_t>(cursor_) > needed) return;
    size_t capacity = area_.size();
    while (capacity - static_cast<size_t>(cursor_) <= needed)
        capacity *= 2;
    std::vector<uint8_t> grown(capacity);
    std::copy(area_.end() - cursor_, area_.end(), grown.end() - cursor_);
    area_.swap(grown);
}

void FlatBuilder::skip(int pad) {
    reserve(pad);
    // Padding is zero even where a dropped vtable left bytes behind.
    std::fill_n(at(cursor_ + pad), pad, uint8_t{0});
    cursor_ += pad;
}

int FlatBuilder::insertOffset(std::optional<int32_t> target) {
    if (!target || *target == 0) {
        insert(int32_t{0});
        return cursor_;
    }
    if (*target > cursor_ || *target < 0) throw FlatBuildError(FlatBuildError::Code::offsetIsTooBig);
    minalign_ = std::max(minalign_, 4);
    skip(-cursor_ & 3);
    insert(static_cast<int32_t>(cursor_ + 4 - *target));
    return cursor_;
}

int32_t FlatBuilder::insertString(std::optional<std::string_view> text) {
    if (isOpen()) throw FlatBuildError(FlatBuildError::Code::objectIsNotClosed);
    if (!text) return 0;
    std::string key;
    if (options_.uniqueStrings) {
        key.assign(*text);
        if (auto it = stringCache_.find(key); it != stringCache_.end()) return it->second;
    }
    const int64_t length = static_cast<int64_t>(text->size());
    const int64_t n = length + (options_.nullTerminatedUTF8 ? 1 : 0);
    if (n + cursor_ + 8 > kMaxCursor) throw FlatBuildError(FlatBuildError::Code::offsetIsTooBig);
    minalign_ = std::max(minalign_, 4);
    skip(static_cast<int>(-(cursor_ + n) & 3));
    reserve(static_cast<int>(n));
    uint8_t* start = at(cursor_ + static_cast<int>(n));
    std::copy(text->begin(), text->end(), start);
    if (options_.nullTerminatedUTF8) start[length] = 0;
    cursor_ += static_cast<int>(n);
    insert(static_cast<int32_t>(length));
    if (options_.uniqueStrings) stringCache_.emplace(std::move(key), cursor_);
    return cursor_;
}

void FlatBuilder::startVector(int count, int elementSize) {
    const int64_t size = static_cast<int64_t>(std::max(count, 0)) * std::max(elementSize, 0);
    if (size + cursor_ > kMaxCursor) throw FlatBuildError(FlatBuildError::Code::offsetIsTooBig);
    minalign_ = std::max(minalign_, 4);
    skip(static_cast<int>(-(cursor_ + size) & 3));
    if (isOpen()) throw FlatBuildError(FlatBuildError::Code::objectIsNotClosed);
    vectorNumElems_ = std::max(count, 0);
}

int32_t FlatBuilder::endVector() {
    insert(vectorNumElems_);
    vectorNumElems_ = -1;
    return cursor_;
}

void FlatBuilder::startObject(int propertyCount) {
    if (isOpen()) throw FlatBuildError(FlatBuildError::Code::objectIsNotClosed);
    currentVTable_.assign(static_cast<size_t>(std::max(propertyCount, 0)), 0);
    objectStart_ = cursor_;
}

void FlatBuilder::checkProperty(int index) const {
    if (objectStart_ < 0) throw FlatBuildError(FlatBuildError::Code::noOpenObject);
    if (index < 0 || static_cast<size_t>(index) >= currentVTable_.size())
        throw FlatBuildError(FlatBuildError::Code::propertyIndexIsInvalid);
}

int FlatBuilder::insertOffset(int32_t target, int index) {
    checkProperty(index);
    insertOffset(std::optional<int32_t>(target));
    currentVTable_[static_cast<size_t>(index)] = cursor_;
    return cursor_;
}

int FlatBuilder::insertCurrentOffsetAsProperty(int index) {
    checkProperty(index);
    currentVTable_[static_cast<size_t>(index)] = cursor_;
    return cursor_;
}

int32_t FlatBuilder::endObject() {
    if (objectStart_ < 0) throw FlatBuildError(FlatBuildError::Code::noOpenObject);
    const int n = static_cast<int>(currentVTable_.size());
    // Table length, field distances and the vtable's own length are 16-bit: refuse what would wrap.
    const int pad = -cursor_ & 3;
    const int64_t object = static_cast<int64_t>(cursor_) + pad + 4;
    if (object - objectStart_ > kMaxTableDistance || 2 * (static_cast<int64_t>(n) + 2) > kMaxTableDistance)
        throw FlatBuildError(FlatBuildError::Code::offsetIsTooBig);

    minalign_ = std::max(minalign_, 4);
    skip(pad);
    reserve(4);
    cursor_ += 4;
    const int32_t o = cursor_;
    for (int i = n - 1; i >= 0; --i) {
        const int32_t entry = currentVTable_[static_cast<size_t>(i)];
        insert(static_cast<int16_t>(entry == 0 ? 0 : o - entry));
    }
    insert(static_cast<int16_t>(o - objectStart_));
    insert(static_cast<int16_t>(2 * (n + 2)));

    const int length = cursor_ - o;
    int32_t soffset = length;
    if (options_.uniqueVTables) {
        const uint8_t* fresh = at(cursor_);
        bool shared = false;
        for (int32_t earlier : vTableOffsets_) {
            // Only a vtable of the same length can be equal; a shorter one may sit at the very end.
            const uint8_t* old = at(earlier);
            if (flat::loadScalar<int16_t>(old) != length) continue;
            if (std::equal(fresh, fresh + length, old)) {
                cursor_ -= length;
                soffset = earlier - o;
                shared = true;
                break;
            }
        }
        if (!shared) vTableOffsets_.push_back(cursor_);
    }
    flat::storeScalar(at(o), soffset);
    objectStart_ = -1;
    return o;
}

void FlatBuilder::finish(int32_t root, std::optional<std::string_view> fileIdentifier) {
    if (root > cursor_) throw FlatBuildError(FlatBuildError::Code::offsetIsTooBig);
    if (isOpen()) throw FlatBuildError(FlatBuildError::Code::objectIsNotClosed);
    // The root uoffset itself is 4-aligned, so the whole buffer must be too.
    minalign_ = std::max(minalign_, 4);
    skip(-(cursor_ + (fileIdentifier ? 8 : 4)) & (minalign_ - 1));
    if (fileIdentifier) {
        if (fileIdentifier->size() != 4) throw FlatBuildError(FlatBuildError::Code::badFileIdentifier);
        for (auto it = fileIdentifier->rbegin(); it != fileIdentifier->rend(); ++it)
            insert(static_cast<uint8_t>(*it));
    }
    insert(static_cast<int32_t>(cursor_ + 4 - root));
}

Bytes FlatBuilder::makeData() const {
    return Bytes(area_.end() - cursor_, area_.end());
}

void FlatBuilder::update(int32_t target, int cursor) {
    if (target > cursor_) throw FlatBuildError(FlatBuildError::Code::offsetIsTooBig);
    if (cursor > cursor_ || cursor < 4) throw FlatBuildError(FlatBuildError::Code::cursorIsInvalid);
    flat::storeScalar(at(cursor), static_cast<int32_t>(cursor - target));
}

}  // namespace quill
