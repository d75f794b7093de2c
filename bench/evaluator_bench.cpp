// Times rendering of a long loop and of a large template dense with interpolations.
#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "core/evaluator.h"
#include "core/lexer.h"
#include "core/parser.h"
#include "core/scope.h"
#include "core/value.h"

namespace {

constexpr int kRuns = 5;

struct Scenario {
    const char* label;
    std::string source;
    std::vector<std::pair<std::string, tyx::Value>> variables;
};

Scenario long_loop() {
    tyx::ValueArray items;
    items.reserve(100'000);
    for (int i = 0; i < 100'000; ++i) {
        items.push_back(tyx::Value::object(
            {{"id", tyx::Value::number(i)}, {"name", tyx::Value::string("item")}}));
    }
    return {"loop of 100,000 iterations",
            "@for item in items:\n- {{ item.name }} #{{ item.id }}\n@end\n",
            {{"items", tyx::Value::array(std::move(items))}}};
}

Scenario dense_template() {
    std::string source;
    source.reserve(1 << 20);
    const std::string filler(90, 'x');
    for (int i = 0; i < 10'000; ++i) {
        source += filler;
        source += (i % 2 == 0) ? " {{ user.name }}\n" : " {{ title }}\n";
    }
    return {"1 MB template, 10,000 interpolations",
            source,
            {{"title", tyx::Value::string("Title")},
             {"user", tyx::Value::object({{"name", tyx::Value::string("Ann")}})}}};
}

int run(const Scenario& scenario) {
    const auto source = std::make_shared<const std::string>(scenario.source);
    std::vector<tyx::Token> tokens;
    if (auto lexed = tyx::tokenize(*source, "bench.tyx"); lexed.ok()) {
        tokens = std::move(lexed).value();
    } else {
        std::cerr << scenario.label << ": " << tyx::format_error_message(lexed.error()) << '\n';
        return 1;
    }
    auto parsed = tyx::parse_template(tokens, "bench.tyx", source);
    if (!parsed.ok()) {
        std::cerr << scenario.label << ": " << tyx::format_error_message(parsed.error()) << '\n';
        return 1;
    }
    tyx::Scope scope;
    for (const auto& [name, value] : scenario.variables)
        scope.define_variable(name, value);

    double best_ms = 1e300;
    std::size_t output_bytes = 0;
    for (int run = 0; run < kRuns; ++run) {
        std::vector<std::string> warnings;
        tyx::WorkBudget work;
        const auto start = std::chrono::steady_clock::now();
        auto out = tyx::evaluate(parsed->body, scope, warnings, "bench.tyx", scenario.source, work);
        const auto stop = std::chrono::steady_clock::now();
        if (!out.ok()) {
            std::cerr << scenario.label << ": " << tyx::format_error_message(out.error()) << '\n';
            return 1;
        }
        output_bytes = out->size();
        best_ms =
            std::min(best_ms, std::chrono::duration<double, std::milli>(stop - start).count());
    }
    std::cout << scenario.label << ": " << best_ms << " ms (" << scenario.source.size()
              << " source bytes, " << output_bytes << " output bytes, best of " << kRuns << ")\n";
    return 0;
}

}  // namespace

int main() {
    int failures = 0;
    failures += run(long_loop());
    failures += run(dense_template());
    return failures == 0 ? 0 : 1;
}
