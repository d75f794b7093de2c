#include "core/scope.h"

#include <algorithm>
#include <set>
#include <utility>

namespace tyx {
namespace {

constexpr std::string_view kPopGlobalFrame =
    "internal error: cannot pop the global scope frame \u2014 this is a compiler bug, please "
    "report it";

// The entry for the name in the innermost frame that has one: in each frame its own entries
// (`own`), then the names its call captured (`captured`).
template <class Own, class Captured>
[[gnu::noinline]] auto find_in_frames(std::span<const ScopeFrame> frames, std::string_view name,
                                      const Own& own, Captured captured)
    -> decltype(own(frames.back(), name)) {
    const NameKey key(name);
    for (auto frame = frames.rbegin(); frame != frames.rend(); ++frame) {
        if (auto found = own(*frame, key)) return found;
        if (frame->captured != nullptr) {
            if (auto found = (frame->captured->captured.*captured)(key)) return found;
        }
    }
    return nullptr;
}

// The same. Most names are short and stand among the innermost frame's own entries (a loop's
// variable, a call's parameter, or the global frame itself), where they are found in line by a
// search that calls nothing; every other lookup searches all frames out of line.
template <class Own, class Captured>
auto find_innermost(std::span<const ScopeFrame> frames, std::string_view name, const Own& own,
                    Captured captured) -> decltype(own(frames.back(), name)) {
    if (NameHash::is_exact(name.size())) {
        if (auto found = own(frames.back(), NameKey(name))) return found;
    }
    return find_in_frames(frames, name, own, captured);
}

// The table's entry for the name, or nullptr.
template <class T>
const T* entry(const NameMap<T>& table, const NameKey& name) {
    auto found = table.find(name);
    return found == table.end() ? nullptr : &found->second;
}

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

const ImportedModule* CapturedNames::import_alias(const NameKey& name) const {
    return logs_ == nullptr ? nullptr : logs_->aliases.find(name, aliases_);
}

const FunctionDef* CapturedNames::function(const NameKey& name) const {
    if (logs_ == nullptr) return nullptr;
    const auto* found = logs_->functions.find(name, functions_);
    return found == nullptr ? nullptr : found->get();
}

const Value* CapturedNames::variable(const NameKey& name) const {
    return logs_ == nullptr ? nullptr : logs_->variables.find(name, variables_);
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
    const auto own = [](const ScopeFrame& frame, const NameKey& key) -> const Value* {
        if (const Value* defined = entry(frame.variables, key)) return defined;
        return frame.bindings.find(key);
    };
    return find_innermost(frames(), name, own, &CapturedNames::variable);
}

const FunctionDef* Scope::lookup_function(std::string_view name) const {
    const auto own = [](const ScopeFrame& frame, const NameKey& key) -> const FunctionDef* {
        const auto* defined = entry(frame.functions, key);
        return defined == nullptr ? nullptr : defined->get();
    };
    return find_innermost(frames(), name, own, &CapturedNames::function);
}

const ImportedModule* Scope::lookup_import_alias(std::string_view name) const {
    const auto own = [](const ScopeFrame& frame, const NameKey& key) {
        return entry(frame.import_aliases, key);
    };
    return find_in_frames(frames(), name, own, &CapturedNames::import_alias);
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
    function.captured = CapturedNames::of(history_->global);
    history_->functions.push_back(std::move(function));
    return std::shared_ptr<const FunctionDef>(history_, &history_->functions.back());
}

void Scope::log_frame(const ScopeFrame& frame, NameLogs& logs) const {
    for (const auto& [name, module] : frame.import_aliases)
        logs.aliases.bind(name, entry_for_log(module));
    for (const auto& [name, function] : frame.functions)
        logs.functions.bind(name, entry_for_log(function));
    for (const auto& [name, value] : frame.variables)
        logs.variables.bind(name, value);
}

}  // namespace tyx
