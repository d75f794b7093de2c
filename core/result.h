// A value or the one CompileError that stopped the work producing it. The error is kept behind
// a pointer so that a result costs little more than its value on every frame of a deep walk.
#pragma once

#include <memory>
#include <utility>
#include <variant>

#include "core/error.h"

namespace tyx {

template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(CompileError error)
        : state_(std::in_place_index<1>, std::make_unique<CompileError>(std::move(error))) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const CompileError& error() const { return *std::get<1>(state_); }
    CompileError&& take_error() && { return std::move(*std::get<1>(state_)); }

  private:
    std::variant<T, std::unique_ptr<CompileError>> state_;
};

// Success or an error, for operations that produce nothing. Nearly every step of a walk returns
// one, so a success is destroyed by a test of its pointer written out here, where a compiler
// inlines it; only an error's destruction is a call.
template <>
class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(CompileError error) : error_(new CompileError(std::move(error))) {}
    Result(Result&& other) noexcept : error_(std::exchange(other.error_, nullptr)) {}
    Result& operator=(Result&& other) noexcept {
        std::swap(error_, other.error_);
        return *this;
    }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    ~Result() {
        if (error_ != nullptr) [[unlikely]]
            destroy_error(error_);
    }

    bool ok() const { return error_ == nullptr; }
    explicit operator bool() const { return ok(); }
    const CompileError& error() const { return *error_; }
    CompileError&& take_error() && { return std::move(*error_); }

  private:
    [[gnu::noinline]] static void destroy_error(CompileError* error) { delete error; }

    CompileError* error_ = nullptr;
};

using Status = Result<void>;

}  // namespace tyx

#define TYX_CONCAT_INNER(a, b) a##b
#define TYX_CONCAT(a, b) TYX_CONCAT_INNER(a, b)

// Returns the error of `expr` from the enclosing function when it failed.
#define TYX_TRY(expr)                                                              \
    do {                                                                           \
        auto&& tyx_try_result_ = (expr);                                           \
        if (!tyx_try_result_.ok()) return std::move(tyx_try_result_).take_error(); \
    } while (false)

// Declares or assigns `lhs` from the value of `expr`, or returns its error.
#define TYX_ASSIGN_OR_RETURN(lhs, expr) \
    TYX_ASSIGN_OR_RETURN_IMPL(TYX_CONCAT(tyx_result_, __LINE__), lhs, expr)
#define TYX_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr)      \
    auto tmp = (expr);                                 \
    if (!tmp.ok()) return std::move(tmp).take_error(); \
    lhs = std::move(tmp).value()
