#include "core/scope.h"

#include <utility>

namespace tyx {
namespace {

constexpr std::string_view kPopGlobalFrame =
    "internal error: cannot pop the global scope frame \u2014 this is a compiler bug, please "
    "report it";

template <class T>
const T* find_in(const NameMap<T>& map, std::string_view name, uint64_t hash) {
    auto it = map.find(name, hash);
    return it == map.end() ? nullptr : &it->second;
}

// Searches each frame's own table, then the names its call captured, innermost frame first.
template <class T, class Table>
const T* lookup(std::span<const ScopeFrame> frames, std::string_view name, Table table) {
    const uint64_t hash = NameHash{}(name);
    for (auto frame = frames.rbegin(); frame != frames.rend(); ++frame) {
        if (const T* found = find_in(table(*frame), name, hash)) return found;
        if (frame->captured != nullptr) {
            if (const T* found = find_in(table(*frame->captured), name, hash)) return found;
        }
    }
    return nullptr;
}

template <class T, class Table>
NameMap<T> visible(std::span<const ScopeFrame> frames, Table table) {
    // A module's own @define sees only the global frame: copying its table spares hashing
    // every name again.
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
    auto found = exported_functions.find(name);
    return found == exported_functions.end() ? nullptr : found->second.get();
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
    depth_ = 1;
}

void Scope::push_frame() {
    if (depth_ == frames_.size()) frames_.emplace_back();
    ++depth_;
}

void Scope::push_function_frame(const FunctionDef& function) {
    push_frame();
    innermost().captured = &function;
}

Status Scope::pop_frame() {
    if (depth_ <= 1) return new_syntax_error(kPopGlobalFrame);
    innermost().clear();
    --depth_;
    return {};
}

// depth_ is never 0 (the global frame cannot be popped), so the innermost frame always exists.
void Scope::define_variable(std::string_view name, Value value) {
    innermost().variables.insert_or_assign(name, std::move(value));
}

void Scope::define_function(std::string_view name, std::shared_ptr<const FunctionDef> function) {
    innermost().functions.insert_or_assign(name, std::move(function));
}

void Scope::define_import_alias(std::string_view name, ImportedModule module) {
    innermost().import_aliases.insert_or_assign(name, std::move(module));
}

const Value* Scope::lookup_variable(std::string_view name) const {
    return lookup<Value>(frames(), name, Variables{});
}

const FunctionDef* Scope::lookup_function(std::string_view name) const {
    const auto* found = lookup<std::shared_ptr<const FunctionDef>>(frames(), name, Functions{});
    return found == nullptr ? nullptr : found->get();
}

const ImportedModule* Scope::lookup_import_alias(std::string_view name) const {
    return lookup<ImportedModule>(frames(), name, Aliases{});
}

ImportAliasMap Scope::visible_import_aliases() const {
    return visible<ImportedModule>(frames(), Aliases{});
}

FunctionMap Scope::visible_functions() const {
    return visible<std::shared_ptr<const FunctionDef>>(frames(), Functions{});
}

VariableMap Scope::visible_variables() const {
    return visible<Value>(frames(), Variables{});
}

}  // namespace tyx
