// The stack of name tables in which one module is validated and evaluated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/name_map.h"
#include "core/result.h"
#include "core/tree.h"
#include "core/value.h"

namespace tyx {

struct FunctionDef;
// The recorded source mappings of a module's rendered body, built by the source-map builder.
struct ModuleSourceMap;

using VariableMap = NameMap<Value>;
using FunctionMap = NameMap<std::shared_ptr<const FunctionDef>>;

// The key, display name and source text of one module, shared by its functions and errors.
struct SharedSource {
    std::shared_ptr<const std::string> key;
    std::shared_ptr<const std::string> display_name;
    SharedText text;
};

// The functions a module offers its importers. Built once per module and shared by every alias of
// it and by every module that re-exports all of them and nothing else, so that importing or
// re-exporting a module costs the same for any number of functions.
class ExportedFunctions {
  public:
    explicit ExportedFunctions(FunctionMap functions);

    const FunctionMap& functions() const { return functions_; }
    // Some function here shares ownership with `owner`.
    bool shares_owner(const std::shared_ptr<const void>& owner) const;

  private:
    FunctionMap functions_;
    // One function of each owner among them; modules are few, so this stays short.
    std::vector<std::shared_ptr<const FunctionDef>> owners_;
};

// What an import alias stands for.
struct ImportedModule {
    // The module's rendered body when it lets itself be imported and has one; null otherwise.
    // Shared, since every importer of a module pastes the same text.
    std::shared_ptr<const std::string> body_text;
    // The module has a body but its export list hides it.
    bool body_hidden = false;
    // Only the functions the module exports; null for none.
    std::shared_ptr<const ExportedFunctions> exported_functions;
    // Present when the body was rendered with source mappings and the module is importable.
    std::shared_ptr<const ModuleSourceMap> body_mappings;

    const FunctionDef* find_exported_function(std::string_view name) const;
};

using ImportAliasMap = NameMap<ImportedModule>;

// The three tables of a scope's global frame as logs, from which functions capture names.
struct NameLogs {
    NameLog<ImportedModule> aliases;
    NameLog<std::shared_ptr<const FunctionDef>> functions;
    NameLog<Value> variables;

    void freeze() {
        aliases.freeze();
        functions.freeze();
        variables.freeze();
    }
};

// The names a function captured: its defining scope's logs read at the lengths they had when the
// function was defined. Whoever owns the function owns the logs too (see Scope::make_function),
// so a capture holds no reference and costs the same for any number of names.
class CapturedNames {
  public:
    CapturedNames() = default;
    // The logs as they stand now; they are frozen so that later bindings leave these intact.
    static CapturedNames of(NameLogs& logs);

    // The entry the name had when the function was defined, or nullptr.
    const ImportedModule* import_alias(const NameKey& name) const;
    const FunctionDef* function(const NameKey& name) const;
    const Value* variable(const NameKey& name) const;

  private:
    const NameLogs* logs_ = nullptr;
    size_t aliases_ = 0;
    size_t functions_ = 0;
    size_t variables_ = 0;
};

// One user function (an @define), immutable once built and shared by every frame and module
// that holds it.
struct FunctionDef {
    std::vector<DefineParam> params;
    // Shares the defining template's tree, so the body is never copied.
    std::shared_ptr<const std::vector<Node>> body;
    // The names the defining module's scope held when the function was defined.
    CapturedNames captured;
    // One per parameter: its literal default as a value, made once when the function is
    // defined, or null where it has none. Empty for a function built without them, whose
    // defaults are then made at each call.
    std::vector<Value> default_values;
    // The defining module, against which the body's errors are located.
    std::optional<SharedSource> source;

