// The syntax tree of one template: its nodes, their operands, and the tree that owns them.
//
// Who owns the texts: every text, name and path a node holds is a std::string_view. It views
// the template's source (ParsedTemplate::source) where it is the source's own bytes, and a text
// of `made_texts`, which the tree owns and whose elements never move, where the parser made it:
// a string literal with its escapes resolved, a fence line given the line feed its source lacks,
// the frontmatter with its carriage returns removed. The source is a SharedText: a module's text
// is shared with the tree, and the entry's is its caller's, alive for the whole call. So whoever
// holds a node, an expression or a parameter of a tree keeps that tree alive as well.
#pragma once

#include <cstdint>
#include <forward_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/shared_text.h"

namespace tyx {

// Holds a large, rarely used alternative of a tree variant out of line, so that the common
// small ones stay small.
// It behaves as the value it holds: copying copies the value.
template <class T>
class Boxed {
  public:
    Boxed(T value) : value_(std::make_unique<T>(std::move(value))) {}  // NOLINT: implicit
    Boxed(const Boxed& other) : value_(std::make_unique<T>(*other)) {}
    Boxed(Boxed&&) noexcept = default;
    Boxed& operator=(const Boxed& other) {
        if (this != &other) value_ = std::make_unique<T>(*other);
        return *this;
    }
    Boxed& operator=(Boxed&&) noexcept = default;
    ~Boxed() = default;

    const T& operator*() const { return *value_; }
    T& operator*() { return *value_; }
    const T* operator->() const { return value_.get(); }
    T* operator->() { return value_.get(); }

  private:
    std::unique_ptr<T> value_;
};

namespace detail {

template <class T>
const T& unbox(const T& value) {
    return value;
}
template <class T>
const T& unbox(const Boxed<T>& value) {
    return *value;
}

// The alternative of a variant that holds a T: T itself, or else Boxed<T>.
template <class T, class Variant>
struct StoredIn;
template <class T, class... Alternatives>
struct StoredIn<T, std::variant<Alternatives...>> {
    using type = std::conditional_t<(std::is_same_v<T, Alternatives> || ...), T, Boxed<T>>;
};

}  // namespace detail

// The variant's T, seen through its box if it has one, or null when it holds another
// alternative.
template <class T, class... Alternatives>
const T* unboxed_if(const std::variant<Alternatives...>& value) {
    using Stored = typename detail::StoredIn<T, std::variant<Alternatives...>>::type;
    const auto* stored = std::get_if<Stored>(&value);
    if (stored == nullptr) return nullptr;
    return &detail::unbox(*stored);
}

template <class T, class... Alternatives>
bool unboxed_is(const std::variant<Alternatives...>& value) {
    using Stored = typename detail::StoredIn<T, std::variant<Alternatives...>>::type;
    return std::holds_alternative<Stored>(value);
}

// The variant's T; it must hold one.
template <class T, class... Alternatives>
const T& unboxed_get(const std::variant<Alternatives...>& value) {
    using Stored = typename detail::StoredIn<T, std::variant<Alternatives...>>::type;
    return detail::unbox(std::get<Stored>(value));
}

// std::visit with boxed alternatives handed over as the value they hold.
template <class Visitor, class... Alternatives>
decltype(auto) visit_unboxed(Visitor&& visitor, const std::variant<Alternatives...>& value) {
    return std::visit(
        [&](const auto& alternative) -> decltype(auto) {
            return std::forward<Visitor>(visitor)(detail::unbox(alternative));
        },
        value);
}

// An operand of a directive, an interpolation, a loop iterable, a message role, a parameter
// default or a call's argument. String, Number, Bool and Null are the literal kinds. A call's
// argument is never a qualified call.
struct Expression {
    struct Variable {
        std::string_view name;
    };
    struct Call {
        std::string_view name;
        std::vector<Expression> args;
    };
    struct QualifiedCall {
        std::string_view namespace_name;  // an import alias
        std::string_view name;
        std::vector<Expression> args;
    };
    // Between 2 and 32 names in all, root included.
    struct DotPath {
        std::string_view root;
        std::vector<std::string_view> fields;
    };
    struct String {
        std::string_view value;  // escapes already resolved
    };
    struct Number {
        double value = 0;  // always finite
    };
    struct Bool {
        bool value = false;
    };
    struct Null {};

