// Small helpers for composing message texts, shared across the core.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

namespace tyx {

inline std::string decimal(uint64_t number) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    return std::string(buffer, result.ptr);
}

// Concatenates texts with one allocation's worth of appends.
template <class... Parts>
std::string cat(const Parts&... parts) {
    std::string out;
    (out.append(std::string_view(parts)), ...);
    return out;
}

// Visitor built from lambdas, for std::visit over the tree's variants.
template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace tyx
