#pragma once
// Zero-copy views over a buffer: list fields (one view per kind of element), the base of the table
// views, and the reading of a union from its two slots. A view copies nothing; each element or field is
// read from the buffer when asked for, through the reader's bounds checks, and reads as nothing when it
// cannot be read.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <utility>
#include <variant>

#include "messages/FlatReader.h"

namespace quill {

// Enumerations stored as a scalar: FlatEnumTraits<E>::fromScalar gives the case for a stored value, or
// nothing for a value (or a scalar type) that is no case of E.
template <class E>
struct FlatEnumTraits;

template <class E>
concept FlatEnum = requires(int8_t raw) {
    { FlatEnumTraits<E>::fromScalar(raw) } -> std::same_as<std::optional<E>>;
};

// Table views that can be made over any reader and a table position (nothing: the root table).
template <class T>
concept FlatDirectAccess = requires(const FlatReader& reader, std::optional<int32_t> position) {
    { T::make(reader, position) } -> std::same_as<std::optional<T>>;
};

// Index iteration over a view whose operator[] gives elements by value.
template <class View>
class FlatVectorIterator {
  public:
    using value_type = typename View::Element;
    using difference_type = std::ptrdiff_t;
    using iterator_concept = std::forward_iterator_tag;

    FlatVectorIterator() = default;
    FlatVectorIterator(const View* view, int index) : view_(view), index_(index) {}
    value_type operator*() const { return (*view_)[index_]; }
    FlatVectorIterator& operator++() {
        ++index_;
        return *this;
    }
    FlatVectorIterator operator++(int) {
        auto before = *this;
        ++index_;
        return before;
    }
    bool operator==(const FlatVectorIterator& other) const { return index_ == other.index_; }

  private:
    const View* view_ = nullptr;
    int index_ = 0;
};

// What every vector view shares: the reader, the vector's position, and its element count, read once.
// The count is the stored one limited to what fits in the buffer, so a hostile count cannot make a
// caller walk billions of absent elements.
template <class Derived, class R, class ElementType, int ElementSize>
class FlatVectorView {
  public:
    using Element = ElementType;

    FlatVectorView(const R& reader, std::optional<int32_t> myOffset)
        : count_(reader.vectorElementCountInBuffer(myOffset, ElementSize)),
          reader_(&reader),
          myOffset_(myOffset) {}

    int count() const { return count_; }
    size_t size() const { return static_cast<size_t>(count_); }
    bool isEmpty() const { return count_ == 0; }
    bool empty() const { return isEmpty(); }
    const R& reader() const { return *reader_; }
    std::optional<int32_t> myOffset() const { return myOffset_; }

    FlatVectorIterator<Derived> begin() const { return {static_cast<const Derived*>(this), 0}; }
    FlatVectorIterator<Derived> end() const { return {static_cast<const Derived*>(this), count_}; }

