// Times whole compilations of a text template through the pipeline, as the binding runs them.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/error.h"
#include "core/resolver/lib.h"
#include "core/resolver/resolver.h"
#include "core/value.h"

namespace {

constexpr std::string_view kProse =
    "The assistant reads the request carefully, keeps to the facts given above and answers in "
    "plain language. It does not invent figures, it names its sources when it has them, and it "
    "says so when a question cannot be answered from the material at hand.\n\n";

std::string prompt_template() {
    std::string source =
        "---\n"
        "title: Weekly planning assistant\n"
        "version: 3\n"
        "tone: friendly\n"
        "---\n"
        "@define bullet(label, state=\"open\"):\n"
        "- [{{ state }}] {{ label }}\n"
        "@end\n"
        "@define greeting(person):\n"
        "Hello {{ upper(person) }}, here is your plan.\n"
        "@end\n"
        "# {{ title }} (v{{ version }})\n\n"
        "{{ greeting(user.name) }}\n\n"
        "@if user.role == \"admin\":\n"
        "You can change every plan in the workspace.\n"
        "@elseif user.role == \"editor\":\n"
        "You can change the plans you own.\n"
        "@else:\n"
        "You can read the plans.\n"
        "@end\n\n"
        "@if urgent:\n"
        "**Some items are urgent.** Deal with them first.\n"
        "@end\n\n"
        "## Items\n\n"
        "@for item in items:\n"
        "@if item.done:\n"
        "{{ bullet(item.name, \"done\") }}\n"
        "@else:\n"
        "{{ bullet(item.name) }}\n"
        "@end\n"
        "@end\n\n"
        "Written for {{ audience }} in a {{ tone }} tone, locale {{ user.locale }}.\n\n";
    for (int i = 0; i < 11; ++i)
        source += kProse;
    return source;
}

tyx::VarsMap prompt_vars() {
    nlohmann::json items = nlohmann::json::array();
    for (int i = 0; i < 20; ++i) {
        items.push_back(
            {{"name", "item " + std::to_string(i)}, {"done", i % 3 == 0}, {"weight", i * 1.5}});
    }
    nlohmann::json vars = {{"user", {{"name", "Ada"}, {"role", "admin"}, {"locale", "en-GB"}}},
                           {"items", items},
                           {"urgent", true},
                           {"audience", "engineers"}};
    tyx::VarsMap map;
    for (auto& [name, json] : vars.items())
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
    const Scenario scenarios[] = {
        {"prompt", prompt_template(), prompt_vars(), 2000},
        {"two-per-line", repeated("line {{ a }} and {{ b }}\n", 20000), values, 3},
        {"one-per-line", repeated("line {{ a }}\n", 100000), values, 3},
    };
    int status = 0;
    for (const Scenario& scenario : scenarios) {
        if (!only.empty() && only != scenario.label) continue;
        status |= run(scenario);
    }
    return status;
}
