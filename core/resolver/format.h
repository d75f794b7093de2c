// Small text helpers shared by the resolver's messages.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>

namespace tyx {

inline std::string decimal(uint64_t number) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    return std::string(buffer, result.ptr);
}

}  // namespace tyx
