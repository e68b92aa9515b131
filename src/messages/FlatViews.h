#pragma once
// Zero-copy views over a buffer: list fields (one view per kind of element), the base of the table
// views, and the reading of a union from its two slots. A view copies nothing; each element or field is
// read from the buffer when asked for, through the reader's bounds checks, and reads as nothing when it
// cannot be read.

#include <compare>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <limits>
#include <optional>
#include <ranges>
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

// Random-access iteration over a vector view: an index into the vector, with the reader and the
// vector's position, so that an iterator stays valid after the view it came from is gone. Elements are
// read anew, by value, each time they are asked for; an index outside the vector reads as nothing.
// Iterators compare by index and are meant to be compared within one vector.
template <class View>
class FlatVectorIterator {
  public:
    using Reader = typename View::Reader;
    using value_type = typename View::Element;
    using reference = value_type;
    using pointer = void;
    using difference_type = std::ptrdiff_t;
    using iterator_category = std::random_access_iterator_tag;
    using iterator_concept = std::random_access_iterator_tag;

    FlatVectorIterator() = default;
    FlatVectorIterator(const Reader* reader, std::optional<int32_t> vector, difference_type index)
        : reader_(reader), vector_(vector), index_(index) {}

    value_type operator*() const { return (*this)[0]; }
    value_type operator[](difference_type n) const {
        const difference_type i = index_ + n;
        if (reader_ == nullptr || i < 0 || i > std::numeric_limits<int>::max()) return value_type{};
        return View::elementAt(*reader_, vector_, static_cast<int>(i));
    }

    FlatVectorIterator& operator++() { return *this += 1; }
    FlatVectorIterator operator++(int) {
        auto before = *this;
        ++*this;
        return before;
    }
    FlatVectorIterator& operator--() { return *this -= 1; }
    FlatVectorIterator operator--(int) {
        auto before = *this;
        --*this;
        return before;
    }
    FlatVectorIterator& operator+=(difference_type n) {
        index_ += n;
        return *this;
    }
    FlatVectorIterator& operator-=(difference_type n) {
        index_ -= n;
        return *this;
    }
    friend FlatVectorIterator operator+(FlatVectorIterator it, difference_type n) { return it += n; }
    friend FlatVectorIterator operator+(difference_type n, FlatVectorIterator it) { return it += n; }
    friend FlatVectorIterator operator-(FlatVectorIterator it, difference_type n) { return it -= n; }
    friend difference_type operator-(const FlatVectorIterator& a, const FlatVectorIterator& b) {
        return a.index_ - b.index_;
    }
    friend bool operator==(const FlatVectorIterator& a, const FlatVectorIterator& b) {
        return a.index_ == b.index_;
    }
    friend std::strong_ordering operator<=>(const FlatVectorIterator& a, const FlatVectorIterator& b) {
        return a.index_ <=> b.index_;
    }

  private:
    const Reader* reader_ = nullptr;
    std::optional<int32_t> vector_;
    difference_type index_ = 0;
};

// What every vector view shares: the reader, the vector's position, and its element count, read once.
// The count is the stored one limited to what fits in the buffer, so a hostile count cannot make a
// caller walk billions of absent elements. A view is a read-only random-access range over the indexes
// 0 to count() - 1 (begin and end, reversed too, size, empty, subscript), so the standard algorithms and
// ranges work on it; each derived view supplies elementAt, which reads element i.
template <class Derived, class R, class ElementType, int ElementSize>
class FlatVectorView {
  public:
    using Reader = R;
    using Element = ElementType;
    using value_type = ElementType;
    using iterator = FlatVectorIterator<Derived>;
    using const_iterator = iterator;
    using reverse_iterator = std::reverse_iterator<iterator>;
    using size_type = size_t;
    using difference_type = std::ptrdiff_t;

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

    // Element `index`; the index is not compared with count(): one outside the vector reads as nothing
    // through the reader's own checks.
    Element operator[](int index) const { return Derived::elementAt(*reader_, myOffset_, index); }

    iterator begin() const { return iterator(reader_, myOffset_, 0); }
    iterator end() const { return iterator(reader_, myOffset_, count_); }
    reverse_iterator rbegin() const { return reverse_iterator(end()); }
    reverse_iterator rend() const { return reverse_iterator(begin()); }

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
    static std::optional<T> elementAt(const R& reader, std::optional<int32_t> vector, int index) {
        auto position = reader.vectorElementOffset(vector, index);
        if (!position) return std::nullopt;
        return T::make(reader, position);
    }
};

template <Scalar T, class R = FlatReader>
class FlatScalarVector : public FlatVectorView<FlatScalarVector<T, R>, R, std::optional<T>, sizeof(T)> {
  public:
    using FlatVectorView<FlatScalarVector<T, R>, R, std::optional<T>, sizeof(T)>::FlatVectorView;
    static std::optional<T> elementAt(const R& reader, std::optional<int32_t> vector, int index) {
        return reader.template vectorElementScalar<T>(vector, index);
    }
};

// A vector of enumeration values stored as T; a value that is no case of E reads as nothing.
template <Scalar T, class R, FlatEnum E>
class FlatEnumVector : public FlatVectorView<FlatEnumVector<T, R, E>, R, std::optional<E>, sizeof(T)> {
  public:
    using FlatVectorView<FlatEnumVector<T, R, E>, R, std::optional<E>, sizeof(T)>::FlatVectorView;
    static std::optional<E> elementAt(const R& reader, std::optional<int32_t> vector, int index) {
        auto raw = reader.template vectorElementScalar<T>(vector, index);
        if (!raw) return std::nullopt;
        return FlatEnumTraits<E>::fromScalar(*raw);
    }
};

// A vector of strings; each element is a view of the string's bytes (flatText() makes it a text).
template <class R = FlatReader>
class FlatStringVector : public FlatVectorView<FlatStringVector<R>, R, std::optional<FlatBytesView>, 4> {
  public:
    using FlatVectorView<FlatStringVector<R>, R, std::optional<FlatBytesView>, 4>::FlatVectorView;
    static std::optional<FlatBytesView> elementAt(const R& reader, std::optional<int32_t> vector, int index) {
        return reader.stringBuffer(reader.vectorElementOffset(vector, index));
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

// Iterators of the vector views do not point into the view, so a temporary view's iterators stay valid.
namespace std::ranges {
template <quill::FlatDirectAccess T, class R>
inline constexpr bool enable_borrowed_range<quill::FlatTableVector<T, R>> = true;
template <quill::Scalar T, class R>
inline constexpr bool enable_borrowed_range<quill::FlatScalarVector<T, R>> = true;
template <quill::Scalar T, class R, quill::FlatEnum E>
inline constexpr bool enable_borrowed_range<quill::FlatEnumVector<T, R, E>> = true;
template <class R>
inline constexpr bool enable_borrowed_range<quill::FlatStringVector<R>> = true;
}  // namespace std::ranges

template <class T>
requires std::derived_from<T, quill::FlatTableViewTag>
struct std::hash<T> {
    size_t operator()(const T& view) const { return view.hashValue(); }
};
