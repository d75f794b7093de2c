// The text signatures and docstrings of the ten module functions, the API contract of the
// Python surface. CPython splits each at "\n--\n\n" into __text_signature__ and __doc__.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tyx::py {

inline constexpr const char* kCompileDoc =
    "compile(source, *, vars=None, base_path=None, source_map=False, sources_content=False)\n--\n\n"
    "Compile an TYX template source string.\n\n`vars` is an optional mapping of runtime variable "
    "overrides; `base_path` (str or\n`os.PathLike`) sets the base directory for resolving "
    "`@import` paths (defaults to\nthe current working directory; an explicit empty string "
    "raises `tyx::invalid_options`\nrather than silently resolving against an empty path). "
    "`source_map=True` appends a\nSource Map v3 document to the result; `sources_content=True` "
    "embeds original source\ntext in the map (requires `source_map=True`). All are "
    "keyword-only.";

inline constexpr const char* kCompileFileDoc =
    "compile_file(path, *, vars=None, source_map=False, sources_content=False)\n--\n\n"
    "Compile an TYX template file (`path` is a str or `os.PathLike`).\n\nThe base directory is "
    "derived from the file's own directory, so there is no\n`base_path` argument. `vars`, "
    "`source_map`, and `sources_content` are keyword-only.\nDependencies are absolute paths.";

inline constexpr const char* kCompileVirtualDoc =
    "compile_virtual(modules, entry, *, vars=None, source_map=False, sources_content=False)\n--\n\n"
    "Compile a module from an in-memory virtual filesystem.\n\n`modules` maps module key → "
    "source; `entry` is the key to compile and must be a\nkey present in `modules`. `vars`, "
    "`source_map`, and `sources_content` are\nkeyword-only. No source injection occurs — all "
    "modules (entry included) are\nsupplied by the caller.";

inline constexpr const char* kCheckDoc =
    "check(source, *, vars=None, base_path=None, source_map=None, sources_content=None)\n--\n\n"
    "Check (validate) an TYX template source string without rendering output.\n\n`vars` and "
    "`base_path` mirror [`compile`]. Returns a [`CheckResult`].\n\n`source_map` and "
    "`sources_content` are **not** valid options for `check`\n— source maps are a compile-only "
    "concept. Passing either keyword raises\n`TyxError(code=\"tyx::invalid_options\")` "
    "immediately (mirrors the WASM and\n`packages/tyx` `CheckOptions` split, B5/F9).";

inline constexpr const char* kCheckFileDoc =
    "check_file(path, *, vars=None)\n--\n\n"
    "Check (validate) an TYX template file without rendering output.";

inline constexpr const char* kCheckVirtualDoc =
    "check_virtual(modules, entry, *, vars=None)\n--\n\n"
    "Check (validate) a module from an in-memory virtual filesystem.";

inline constexpr const char* kScanImportsDoc =
    "scan_imports(source, /)\n--\n\n"
    "Extract all import / re-export paths from an TYX source string.\n\nReturns a deduplicated "
    "`list[str]` in resolution order (frontmatter and\n`@extends` paths first), or `[]` when "
    "there are none. `source` is positional-only.";

inline constexpr const char* kLintDoc =
    "lint(source, *, vars=None, base_path=None, rules=None)\n--\n\n"
    "Lint an TYX template source string for static analysis findings.\n\nRuns the check gate "
    "first — on a compile error, raises [`TyxError`] with the same\nattributes as [`compile`]. "
    "On a clean gate, applies the lint rules and returns the\ncanonical [`LintResult`].\n\n"
    "`vars`, `base_path`, and `rules` are all keyword-only.";

inline constexpr const char* kLintFileDoc =
    "lint_file(path, *, vars=None, rules=None)\n--\n\n"
    "Lint an TYX template file (`path` is a str or `os.PathLike`).\n\nThe base directory is "
    "derived from the file's own directory. `vars` and `rules`\nare keyword-only. No "
    "`base_path` argument — mirrors [`compile_file`].";

inline constexpr const char* kLintVirtualDoc =
    "lint_virtual(modules, entry, *, vars=None, rules=None)\n--\n\n"
    "Lint a module from an in-memory virtual filesystem.\n\n`modules` maps module key → source "
    "string; `entry` is the key to lint. `vars` and\n`rules` are keyword-only. Mirrors "
    "[`compile_virtual`] for the virtual-FS surface.";

// The flags of every module function: fast-call with keywords; METH_STATIC has no effect on a
// module-level function and is kept for the other bindings' parity.
inline constexpr int kFunctionFlags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

}  // namespace tyx::py
