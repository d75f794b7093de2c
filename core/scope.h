// The stack of name tables in which one module is validated and evaluated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/name_map.h"
#include "core/parser.h"
#include "core/result.h"
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
    std::shared_ptr<const std::string> text;
};

// What an import alias stands for.
struct ImportedModule {
    // The module's rendered body when it lets itself be imported and has one; null otherwise.
    // Shared, since every importer of a module pastes the same text.
    std::shared_ptr<const std::string> body_text;
    // The module has a body but its export list hides it.
    bool body_hidden = false;
    // Only the functions the module exports.
    FunctionMap exported_functions;
    // Present when the body was rendered with source mappings and the module is importable.
    std::shared_ptr<const ModuleSourceMap> body_mappings;

    const FunctionDef* find_exported_function(std::string_view name) const;
};

using ImportAliasMap = NameMap<ImportedModule>;

// One user function (an @define), immutable once built and shared by every frame and module
// that holds it.
struct FunctionDef {
    std::vector<DefineParam> params;
    // Shares the defining template's tree, so the body is never copied.
    std::shared_ptr<const std::vector<Node>> body;
    // The names the defining module's scope held when the function was defined.
    ImportAliasMap aliases;
    FunctionMap functions;
    VariableMap variables;
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

// Three independent tables; one name may stand in all three without conflict.
struct ScopeFrame {
    VariableMap variables;
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

    void push_frame();
    // A frame for a call of `function`: its captured aliases, functions and variables are seen
    // in this frame, and names then defined into the frame (the arguments) hide them.
    void push_function_frame(const FunctionDef& function);
    // Fails, leaving the scope as it was, when only the global frame is left.
    Status pop_frame();

    // Each binds the name in the innermost frame, replacing that frame's previous entry.
    // A name already in the frame is rebound without building its string again.
    void define_variable(std::string_view name, Value value);
    void define_function(std::string_view name, std::shared_ptr<const FunctionDef> function);
    void define_import_alias(std::string_view name, ImportedModule module);

    // The entry of the innermost frame that has the name, or nullptr; names match byte for byte.
    const Value* lookup_variable(std::string_view name) const;
    const FunctionDef* lookup_function(std::string_view name) const;
    const ImportedModule* lookup_import_alias(std::string_view name) const;

    // Everything visible now, over all frames, an inner entry replacing an outer one: the
    // snapshot a function captures when it is defined.
    ImportAliasMap visible_import_aliases() const;
    FunctionMap visible_functions() const;
    VariableMap visible_variables() const;

    std::span<const ScopeFrame> frames() const { return {frames_.data(), depth_}; }
    size_t depth() const { return depth_; }

  private:
    ScopeFrame& innermost() { return frames_[depth_ - 1]; }

    // The first depth_ frames are open. A popped frame stays behind, emptied, so that the next
    // frame pushed at its depth reuses the storage its tables already hold: a call or a loop
    // then defines its names without allocating.
    std::vector<ScopeFrame> frames_;
    size_t depth_ = 0;
};

}  // namespace tyx
