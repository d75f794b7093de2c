// What the whole-pipeline fuzzers share: one input cut into an entry and the modules of a
// virtual module map, and the variables every compilation receives.
#pragma once

#include <array>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/resolver/loaders.h"
#include "core/resolver/resolver.h"
#include "core/value.h"

namespace fuzz {

// Abort rather than trap, so that libFuzzer keeps the input and prints the stack.
inline void require(bool condition) {
    if (!condition) std::abort();
}

// The line that ends one module's text and starts the next.
inline constexpr std::string_view MODULE_SEPARATOR = "\n---8<---\n";
inline constexpr std::string_view ENTRY_KEY = "main.tyx";
// In the order the pieces after the entry take them; one lives below a directory so that "../"
// paths resolve, and one is plain Markdown.
inline constexpr std::array<std::string_view, 4> MODULE_KEYS = {"m1.tyx", "m2.tyx", "sub/m3.tyx",
                                                                "m4.md"};

// The entry is the text before the first separator; each later piece becomes the next module,
// and whatever follows the fourth module's separator stays part of it.
inline tyx::ModuleMap split_modules(std::string_view input) {
    tyx::ModuleMap modules;
    size_t end = input.find(MODULE_SEPARATOR);
    modules.emplace(ENTRY_KEY, input.substr(0, end));
    for (std::string_view key : MODULE_KEYS) {
        if (end == std::string_view::npos) break;
        const size_t start = end + MODULE_SEPARATOR.size();
        end = key == MODULE_KEYS.back() ? std::string_view::npos
                                        : input.find(MODULE_SEPARATOR, start);
        modules.emplace(
            key, input.substr(
                     start, end == std::string_view::npos ? std::string_view::npos : end - start));
    }
    return modules;
}

// A variable of every kind, so that conditions, loops and builtins meet each.
inline const tyx::VarsMap& fuzz_vars() {
    static const tyx::VarsMap vars = [] {
        using tyx::Value;
        tyx::VarsMap made;
        made.emplace("name", Value::string("World"));
        made.emplace("empty", Value::string(""));
        made.emplace("items",
                     Value::array({Value::string("x"), Value::string("y"), Value::string("z")}));
        made.emplace("numbers",
                     Value::array({Value::number(3), Value::number(-1.5), Value::number(0)}));
        made.emplace("n", Value::number(42));
        made.emplace("flag", Value::boolean(true));
        made.emplace("none", Value::null());
        made.emplace("user", Value::object({{"admin", Value::boolean(false)},
                                            {"name", Value::string("Ada")},
                                            {"tags", Value::array({Value::string("a")})}}));
        return made;
    }();
    return vars;
}

}  // namespace fuzz
