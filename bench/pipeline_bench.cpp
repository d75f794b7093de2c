// Times whole compilations of a text template through the pipeline, as the binding runs them.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/error.h"
#include "core/resolver/lib.h"
#include "core/resolver/resolver.h"
#include "core/value.h"

namespace {

// The prompt and its variables are shared with bench/python_bench.py.
std::string read_bench_file(const char* name) {
    std::ifstream file(std::string(VORPEL_BENCH_DIR) + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

tyx::VarsMap prompt_vars() {
    const nlohmann::json vars = nlohmann::json::parse(read_bench_file("prompt_vars.json"));
    tyx::VarsMap map;
    for (const auto& [name, json] : vars.items())
        map.emplace(name, tyx::value_from_json(json).value());
    return map;
}

std::string repeated(std::string_view line, int count) {
    std::string text;
    text.reserve(line.size() * static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        text += line;
    return text;
}

// The document of bench/python_bench.py's case (b): 10,000 lines that name two variables, each
// followed by a line of plain prose.
std::string document() {
    std::string text;
    for (int i = 0; i < 10000; ++i)
        text += "Line " + std::to_string(i) +
                " says {{ user }} about {{ title }}.\nPlain prose between them, long as the "
                "sentences of an ordinary document are.\n";
    return text;
}

struct Scenario {
    const char* label;
    std::string source;
    tyx::VarsMap vars;
    int calls;
};

int run(const Scenario& scenario) {
    const std::optional<std::string> no_base;
    double best = 1e300;
    for (int round = 0; round < 3; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (int call = 0; call < scenario.calls; ++call) {
            auto base_dir = tyx::resolve_base_dir(no_base);
            tyx::Resolver resolver;
            std::vector<std::string> warnings;
            auto output = tyx::compile_source_text(resolver, scenario.source, base_dir.value(),
                                                   &scenario.vars, {}, warnings);
            if (!output.ok()) {
                std::cerr << scenario.label << ": " << tyx::format_error_message(output.error())
                          << '\n';
                return 1;
            }
        }
        const std::chrono::duration<double, std::micro> spent =
            std::chrono::steady_clock::now() - start;
        best = std::min(best, spent.count() / scenario.calls);
    }
    std::cout << scenario.label << ": " << best << " us per call\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view only = argc > 1 ? argv[1] : "";
    tyx::VarsMap values;
    values.emplace("a", tyx::Value::string("x"));
    values.emplace("b", tyx::Value::number(2));
    tyx::VarsMap document_vars;
    document_vars.emplace("user", tyx::Value::string("Ada"));
    document_vars.emplace("title", tyx::Value::string("the weekly plan"));
    const Scenario scenarios[] = {
        {"prompt", read_bench_file("prompt.tyx"), prompt_vars(), 2000},
        {"two-per-line", repeated("line {{ a }} and {{ b }}\n", 20000), values, 3},
        {"one-per-line", repeated("line {{ a }}\n", 100000), values, 3},
        {"document", document(), document_vars, 20},
    };
    int status = 0;
    for (const Scenario& scenario : scenarios) {
        if (!only.empty() && only != scenario.label) continue;
        status |= run(scenario);
    }
    return status;
}
