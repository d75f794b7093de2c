// The state of one compilation: the loader, the module cache and the resolving stack, with the
// checks that keep the stack and the cache within their limits.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/keyed_tables.h"
#include "core/limits.h"
#include "core/resolver/loaders.h"
#include "core/result.h"
#include "core/value.h"

namespace tyx {

// Length of the resolving stack before a push: the entry and 63 nested imports.
inline constexpr size_t MAX_IMPORT_DEPTH = 64;
// Modules in the cache before a new one is compiled.
inline constexpr size_t MAX_MODULES = 256;

// The caller's variables; every module of one compilation receives the same map.
using VarsMap = std::map<std::string, Value, std::less<>>;

// What the compilation of one module receives; every field is borrowed for the call.
struct ModuleSource {
    std::string_view key;
    std::string_view display_name;
    std::string_view text;
    // Against which the module's relative imports resolve; may be empty.
    std::string_view base_dir;
    const VarsMap* vars = nullptr;
};

struct CompiledModule;
using CompiledModulePtr = std::shared_ptr<const CompiledModule>;

class Resolver {
  public:
    // With the file-system loader and no project root yet.
    Resolver();
    explicit Resolver(std::unique_ptr<ModuleLoader> loader);

    ModuleLoader& loader() { return *loader_; }
    const ModuleLoader& loader() const { return *loader_; }

    bool source_map_wanted() const { return source_map_wanted_; }
    void set_source_map_wanted(bool wanted) { source_map_wanted_ = wanted; }

    // The one budget every evaluation of the compilation charges: the entry's, each imported
    // module's body and each part of an inheritance chain, so that many modules cannot each
    // spend a full allowance.
    WorkBudget& work() { return work_; }

    // The module cache, in the order of first insertion.
    const CompiledModulePtr* find_module(std::string_view key) const;
    // Replacing a key keeps its position in the order.
    void store_module(std::string key, CompiledModulePtr module);
    size_t module_count() const { return cache_order_.size(); }
    // The keys of the cache in their order, without any equal to `leave_out`.
    std::vector<std::string> dependencies(std::optional<std::string_view> leave_out = {}) const;

    // The chain of modules being compiled, the entry's key first.
    const std::vector<std::string>& resolving_stack() const { return stack_; }
    bool is_resolving(std::string_view key) const;
    void push_resolving(std::string key) { stack_.push_back(std::move(key)); }
    std::optional<std::string> pop_resolving();

    // The shared module that an import path names, resolved against `directory` and compiled on
    // first use. Defined with the module compiler (core/resolver/module_compiler.cpp), since it
    // compiles the module it imports.
    Result<CompiledModulePtr> import_module(std::string_view directory, std::string_view path,
                                            const VarsMap* vars,
                                            std::vector<std::string>& warnings);

  private:
    std::unique_ptr<ModuleLoader> loader_;
    std::vector<std::pair<std::string, CompiledModulePtr>> cache_order_;
    KeyedTextMap<size_t> cache_index_;
    std::vector<std::string> stack_;
    bool source_map_wanted_ = false;
    WorkBudget work_;
};

Resolver new_virtual_resolver(ModuleMap modules);

// The key popped must be the key pushed; otherwise the internal LIFO error.
Status check_stack_pop(const std::optional<std::string>& popped, std::string_view expected);

// A failed compilation keeps its own error; a successful one is replaced by the LIFO error.
template <class T>
Result<T> check_entry_stack_pop(Result<T> outcome, const std::optional<std::string>& popped,
                                std::string_view expected) {
    Status check = check_stack_pop(popped, expected);
    if (!outcome.ok() || check.ok()) return outcome;
    return std::move(check).take_error();
}

// The base directory of a template given as text, as resolve_base_dir returns it. It is
// canonical already: the system reports the current directory by its physical path, and a given
// base path has gone through realpath. The entry points taking one use it as it is rather than
// resolving it again, which would repeat a system call per path component on every call.
struct BaseDirectory {
    std::string path;
};

// The current directory when no base path (or an empty one) is given, else the given path
// canonicalised.
Result<BaseDirectory> resolve_base_dir(const std::optional<std::string>& base_path);
Result<std::string> path_to_utf8_string(std::string_view path);

// A module must be a .tyx file, or a .md file whose frontmatter declares `type: tyx`.
Status check_tyx_module(std::string_view key, std::string_view text);
// Whether one unindented line of the raw frontmatter is `type: tyx` (quoted or not).
bool scan_frontmatter_type_line(std::string_view frontmatter);
// The cycle from the repeated key's first place on the stack, as file names joined by " → ".
std::string format_cycle_chain(const std::vector<std::string>& stack, std::string_view key);

}  // namespace tyx