  private:
    int count_;
    const R* reader_;
    std::optional<int32_t> myOffset_;
};

// A vector of tables. An element whose slot is absent (uoffset 0) or unreadable reads as nothing.
template <FlatDirectAccess T, class R = FlatReader>
class FlatTableVector : public FlatVectorView<FlatTableVector<T, R>, R, std::optional<T>, 4> {
  public:
    using FlatVectorView<FlatTableVector<T, R>, R, std::optional<T>, 4>::FlatVectorView;
    std::optional<T> operator[](int index) const {
        auto position = this->reader().vectorElementOffset(this->myOffset(), index);
        if (!position) return std::nullopt;
        return T::make(this->reader(), position);
    }
};

template <Scalar T, class R = FlatReader>
class FlatScalarVector : public FlatVectorView<FlatScalarVector<T, R>, R, std::optional<T>, sizeof(T)> {
  public:
    using FlatVectorView<FlatScalarVector<T, R>, R, std::optional<T>, sizeof(T)>::FlatVectorView;
    std::optional<T> operator[](int index) const {
        return this->reader().template vectorElementScalar<T>(this->myOffset(), index);
    }
};

// A vector of enumeration values stored as T; a value that is no case of E reads as nothing.
template <Scalar T, class R, FlatEnum E>
class FlatEnumVector : public FlatVectorView<FlatEnumVector<T, R, E>, R, std::optional<E>, sizeof(T)> {
  public:
    using FlatVectorView<FlatEnumVector<T, R, E>, R, std::optional<E>, sizeof(T)>::FlatVectorView;
    std::optional<E> operator[](int index) const {
        auto raw = this->reader().template vectorElementScalar<T>(this->myOffset(), index);
        if (!raw) return std::nullopt;
        return FlatEnumTraits<E>::fromScalar(*raw);
    }
};

// A vector of strings; each element is a view of the string's bytes (flatText() makes it a text).
template <class R = FlatReader>
class FlatStringVector : public FlatVectorView<FlatStringVector<R>, R, std::optional<FlatBytesView>, 4> {
  public:
    using FlatVectorView<FlatStringVector<R>, R, std::optional<FlatBytesView>, 4>::FlatVectorView;
    std::optional<FlatBytesView> operator[](int index) const {
        return this->reader().stringBuffer(this->reader().vectorElementOffset(this->myOffset(), index));
    }
};

struct FlatTableViewTag {};

// The base of the generated table views: a reader of type R and the table's position. View is the
// derived view type that make() gives. Views compare equal when their readers read the same bytes and
// their positions are equal; the hash is the position.
template <class View, class R>
class FlatTableView : public FlatTableViewTag {
  public:
    FlatTableView(const R& reader, int32_t myOffset) : reader_(&reader), myOffset_(myOffset) {}

    // The failable making of a view: the reader must be an R; without a position the root table is
    // meant, and a buffer without a root gives nothing. No field is read.
    static std::optional<View> make(const FlatReader& reader,
                                    std::optional<int32_t> myOffset = std::nullopt) {
        const R* typed = dynamic_cast<const R*>(&reader);
        if (typed == nullptr) return std::nullopt;
        if (!myOffset) myOffset = typed->rootObjectOffset();
        if (!myOffset) return std::nullopt;
        return View(*typed, *myOffset);
    }

    const R& reader() const { return *reader_; }
    int32_t myOffset() const { return myOffset_; }

    bool operator==(const FlatTableView& other) const {
        return myOffset_ == other.myOffset_ && reader_->isEqual(*other.reader_);
    }
    size_t hashValue() const { return static_cast<size_t>(static_cast<int64_t>(myOffset_)); }

  protected:
    std::optional<FlatBytesView> stringField(int slot) const {
        return reader_->stringBuffer(reader_->offset(myOffset_, slot));
    }
    FlatStringVector<R> stringListField(int slot) const {
        return FlatStringVector<R>(*reader_, reader_->offset(myOffset_, slot));
    }

  private:
    const R* reader_;
    int32_t myOffset_;
};

// Reads a union whose tag is in slot `propertyIndex` and whose value is in the next slot. Tag i (from 1)
// names alternative i - 1 of Variant; tag 0, an unknown tag or an absent value give nothing.
template <class Variant, class R>
std::optional<Variant> flatUnionFrom(const R& reader, int propertyIndex, std::optional<int32_t> object) {
    if (!object) return std::nullopt;
    const int tag = reader.template get<int8_t>(*object, propertyIndex, int8_t{0});
    auto value = reader.offset(*object, propertyIndex + 1);
    if (!value) return std::nullopt;
    std::optional<Variant> result;
    [&]<size_t... I>(std::index_sequence<I...>) {
        auto tryAlternative = [&]<size_t K>(std::integral_constant<size_t, K>) {
            if (tag != static_cast<int>(K) + 1) return;
            if (auto member = std::variant_alternative_t<K, Variant>::make(reader, value))
                result.emplace(std::in_place_index<K>, std::move(*member));
        };
        (tryAlternative(std::integral_constant<size_t, I>{}), ...);
    }
    (std::make_index_sequence<std::variant_size_v<Variant>>{});
    return result;
}

}  // namespace quill

template <class T>
requires std::derived_from<T, quill::FlatTableViewTag>
struct std::hash<T> {
    size_t operator()(const T& view) const { return view.hashValue(); }
};