    // Read the boxed kinds through unboxed_if, unboxed_get and visit_unboxed.
    std::variant<Variable, Boxed<Call>, Boxed<QualifiedCall>, Boxed<DotPath>, String, Number, Bool,
                 Null>
        value;

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
        std::string_view path;
        std::string_view alias;
    };
    struct Whole {
        std::string_view path;
    };
    // The name list may be empty; name_offsets[i] is the byte offset of names[i] in the source.
    struct Selective {
        std::vector<std::string_view> names;
        std::vector<uint64_t> name_offsets;
        std::string_view path;
    };

    std::variant<Alias, Whole, Selective> value;
};

// The form of an @export line.
struct ExportKind {
    struct Name {
        std::string_view name;
    };
    struct ReexportName {
        std::string_view name;
        std::string_view path;
    };
    struct ReexportAll {
        std::string_view path;
    };

    std::variant<Name, ReexportName, ReexportAll> value;
};

struct DefineParam {
    std::string_view name;
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
        std::string_view text;
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
        std::optional<std::string_view> key_variable;  // the two-variable form only
        std::string_view item_variable;
        Expression iterable;  // never a literal
        std::vector<Node> body;
        uint64_t offset = 0;
        uint64_t end_offset = 0;
    };
    // Parameter names are distinct and no required parameter follows an optional one.
    struct Define {
        std::string_view name;
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
        std::string_view name;  // the import alias to paste
        uint64_t offset = 0;
    };
    struct MessageBlock {
        Expression role;
        std::vector<Node> body;
        uint64_t offset = 0;
    };
    // Stands only in the top-level body.
    struct Block {
        std::string_view name;
        std::vector<Node> body;
        uint64_t offset = 0;
    };

    // Built from the alternative it holds, in place: a list of nodes emplaces a node without
    // moving it.
    template <class Alternative>
    requires(!std::is_same_v<std::remove_cvref_t<Alternative>, Node>)
        Node(Alternative&& alternative)  // NOLINT: implicit, as the variant is
        : value(std::forward<Alternative>(alternative)) {}

    // Read it through visit_node, node_if and node_get, which see through the boxes.
    std::variant<Text, Interpolation, EscapedBrace, Boxed<If>, Boxed<For>, Boxed<Define>,
                 Boxed<Import>, Boxed<Export>, Include, Boxed<MessageBlock>, Boxed<Block>>
        value;
};

// The node's T, or null when it holds another alternative.
template <class T>
const T* node_if(const Node& node) {
    return unboxed_if<T>(node.value);
}

template <class T>
bool node_is(const Node& node) {
    return unboxed_is<T>(node.value);
}

// The node's T; it must hold one.
template <class T>
const T& node_get(const Node& node) {
    return unboxed_get<T>(node.value);
}

// std::visit over a node's alternative, with boxed ones handed over as the value they hold.
template <class Visitor>
decltype(auto) visit_node(Visitor&& visitor, const Node& node) {
    return visit_unboxed(std::forward<Visitor>(visitor), node.value);
}

// The texts a parse made rather than found in the source. A list, so that its elements never
// move and moving it allocates nothing.
using MadeTexts = std::forward_list<std::string>;

// The tree of one template; it owns everything in it, the texts it made included, shares its
// source, and is never changed after parsing. Its nodes view those texts, so it is moved but
// never copied. A user function shares its @define body through an aliasing std::shared_ptr to
// the tree that holds it, so bodies are never copied.
struct ParsedTemplate {
    ParsedTemplate() = default;
    ParsedTemplate(ParsedTemplate&&) = default;
    ParsedTemplate& operator=(ParsedTemplate&&) = default;
    ParsedTemplate(const ParsedTemplate&) = delete;
    ParsedTemplate& operator=(const ParsedTemplate&) = delete;
    ~ParsedTemplate() = default;

    std::vector<Node> body;
    // Carriage returns removed; absent without a frontmatter block, empty for an empty one.
    std::optional<std::string_view> frontmatter;
    // The path of a leading @extends line, exactly as written between its quotes.
    std::optional<std::string_view> extends;
    uint64_t extends_offset = 0;
    // Some @message block stands somewhere in the tree, @define bodies included.
    bool has_message_blocks = false;
    SharedText source;
    MadeTexts made_texts;
};

}  // namespace tyx