    // Parameters without a default.
    size_t min_arguments() const;
    size_t max_arguments() const { return params.size(); }
};

// What a scope keeps for the functions it makes: the logs of its global frame and the functions
// themselves. Every function made shares
// ownership of this one record, and the logs refer to those functions without owning them, so
// nothing here forms a cycle and freeing it frees the functions one after another instead of
// each through the next.
struct ScopeHistory {
    NameLogs global;
    std::deque<FunctionDef> functions;
};

// The variables a frame beneath the global one binds for a call's parameters or a loop's
// variables. Their names live in the syntax tree, which outlives the frame, so a binding keeps a
// view and builds no string; a loop's variable may refer to its element, which the loop's
// iterable keeps alive, instead of holding a copy.
class FrameBindings {
  public:
    // Binds the name, replacing its previous binding here.
    // Taken by reference, so that the value is moved once, into the binding.
    void bind(const NameKey& name, Value&& value) {
        if (Binding* bound = find_binding(name)) {
            bound->owned = std::move(value);
            bound->referred = nullptr;
            return;
        }
        bindings_.emplace_back(name, std::move(value));
        if (bindings_.size() > kScannedBindings) [[unlikely]]
            index_last();
    }
    // The same for a value that outlives the binding, which then refers to it.
    void bind_ref(const NameKey& name, const Value& value) {
        if (Binding* bound = find_binding(name)) {
            bound->owned = Value();
            bound->referred = &value;
            return;
        }
        bindings_.emplace_back(name, &value);
        if (bindings_.size() > kScannedBindings) [[unlikely]]
            index_last();
    }

    const Value* find(const NameKey& name) const {
        const Binding* bound = find_binding(name);
        return bound == nullptr ? nullptr : &bound->value();
    }
    bool empty() const { return bindings_.empty(); }
    // Keeps the storage for the bindings of the next frame pushed at this depth.
    void clear() {
        bindings_.clear();
        index_.clear();
    }

  private:
    struct Binding {
        Binding(const NameKey& binding_name, Value&& value)
            : name(binding_name.name), key(binding_name.key), owned(std::move(value)) {}
        Binding(const NameKey& binding_name, const Value* value)
            : name(binding_name.name), key(binding_name.key), referred(value) {}

        std::string_view name;
        uint64_t key;
        Value owned;
        // Set for a binding by reference; `owned` is then null.
        const Value* referred = nullptr;

        const Value& value() const { return referred != nullptr ? *referred : owned; }
    };

    // A call's parameters are few, but nothing bounds how many a function declares.
    static constexpr size_t kScannedBindings = 8;

    // A short name is found without calling anything, as in NameMap.
    [[gnu::always_inline]] const Binding* find_binding(const NameKey& name) const {
        if (!NameHash::is_exact(name.name.size())) [[unlikely]]
            return confirmed_binding(name);
        if (!index_.empty()) [[unlikely]] {
            const size_t at =
                index_.find(name.key, [&](size_t i) { return bindings_[i].key == name.key; });
            return at == NameIndex::kAbsent ? nullptr : &bindings_[at];
        }
        for (const Binding& binding : bindings_) {
            if (binding.key == name.key) return &binding;
        }
        return nullptr;
    }
    [[gnu::noinline]] const Binding* confirmed_binding(NameKey name) const {
        const auto matches = [&](size_t i) {
            return bindings_[i].key == name.key && bindings_[i].name == name.name;
        };
        if (!index_.empty()) {
            const size_t at = index_.find(name.key, matches);
            return at == NameIndex::kAbsent ? nullptr : &bindings_[at];
        }
        for (size_t i = 0; i < bindings_.size(); ++i) {
            if (matches(i)) return &bindings_[i];
        }
        return nullptr;
    }
    [[gnu::noinline]] void index_last() {
        index_.add(bindings_.size() - 1, [this](size_t i) { return bindings_[i].key; });
    }
    Binding* find_binding(const NameKey& name) {
        return const_cast<Binding*>(std::as_const(*this).find_binding(name));
    }

