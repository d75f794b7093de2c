// The syntax tree of one template and the parser that builds it from the lexer's tokens.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/lexer.h"
#include "core/result.h"

namespace tyx {

// Blocks (@if, @for, @define, @message, @block) open at once; the 65th fails.
inline constexpr uint64_t MAX_NESTING_DEPTH = 64;
// @elseif branches of one @if; the 257th fails.
inline constexpr uint64_t MAX_ELSEIF_BRANCHES = 256;

// One argument of a call. A call nested in an argument list is always a plain call.
struct CallArg {
    struct String {
        std::string value;
    };
    struct Number {
        double value = 0;  // always finite
    };
    struct Bool {
        bool value = false;
    };
    struct Null {};
    struct Variable {
        std::string name;
    };
    struct Call {
        std::string name;
        std::vector<CallArg> args;
    };
    struct DotPath {
        std::string root;
        std::vector<std::string> fields;
    };

    std::variant<String, Number, Bool, Null, Variable, Call, DotPath> value;
};

// An operand of a directive, an interpolation, a loop iterable, a message role or a parameter
// default. String, Number, Bool and Null are the literal kinds.
struct Expression {
    struct Variable {
        std::string name;
    };
    struct Call {
        std::string name;
        std::vector<CallArg> args;
    };
    struct QualifiedCall {
        std::string namespace_name;  // an import alias
        std::string name;
        std::vector<CallArg> args;
    };
    // Between 2 and 32 names in all, root included.
    struct DotPath {
        std::string root;
        std::vector<std::string> fields;
    };
    struct String {
        std::string value;  // escapes already resolved
    };
    struct Number {
        double value = 0;  // always finite
    };
    struct Bool {
        bool value = false;
    };
    struct Null {};

    std::variant<Variable, Call, QualifiedCall, DotPath, String, Number, Bool, Null> value;

    bool is_literal() const {
        return std::holds_alternative<String>(value) || std::holds_alternative<Number>(value) ||
               std::holds_alternative<Bool>(value) || std::holds_alternative<Null>(value);
    }
};

// An @if or @elseif condition. Truthy and Not never hold a literal; an And holds no And or Or,
// an Or holds no Or, and one condition has at most 16 leaves.
struct Condition {
    struct Truthy {
        Expression expression;
    };
    struct Not {
        Expression expression;
    };
    struct Equals {
        Expression left;
        Expression right;
    };
    struct NotEquals {
        Expression left;
        Expression right;
    };
    struct And {
        std::vector<Condition> conditions;
    };
    struct Or {
        std::vector<Condition> conditions;
    };

    std::variant<Truthy, Not, Equals, NotEquals, And, Or> value;
};

// The form of an @import line. Paths are kept exactly as written between the double quotes.
struct ImportKind {
    struct Alias {
        std::string path;
        std::string alias;
    };
    struct Whole {
        std::string path;
    };
    // The name list may be empty; name_offsets[i] is the byte offset of names[i] in the source.
    struct Selective {
        std::vector<std::string> names;
        std::vector<uint64_t> name_offsets;
        std::string path;
    };

    std::variant<Alias, Whole, Selective> value;
};

// The form of an @export line.
struct ExportKind {
    struct Name {
        std::string name;
    };
    struct ReexportName {
        std::string name;
        std::string path;
    };
    struct ReexportAll {
        std::string path;
    };

    std::variant<Name, ReexportName, ReexportAll> value;
};

struct DefineParam {
    std::string name;
    // Always a literal when present.
    std::optional<Expression> default_value;
};

struct Node;

struct ElseIfBranch {
    Condition condition;
    std::vector<Node> body;
    uint64_t offset = 0;
};

struct ElseBranch {
    uint64_t offset = 0;  // of the "@else:" line
    std::vector<Node> body;
};

// One node of a template body. All offsets are byte offsets into the template's source: a
// directive's is that of the "@" starting its line.
struct Node {
    // A text run, a raw code block, or a fence line followed by "\n".
    struct Text {
        std::string text;
        uint64_t offset = 0;
    };
    // Only Variable, Call, QualifiedCall and DotPath expressions; `length` is the byte length of
    // the trimmed text between the braces and `offset` that of the first "{".
    struct Interpolation {
        Expression expression;
        uint64_t offset = 0;
        uint64_t length = 0;
    };
    struct EscapedBrace {
        uint64_t offset = 0;
    };
    struct If {
        Condition condition;
        std::vector<Node> then_body;
        std::vector<ElseIfBranch> elseif_branches;
        std::optional<ElseBranch> else_branch;
        uint64_t offset = 0;
        uint64_t end_offset = 0;
    };
    struct For {
        std::optional<std::string> key_variable;  // the two-variable form only
        std::string item_variable;
        Expression iterable;  // never a literal
        std::vector<Node> body;
        uint64_t offset = 0;
        uint64_t end_offset = 0;
    };
    // Parameter names are distinct and no required parameter follows an optional one.
    struct Define {
        std::string name;
        std::vector<DefineParam> params;
        std::vector<Node> body;
        uint64_t offset = 0;
        uint64_t end_offset = 0;
    };
    struct Import {
        ImportKind kind;
        uint64_t offset = 0;
    };
    struct Export {
        ExportKind kind;
        uint64_t offset = 0;
    };
    struct Include {
        std::string name;  // the import alias to paste
        uint64_t offset = 0;
    };
    struct MessageBlock {
        Expression role;
        std::vector<Node> body;
        uint64_t offset = 0;
    };
    // Stands only in the top-level body.
    struct Block {
        std::string name;
        std::vector<Node> body;
        uint64_t offset = 0;
    };

    std::variant<Text, Interpolation, EscapedBrace, If, For, Define, Import, Export, Include,
                 MessageBlock, Block>
        value;
};

// The tree of one template; it owns everything in it and is never changed after parsing. A
// user function shares its @define body through an aliasing std::shared_ptr to the tree that
// holds it, so bodies are never copied.
struct ParsedTemplate {
    std::vector<Node> body;
    // Carriage returns removed; absent without a frontmatter block, empty for an empty one.
    std::optional<std::string> frontmatter;
    // The path of a leading @extends line, exactly as written between its quotes.
    std::optional<std::string> extends;
    uint64_t extends_offset = 0;
};

// `name` is the template's display name and `source` its text, both used only to locate
// errors; `tokens` must come from tokenize over that same source.
Result<ParsedTemplate> parse_template(const std::vector<Token>& tokens, std::string_view name,
                                      std::string_view source);
// The same for tokens the caller no longer needs, whose texts move into the tree.
Result<ParsedTemplate> parse_template(std::vector<Token>&& tokens, std::string_view name,
                                      std::string_view source);

}  // namespace tyx
