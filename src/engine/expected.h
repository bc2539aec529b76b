// A value or an error message. Loading is the only place in the engine that
// fails, and it always fails with one human-readable message.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace zelkor {

template <class T>
class Expected {
public:
    Expected(T value) : value_(std::move(value)) {}
    static Expected failure(std::string message) {
        Expected e;
        e.error_ = std::move(message);
        return e;
    }

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    T& value() { return *value_; }
    const T& value() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    T& operator*() { return *value_; }
    const std::string& error() const { return error_; }

private:
    Expected() = default;
    std::optional<T> value_;
    std::string error_;
};

}  // namespace zelkor
