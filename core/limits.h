// Limits shared by the evaluator and the builtins.
#pragma once

#include <cstddef>

namespace tyx {

// The largest rendered output in bytes; `replace` and `join` are held to it too, so that no
// single call can build a text the output could never hold.
inline constexpr std::size_t MAX_OUTPUT_SIZE = 52'428'800;

}  // namespace tyx
