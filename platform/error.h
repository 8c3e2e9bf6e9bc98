#pragma once
// Platform errors and the small Result type that platform factories return.

#include <memory>
#include <string>
#include <utility>
#include <variant>

namespace platform {

// An error reported by a platform service. `description` is the human text the host
// may show (Spanish, like every text the programs write); `domain` and `code` identify
// the failure for logic that must tell errors apart.
struct Error {
    std::string domain;
    int code = 0;
    std::string description;
    std::shared_ptr<const Error> underlying;  // the lower-level cause, when there is one
};

// Either a value or the Error that prevented it. Used by factories that can fail, so
// that no half-built object ever escapes.
template <class T>
class Result {
public:
    Result(T value) : state_(std::move(value)) {}
    Result(Error error) : state_(std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    const Error& error() const { return std::get<1>(state_); }

private:
    std::variant<T, Error> state_;
};

}  // namespace platform
