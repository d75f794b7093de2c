// A text that several owners read: its bytes, and the shared string that keeps them alive.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace tyx {

// The text of a module read by a loader is shared by its tree, its functions and its source
// map, and lives as long as the last of them. The text of a call's entry is its caller's: the
// caller keeps it for the whole call and nothing the call returns views it, so it is read where
// it stands, never copied, and has no owner here.
class SharedText {
  public:
    SharedText() = default;
    // NOLINTNEXTLINE: implicit, as a shared string is a shared text
    SharedText(std::shared_ptr<const std::string> text)
        : owner_(std::move(text)), view_(owner_ ? std::string_view(*owner_) : std::string_view()) {}
    // A text with no owner here: the caller's, such as a call's entry, which the caller keeps
    // alive for as long as anything made from it is read.
    static SharedText borrowed(std::string_view text) {
        SharedText shared;
        shared.view_ = text;
        return shared;
    }

    std::string_view view() const { return view_; }
    // Null for a borrowed text.
    const std::shared_ptr<const std::string>& owner() const { return owner_; }
    std::string_view operator*() const { return view_; }
    const std::string_view* operator->() const { return &view_; }

  private:
    std::shared_ptr<const std::string> owner_;
    std::string_view view_;
};

}  // namespace tyx
