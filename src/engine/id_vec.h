// Growable vector of token ids.
//
// A plain (pointer, length, capacity) buffer instead of std::vector so that
// the hot paths may write whole 16-byte blocks into spare capacity and then
// advance the length by fewer ids (the cache hit path does exactly that).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace zelkor {

using TokenId = uint32_t;
inline constexpr TokenId NONE = 0xFFFFFFFFu;

class IdVec {
public:
    IdVec() = default;
    explicit IdVec(size_t capacity) { reserve(capacity); }
    IdVec(const IdVec&) = delete;
    IdVec& operator=(const IdVec&) = delete;
    IdVec(IdVec&& o) noexcept : data_(o.data_), len_(o.len_), cap_(o.cap_) {
        o.data_ = nullptr;
        o.len_ = o.cap_ = 0;
    }
    IdVec& operator=(IdVec&& o) noexcept {
        if (this != &o) {
            std::free(data_);
            data_ = o.data_;
            len_ = o.len_;
            cap_ = o.cap_;
            o.data_ = nullptr;
            o.len_ = o.cap_ = 0;
        }
        return *this;
    }
    ~IdVec() { std::free(data_); }

    size_t size() const { return len_; }
    size_t capacity() const { return cap_; }
    bool empty() const { return len_ == 0; }
    TokenId* data() { return data_; }
    const TokenId* data() const { return data_; }
    TokenId* begin() { return data_; }
    TokenId* end() { return data_ + len_; }
    const TokenId* begin() const { return data_; }
    const TokenId* end() const { return data_ + len_; }
    TokenId operator[](size_t i) const { return data_[i]; }
    TokenId& operator[](size_t i) { return data_[i]; }

    void clear() { len_ = 0; }
    // Shortens the vector; `n` must not exceed size().
    void truncate(size_t n) { len_ = n; }
    // Sets the length after the caller wrote ids into spare capacity.
    void set_size(size_t n) { len_ = n; }

    // Capacity for at least `n` ids in total.
    void reserve(size_t n) {
        if (n > cap_) realloc_to(n);
    }
    // Room for at least `extra` more ids past the current length.
    void reserve_extra(size_t extra) {
        if (cap_ - len_ < extra) grow(len_ + extra);
    }
    void push_back(TokenId id) {
        if (len_ == cap_) grow(len_ + 1);
        data_[len_++] = id;
    }
    void append(const TokenId* ids, size_t n) {
        reserve_extra(n);
        if (n) std::memcpy(data_ + len_, ids, n * sizeof(TokenId));
        len_ += n;
    }
    // Gives up ownership of the buffer (the caller frees it with std::free).
    TokenId* release() {
        TokenId* p = data_;
        data_ = nullptr;
        len_ = cap_ = 0;
        return p;
    }

private:
    void grow(size_t need) {
        size_t cap = cap_ ? cap_ * 2 : 16;
        if (cap < need) cap = need;
        realloc_to(cap);
    }
    void realloc_to(size_t cap) {
        if (cap > SIZE_MAX / sizeof(TokenId)) throw std::bad_alloc();
        void* p = std::realloc(data_, cap * sizeof(TokenId));
        if (!p) throw std::bad_alloc();
        data_ = static_cast<TokenId*>(p);
        cap_ = cap;
    }

    TokenId* data_ = nullptr;
    size_t len_ = 0;
    size_t cap_ = 0;
};

}  // namespace zelkor
