#pragma once
// A locked first-in-first-out list of owned items.

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace quill {

template <class T>
class BaseArray {
  public:
    BaseArray() = default;
    BaseArray(const BaseArray&) = delete;
    BaseArray& operator=(const BaseArray&) = delete;
    virtual ~BaseArray() = default;

    static std::shared_ptr<BaseArray> queue() { return std::make_shared<BaseArray>(); }

    // Appends; always succeeds.
    bool put(T item) {
        std::lock_guard lock(mutex_);
        m_array.push_back(std::move(item));
        return true;
    }
    // The first item, or nothing when the list is empty.
    std::optional<T> take() {
        std::lock_guard lock(mutex_);
        if (m_array.empty()) return std::nullopt;
        std::optional<T> item(std::move(m_array.front()));
        m_array.pop_front();
        return item;
    }
    // Calls `f` with the item at `index` while the list is locked; false when there is no such item.
    template <class F>
    bool elementAt(size_t index, F&& f) const {
        std::lock_guard lock(mutex_);
        if (index >= m_array.size()) return false;
        std::forward<F>(f)(m_array[index]);
        return true;
    }
    void clear() {
        std::deque<T> gone;
        {
            std::lock_guard lock(mutex_);
            gone.swap(m_array);
        }
    }
    size_t count() const {
        std::lock_guard lock(mutex_);
        return m_array.size();
    }

  private:
    mutable std::mutex mutex_;
    std::deque<T> m_array;
};

}  // namespace quill
