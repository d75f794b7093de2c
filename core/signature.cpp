#include "core/signature.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "core/format.h"
#include "core/value.h"

namespace tyx {

uint64_t count_required_params(const std::vector<DefineParam>& params) {
    uint64_t required = 0;
    for (const DefineParam& param : params) {
        if (!param.default_value) ++required;
    }
    return required;
}

std::string format_function_signature(std::string_view name,
                                      const std::vector<DefineParam>& params) {
    std::string signature(name);
    signature += '(';
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (i > 0) signature += ", ";
        const DefineParam& param = params[i];
        signature += param.name;
        if (!param.default_value) continue;
        signature += " = ";
        visit_unboxed(Overloaded{
                          [&](const Expression::String& literal) {
                              signature += '"';
                              signature += literal.value;
                              signature += '"';
                          },
                          [&](const Expression::Number& literal) {
                              const double number = literal.value;
                              if (std::isfinite(number) && std::trunc(number) == number) {
                                  // Saturates where the integer does not fit, as a cast cannot.
                                  constexpr double kTwo63 = 9223372036854775808.0;
                                  int64_t integer = 0;
                                  if (number >= kTwo63) {
                                      integer = std::numeric_limits<int64_t>::max();
                                  } else if (number < -kTwo63) {
                                      integer = std::numeric_limits<int64_t>::min();
                                  } else {
                                      integer = static_cast<int64_t>(number);
                                  }
                                  char buffer[24];
                                  const auto [end, ec] =
                                      std::to_chars(buffer, buffer + sizeof buffer, integer);
                                  (void)ec;
                                  signature.append(buffer, end);
                              } else {
                                  append_number_text(number, signature);
                              }
                          },
                          [&](const Expression::Bool& literal) {
                              signature += literal.value ? "true" : "false";
                          },
                          [&](const Expression::Null&) { signature += "null"; },
                          [&](const auto&) { signature += "\u2026"; },
                      },
                      param.default_value->value);
    }
    signature += ')';
    return signature;
}

}  // namespace tyx
