// A heap array of plain values that are always written before they are read.
// Growing it copies only the values asked for and clears nothing, where
// std::vector would fill every new element first (or check its capacity at
// every append): the stage loop's per-box arrays get room for the boxes a
// stage is expected to open, often far more than it does, and are then
// written box by box.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <type_traits>

namespace trelvik {

template <class T>
class RawBuffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    T* data() { return values_.get(); }
    const T* data() const { return values_.get(); }
    T& operator[](size_t i) { return values_[i]; }
    const T& operator[](size_t i) const { return values_[i]; }

    // Room for at least `needed` values, at least doubling when it grows;
    // the first `kept` values stay, the rest are unspecified.
    void reserve(size_t needed, size_t kept) {
        if (needed <= capacity_) return;
        const size_t capacity = std::max(needed, 2 * capacity_);
        std::unique_ptr<T[]> values(new T[capacity]);
        std::copy(values_.get(), values_.get() + std::min(kept, capacity_), values.get());
        values_ = std::move(values);
        capacity_ = capacity;
    }

private:
    std::unique_ptr<T[]> values_;
    size_t capacity_ = 0;
};

}  // namespace trelvik
