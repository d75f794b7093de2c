// A user function's parameters as calls see them: how many a call must give, and the signature
// that arity help shows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/tree.h"

namespace tyx {

// The parameters without a default.
uint64_t count_required_params(const std::vector<DefineParam>& params);
// "name(a, b = 1)": the signature shown in arity help.
std::string format_function_signature(std::string_view name,
                                      const std::vector<DefineParam>& params);

}  // namespace tyx
