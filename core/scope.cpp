#include "core/scope.h"

#include <algorithm>
#include <set>
#include <utility>

namespace tyx {
namespace {

constexpr std::string_view kPopGlobalFrame =
    "internal error: cannot pop the global scope frame \u2014 this is a compiler bug, please "
    "report it";

// Searches each frame's own table, then the names its call captured, innermost frame first.
template <class T, class Table>
const T* lookup(std::span<const ScopeFrame> frames, std::string_view name, Table table) {
    const uint64_t hash = NameHash{}(name);
    for (auto frame = frames.rbegin(); frame != frames.rend(); ++frame) {
        if (const T* found = table.bound(*frame, name, hash)) return found;
        if (const T* found = table(*frame).find_value(name, hash)) return found;
        if (frame->captured != nullptr) {
            if (const T* found = table(frame->captured->captured, name, hash)) return found;
        }
    }
    return nullptr;
}

// The same, out of line, for a name that the innermost frame's own table did not hold at
// first sight.
template <class T, class Table>
[[gnu::noinline]] const T* lookup_everywhere(std::span<const ScopeFrame> frames,
                                             std::string_view name, Table table) {
    return lookup<T>(frames, name, table);
}

// Most names are found in the innermost frame (a loop's variable, a call's parameter, or the
// global frame itself): a short one is looked for there first by a scan that calls nothing, so
// that finding it saves and restores no registers.
template <class T, class Table>
const T* lookup_innermost_first(std::span<const ScopeFrame> frames, std::string_view name,
                                Table table) {
    const ScopeFrame& frame = frames.back();
    const auto& innermost = table(frame);
    if (innermost.scans_for(name)) {
        const uint64_t key = NameHash{}(name);
        if (const T* found = innermost.scan_short(key)) return found;
        if (const T* found = table.bound_short(frame, key)) return found;
    }
    return lookup_everywhere<T>(frames, name, table);
}

struct Variables {
    const VariableMap& operator()(const ScopeFrame& frame) const { return frame.variables; }
    const Value* bound(const ScopeFrame& frame, std::string_view name, uint64_t hash) const {
        return frame.bindings.find(name, hash);
    }
    const Value* bound_short(const ScopeFrame& frame, uint64_t hash) const {
        return frame.bindings.scan_short(hash);
    }
    const Value* operator()(const CapturedNames& names, std::string_view name,
                            uint64_t hash) const {
        return names.variable(name, hash);
    }
};
// Only variables are ever bound by view.
struct Functions {
    const FunctionMap& operator()(const ScopeFrame& frame) const { return frame.functions; }
    const std::shared_ptr<const FunctionDef>* bound(const ScopeFrame&, std::string_view,
                                                    uint64_t) const {
        return nullptr;
    }
    const std::shared_ptr<const FunctionDef>* bound_short(const ScopeFrame&, uint64_t) const {
        return nullptr;
    }
    const std::shared_ptr<const FunctionDef>* operator()(const CapturedNames& names,
                                                         std::string_view name,
                                                         uint64_t hash) const {
        return names.function(name, hash);
    }
};
struct Aliases {
    const ImportAliasMap& operator()(const ScopeFrame& frame) const { return frame.import_aliases; }
    const ImportedModule* bound(const ScopeFrame&, std::string_view, uint64_t) const {
        return nullptr;
    }
    const ImportedModule* bound_short(const ScopeFrame&, uint64_t) const { return nullptr; }
    const ImportedModule* operator()(const CapturedNames& names, std::string_view name,
                                     uint64_t hash) const {
        return names.import_alias(name, hash);
    }
};

}  // namespace

ExportedFunctions::ExportedFunctions(FunctionMap functions) : functions_(std::move(functions)) {
    std::set<std::shared_ptr<const FunctionDef>, std::owner_less<>> owners;
    for (const auto& [name, function] : functions_) {
        if (owners.insert(function).second) owners_.push_back(function);
    }
}

bool ExportedFunctions::shares_owner(const std::shared_ptr<const void>& owner) const {
    return std::any_of(owners_.begin(), owners_.end(), [&](const auto& function) {
        return !function.owner_before(owner) && !owner.owner_before(function);
    });
}

const FunctionDef* ImportedModule::find_exported_function(std::string_view name) const {
    if (exported_functions == nullptr) return nullptr;
    const FunctionMap& functions = exported_functions->functions();
    auto found = functions.find(name);
    return found == functions.end() ? nullptr : found->second.get();
}

CapturedNames CapturedNames::of(NameLogs& logs) {
    logs.freeze();
    CapturedNames names;
    names.logs_ = &logs;
    names.aliases_ = logs.aliases.size();
    names.functions_ = logs.functions.size();
    names.variables_ = logs.variables.size();
    return names;
}

const ImportedModule* CapturedNames::import_alias(std::string_view name, uint64_t hash) const {
    return logs_ == nullptr ? nullptr : logs_->aliases.find(name, hash, aliases_);
}

const std::shared_ptr<const FunctionDef>* CapturedNames::function(std::string_view name,
                                                                  uint64_t hash) const {
    return logs_ == nullptr ? nullptr : logs_->functions.find(name, hash, functions_);
}

const FunctionDef* CapturedNames::function(std::string_view name) const {
    const auto* found = function(name, NameHash{}(name));
    return found == nullptr ? nullptr : found->get();
}

const Value* CapturedNames::variable(std::string_view name, uint64_t hash) const {
    return logs_ == nullptr ? nullptr : logs_->variables.find(name, hash, variables_);
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

void Scope::push_call_frame(const FunctionDef& function, std::span<Value> arguments) {
    push_function_frame(function);
    // The parameters' names live in the function's tree, which outlives the frame.
    FrameBindings& bindings = innermost().bindings;
    for (std::size_t i = 0; i < arguments.size(); ++i)
        bindings.bind(function.params[i].name, std::move(arguments[i]));
    // The function outlives the frame, and so do its prepared defaults.
    for (std::size_t i = arguments.size(); i < function.params.size(); ++i)
        bindings.bind_ref(function.params[i].name, function.default_values[i]);
}

Status Scope::pop_frame() {
    if (depth_ <= 1) return new_syntax_error(kPopGlobalFrame);
    innermost().clear();
    --depth_;
    return {};
}

// depth_ is never 0 (the global frame cannot be popped), so the innermost frame always exists.
void Scope::define_variable(std::string_view name, Value value) {
    if (NameLogs* logs = global_logs()) logs->variables.bind(name, value);
    innermost().variables.insert_or_assign(name, std::move(value));
}

void Scope::define_function(std::string_view name, std::shared_ptr<const FunctionDef> function) {
    if (NameLogs* logs = global_logs()) logs->functions.bind(name, entry_for_log(function));
    innermost().functions.insert_or_assign(name, std::move(function));
}

void Scope::define_import_alias(std::string_view name, ImportedModule module) {
    if (NameLogs* logs = global_logs()) logs->aliases.bind(name, entry_for_log(module));
    innermost().import_aliases.insert_or_assign(name, std::move(module));
}

const Value* Scope::lookup_variable(std::string_view name) const {
    return lookup_innermost_first<Value>(frames(), name, Variables{});
}

const FunctionDef* Scope::lookup_function(std::string_view name) const {
    const auto* found =
        lookup_innermost_first<std::shared_ptr<const FunctionDef>>(frames(), name, Functions{});
    return found == nullptr ? nullptr : found->get();
}

const ImportedModule* Scope::lookup_import_alias(std::string_view name) const {
    return lookup<ImportedModule>(frames(), name, Aliases{});
}

std::shared_ptr<const FunctionDef> Scope::entry_for_log(
    std::shared_ptr<const FunctionDef> function) const {
    const bool own = !function.owner_before(history_) && !history_.owner_before(function);
    if (!own) return function;
    // Points at the function without sharing its ownership, which the history itself holds.
    return std::shared_ptr<const FunctionDef>(std::shared_ptr<const FunctionDef>(), function.get());
}

ImportedModule Scope::entry_for_log(ImportedModule module) const {
    // Modules bound as aliases are compiled by other scopes, so their table is shared as it is
    // unless some of this scope's own functions are among its entries.
    if (!history_ || module.exported_functions == nullptr ||
        !module.exported_functions->shares_owner(history_)) {
        return module;
    }
    FunctionMap functions;
    for (const auto& [name, function] : module.exported_functions->functions())
        functions.emplace(name, entry_for_log(function));
    module.exported_functions = std::make_shared<const ExportedFunctions>(std::move(functions));
    return module;
}

std::shared_ptr<const FunctionDef> Scope::make_function(FunctionDef function) {
    if (!history_) {
        history_ = std::make_shared<ScopeHistory>();
        log_frame(frames_.front(), history_->global);
    }
    if (depth_ == 1) {
        function.captured = CapturedNames::of(history_->global);
    } else {
        function.captured = CapturedNames::of(*history_->inner_captures.emplace_back(
            std::make_unique<NameLogs>(flatten_visible_names())));
    }
    history_->functions.push_back(std::move(function));
    return std::shared_ptr<const FunctionDef>(history_, &history_->functions.back());
}

NameLogs Scope::flatten_visible_names() const {
    // Bound outermost first, so that an inner entry replaces an outer one.
    NameLogs logs;
    for (const ScopeFrame& frame : frames()) {
        if (frame.captured != nullptr) {
            const CapturedNames& captured = frame.captured->captured;
            captured.for_each_import_alias(
                [&](std::string_view name, const ImportedModule& module) {
                    logs.aliases.bind(name, entry_for_log(module));
                });
            captured.for_each_function(
                [&](std::string_view name, const std::shared_ptr<const FunctionDef>& function) {
                    logs.functions.bind(name, entry_for_log(function));
                });
            captured.for_each_variable([&](std::string_view name, const Value& value) {
                logs.variables.bind(name, value);
            });
        }
        log_frame(frame, logs);
    }
    return logs;
}

void Scope::log_frame(const ScopeFrame& frame, NameLogs& logs) const {
    for (const auto& [name, module] : frame.import_aliases)
        logs.aliases.bind(name, entry_for_log(module));
    for (const auto& [name, function] : frame.functions)
        logs.functions.bind(name, entry_for_log(function));
    for (const auto& [name, value] : frame.variables)
        logs.variables.bind(name, value);
    frame.bindings.for_each(
        [&](std::string_view name, const Value& value) { logs.variables.bind(name, value); });
}

}  // namespace tyx
