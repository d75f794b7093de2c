// JSON values that can be destroyed when memory runs out.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace tyx {

// Empties every array and object of `value`, the innermost first. nlohmann's destructor first
// moves the elements of a container into a vector it allocates, so a large value destroyed
// while an allocation failure unwinds throws from a destructor, which ends the process; a
// released value is destroyed without allocating. The recursion is as deep as the value, which
// whatever builds a value bounds.
void release_json(nlohmann::json& value) noexcept;

// Copies `from` into `out`, which holds no array or object, part by part in place, so that a
// copy that runs out of memory leaves every part it made inside `out`.
void copy_json(const nlohmann::json& from, nlohmann::json& out);

// Sets the member `key` of the object `object` to the array of `texts`. The member is added
// before the array is made, so that no array is left to destroy when adding the member fails.
void set_text_array(nlohmann::json& object, std::string_view key,
                    const std::vector<std::string>& texts);

// A JSON value released before it is destroyed. Any value that may be destroyed when memory has
// run out, by an allocation failure unwinding or with the object that holds it, is kept in one;
// it is built by writing each part in place, so that no part is ever destroyed on its own.
class OwnedJson {
  public:
    OwnedJson() = default;
    explicit OwnedJson(nlohmann::json&& value) noexcept : value_(std::move(value)) {}
    OwnedJson(OwnedJson&& other) noexcept : value_(std::move(other.value_)) {}
    OwnedJson& operator=(OwnedJson&& other) noexcept {
        release_json(value_);
        value_ = std::move(other.value_);
        return *this;
    }
    OwnedJson(const OwnedJson&) = delete;
    OwnedJson& operator=(const OwnedJson&) = delete;
    ~OwnedJson() { release_json(value_); }

    nlohmann::json& operator*() { return value_; }
    const nlohmann::json& operator*() const { return value_; }
    nlohmann::json* operator->() { return &value_; }
    const nlohmann::json* operator->() const { return &value_; }

  private:
    nlohmann::json value_;
};

}  // namespace tyx