    std::vector<Binding> bindings_;
    // Empty until the frame binds more than kScannedBindings names.
    NameIndex index_;
};

// Three independent tables; one name may stand in all three without conflict.
struct ScopeFrame {
    VariableMap variables;
    // Variables bound by view; a frame binds its variables either here or in `variables`, never
    // one name in both.
    FrameBindings bindings;
    FunctionMap functions;
    ImportAliasMap import_aliases;
    // For the frame of a call: the function whose captured names are visible beneath this
    // frame's own entries, as if defined into it before them. Pointed to instead of copied, so
    // a call costs nothing per captured name; whatever table the call found the function in
    // outlives the call's frame.
    const FunctionDef* captured = nullptr;

    // Empties the tables but keeps their storage.
    void clear() {
        variables.clear();
        bindings.clear();
        functions.clear();
        import_aliases.clear();
        captured = nullptr;
    }
};

// Names are looked up from the innermost frame outwards, so an inner definition hides an outer
// one until its frame is popped. Invariant: the global frame, the first, is never removed.
class Scope {
  public:
    // One empty frame, the global frame.
    Scope();
    // Not copied: two scopes would record their definitions into one history.
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    Scope(Scope&&) = default;
    Scope& operator=(Scope&&) = default;

    void push_frame();
    // A frame for a call of `function`: its captured aliases, functions and variables are seen
    // in this frame, and names then defined into the frame (the arguments) hide them.
    void push_function_frame(const FunctionDef& function);
    // The same with each parameter bound to its argument, moved from `arguments`; the
    // parameters past the arguments are bound to the function's prepared defaults.
    void push_call_frame(const FunctionDef& function, std::span<Value> arguments);
    // Fails, leaving the scope as it was, when only the global frame is left.
    Status pop_frame();

    // Each binds the name in the innermost frame, replacing that frame's previous entry.
    // A name already in the frame is rebound without building its string again.
    void define_variable(std::string_view name, Value value);
    // Binds a variable in the innermost frame, which is not the global one, by view: `name` must
    // outlive the frame, and for bind_variable_ref so must `value`.
    void bind_variable(std::string_view name, Value value) {
        innermost().bindings.bind(name, std::move(value));
    }
    void bind_variable_ref(std::string_view name, const Value& value) {
        innermost().bindings.bind_ref(name, value);
    }
    void define_function(std::string_view name, std::shared_ptr<const FunctionDef> function);
    void define_import_alias(std::string_view name, ImportedModule module);

    // The entry of the innermost frame that has the name, or nullptr; names match byte for byte.
    const Value* lookup_variable(std::string_view name) const;
    const FunctionDef* lookup_function(std::string_view name) const;
    const ImportedModule* lookup_import_alias(std::string_view name) const;

    // Gives `function` the names of the global frame as they stand now and returns it shared:
    // the scope keeps it with its history, so that names defined later are not among those it
    // sees. Functions are made only where every @define stands, in the global frame.
    std::shared_ptr<const FunctionDef> make_function(FunctionDef function);

    std::span<const ScopeFrame> frames() const { return {frames_.data(), depth_}; }
    size_t depth() const { return depth_; }

  private:
    ScopeFrame& innermost() { return frames_[depth_ - 1]; }
    // Of the global frame, made by the first function the scope makes and kept in step with the
    // global frame from then on.
    NameLogs* global_logs() { return depth_ == 1 && history_ ? &history_->global : nullptr; }
    // The entry as the logs hold it: the functions of this scope's own history, which the logs
    // must not own, are pointed to without sharing their ownership, also among the functions of
    // a module the scope defines as an alias.
    std::shared_ptr<const FunctionDef> entry_for_log(
        std::shared_ptr<const FunctionDef> function) const;
    ImportedModule entry_for_log(ImportedModule module) const;
    // Binds the frame's entries into the logs.
    void log_frame(const ScopeFrame& frame, NameLogs& logs) const;

    // The first depth_ frames are open. A popped frame stays behind, emptied, so that the next
    // frame pushed at its depth reuses the storage its tables already hold: a call or a loop
    // then defines its names without allocating.
    std::vector<ScopeFrame> frames_;
    size_t depth_ = 0;
    std::shared_ptr<ScopeHistory> history_;
};

}  // namespace tyx
