#include "core/scope.h"

#include <utility>

namespace tyx {
namespace {

constexpr std::string_view kPopGlobalFrame =
    "internal error: cannot pop the global scope frame \u2014 this is a compiler bug, please "
    "report it";

template <class T>
const T* find_in(const NameMap<T>& map, std::string_view name) {
    // Most frames leave most tables empty; skipping them spares hashing the name for each.
    if (map.empty()) return nullptr;
    auto it = map.find(name);
    return it == map.end() ? nullptr : &it->second;
}

// Searches each frame's own table, then the names its call captured, innermost frame first.
template <class T, class Table>
const T* lookup(const std::vector<ScopeFrame>& frames, std::string_view name, Table table) {
    for (auto frame = frames.rbegin(); frame != frames.rend(); ++frame) {
        if (const T* found = find_in(table(*frame), name)) return found;
        if (frame->captured != nullptr) {
            if (const T* found = find_in(table(*frame->captured), name)) return found;
        }
    }
    return nullptr;
}

template <class T, class Table>
NameMap<T> visible(const std::vector<ScopeFrame>& frames, Table table) {
    // A module's own @define sees only the global frame: copying its table keeps the bucket
    // layout and spares hashing every name again.
    if (frames.size() == 1 && frames.front().captured == nullptr) return table(frames.front());
    NameMap<T> names;
    for (const ScopeFrame& frame : frames) {
        if (frame.captured != nullptr) {
            for (const auto& [name, entry] : table(*frame.captured)) {
                names.insert_or_assign(name, entry);
            }
        }
        for (const auto& [name, entry] : table(frame))
            names.insert_or_assign(name, entry);
    }
    return names;
}

struct Variables {
    const VariableMap& operator()(const ScopeFrame& frame) const { return frame.variables; }
    const VariableMap& operator()(const FunctionDef& function) const { return function.variables; }
};
struct Functions {
    const FunctionMap& operator()(const ScopeFrame& frame) const { return frame.functions; }
    const FunctionMap& operator()(const FunctionDef& function) const { return function.functions; }
};
struct Aliases {
    const ImportAliasMap& operator()(const ScopeFrame& frame) const { return frame.import_aliases; }
    const ImportAliasMap& operator()(const FunctionDef& function) const { return function.aliases; }
};

}  // namespace

const FunctionDef* ImportedModule::find_exported_function(std::string_view name) const {
    const auto* found = find_in(exported_functions, name);
    return found == nullptr ? nullptr : found->get();
}

size_t FunctionDef::min_arguments() const {
    size_t required = 0;
    for (const DefineParam& param : params) {
        if (!param.default_value) ++required;
    }
    return required;
}

// Room for the frames of a few nested loops and calls, so that entering them moves no frames.
constexpr size_t kInitialFrameCapacity = 8;

Scope::Scope() {
    frames_.reserve(kInitialFrameCapacity);
    frames_.emplace_back();
}

void Scope::push_frame() {
    frames_.emplace_back();
}

void Scope::push_function_frame(std::shared_ptr<const FunctionDef> function) {
    frames_.emplace_back().captured = std::move(function);
}

Status Scope::pop_frame() {
    if (frames_.size() <= 1) return new_syntax_error(kPopGlobalFrame);
    frames_.pop_back();
    return {};
}

// frames_ is never empty (the global frame cannot be popped), so back() always exists.
void Scope::define_variable(std::string name, Value value) {
    frames_.back().variables.insert_or_assign(std::move(name), std::move(value));
}

void Scope::define_function(std::string name, std::shared_ptr<const FunctionDef> function) {
    frames_.back().functions.insert_or_assign(std::move(name), std::move(function));
}

void Scope::define_import_alias(std::string name, ImportedModule module) {
    frames_.back().import_aliases.insert_or_assign(std::move(name), std::move(module));
}

const Value* Scope::lookup_variable(std::string_view name) const {
    return lookup<Value>(frames_, name, Variables{});
}

const FunctionDef* Scope::lookup_function(std::string_view name) const {
    const auto* found = lookup<std::shared_ptr<const FunctionDef>>(frames_, name, Functions{});
    return found == nullptr ? nullptr : found->get();
}

const ImportedModule* Scope::lookup_import_alias(std::string_view name) const {
    return lookup<ImportedModule>(frames_, name, Aliases{});
}

ImportAliasMap Scope::visible_import_aliases() const {
    return visible<ImportedModule>(frames_, Aliases{});
}

FunctionMap Scope::visible_functions() const {
    return visible<std::shared_ptr<const FunctionDef>>(frames_, Functions{});
}

VariableMap Scope::visible_variables() const {
    return visible<Value>(frames_, Variables{});
}

}  // namespace tyx
