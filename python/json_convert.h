// Conversions between Python objects and JSON values, the compact JSON text and JSON equality.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/owned_json.h"
#include "core/value.h"

namespace tyx::py {

// How deep python_to_json follows nested containers; it keeps a container that holds itself
// from exhausting the stack, and lies well above MAX_VALUE_DEPTH so that too deep `vars` are
// still refused by value_from_json with its own error.
inline constexpr int MAX_PYTHON_JSON_DEPTH = 256;

// A Python value read into flat storage, its entries in depth-first order and its texts copied
// beside them. It holds no Python object, so its JSON value can be built and it can be destroyed
// with the interpreter lock released.
class PythonSnapshot {
  public:
    // The JSON value, as python_to_json gives it; null for an empty snapshot. Taken from an
    // rvalue, the long texts move into it instead of being copied again.
    OwnedJson to_json() const&;
    OwnedJson to_json() &&;
    // The JSON value with every array and object below its own elements written empty: what a
    // mapping of texts, whose other members are refused by their kind alone, is checked by.
    OwnedJson to_shallow_json() const;
    // The members of an object snapshot as core Values by key; of equal keys, at every level, the
    // later value is kept, as in the JSON value. Depth is not checked here: whoever takes the
    // snapshot refuses one whose members nest too deep.
    std::map<std::string, Value, std::less<>> member_map() &&;
    bool is_object() const { return count_ != 0 && entry(0).kind == Kind::Object; }
    // "null", "boolean", "number", "string", "array" or "object", as json_kind_name names the
    // JSON value.
    const char* kind_name() const;
    // Whether a member of an object snapshot, of equal keys the later one, nests deeper than
    // MAX_VALUE_DEPTH, the member being at 0.
    bool member_exceeds_value_depth() const;
    // The deepest nesting any value was read at, the snapshot's own value being at 0.
    int deepest() const { return deepest_; }

  private:
    friend class SnapshotWriter;

    enum class Kind : uint8_t {
        Null,
        False,
        True,
        Negative,
        Unsigned,
        Double,
        String,
        // A text of at least kTextBlockSize bytes, kept whole in long_texts_ so that it can be
        // moved on rather than copied a second time.
        LongString,
        Array,
        Object,
        // A list, tuple or dict read before, standing for its entries: `bits` is the index of
        // the array or object it was read as, `size` the depth its values reach below it.
        Repeat
    };
    struct Entry {
        Kind kind;
        // An array or object that a Repeat stands for too: it is built once and shared.
        bool repeated = false;
        // Elements of an array, members of an object, bytes of a text.
        size_t size = 0;
        // The number's bits, the address of a text's first byte, or a long text's index.
        uint64_t bits = 0;
    };

    // Storage comes in blocks below glibc's large-request size: a large request first merges
    // all the small chunks freed since, which made that merge, paid under the lock, the
    // larger part of reading a small mapping.
    static constexpr size_t kEntriesPerBlock = 40;
    static constexpr size_t kTextBlockSize = 960;
    // Zeroed bytes past the end of every text block, so that the first eight bytes of any text
    // in it can be read at once.
    static constexpr size_t kTextBlockSlack = 8;

    const Entry& entry(size_t index) const {
        return entry_blocks_[index / kEntriesPerBlock][index % kEntriesPerBlock];
    }
    Entry& entry(size_t index) {
        return entry_blocks_[index / kEntriesPerBlock][index % kEntriesPerBlock];
    }
    // The fields are passed apart: an Entry passed whole went through the stack in two halves
    // that the processor could not forward to the one load reading it back.
    size_t append(Kind kind, size_t size, uint64_t bits) {
        if (entry_room_ == 0) add_entry_block();
        Entry& added = *entry_cursor_++;
        --entry_room_;
        added.kind = kind;
        added.size = size;
        added.bits = bits;
        return count_++;
    }
    void add_entry_block();
    void append_text(const char* data, size_t size) {
        // Nearly every text fits the current block; a text as long as the room left takes the
        // slow way, so a text of kTextBlockSize bytes or more never lands in a block.
        if (size >= text_room_) return append_text_elsewhere(data, size);
        std::memcpy(text_cursor_, data, size);
        append(Kind::String, size,
               static_cast<uint64_t>(reinterpret_cast<uintptr_t>(text_cursor_)));
        text_cursor_ += size;
        text_room_ -= size;
    }
    void append_text_elsewhere(const char* data, size_t size);

    // `Self` is `const PythonSnapshot`, which copies its texts, or `PythonSnapshot`, which gives
    // its long texts up.
    template <class Self>
    static std::string text_of(Self& self, const Entry& text);
    // Writes the entry at `index` into `out`, which holds no array or object.
    // A container `levels` below the entry is written empty.
    static constexpr int kAllLevels = MAX_PYTHON_JSON_DEPTH + 1;
    template <class Self>
    static void write_entry(Self& self, size_t& index, nlohmann::json& out, int levels);
    static Value entry_to_value(PythonSnapshot& self, size_t& index);
    static Value container_to_value(PythonSnapshot& self, const Entry& container, size_t& index);
    // The value of the repeated container at `container`, built on its first use.
    static Value repeated_value(PythonSnapshot& self, size_t container);
    // The Value of the entry at `index`, built where it is used: a container's emplace builds
    // its element from the conversion itself, so no Value is moved on the way.
    struct ValueAt {
        PythonSnapshot& self;
        size_t& index;
        operator Value() const { return entry_to_value(self, index); }
    };
    // Objects this small are built in key order from their members' places, read first,
    // instead of being sorted once built.
    static constexpr size_t kSortedMembersLimit = 16;
    static Value sorted_object(PythonSnapshot& self, const Entry& object, size_t& index);
    static std::string_view text_view(const PythonSnapshot& self, const Entry& text);
    // The members of the object `object`, whose first key is at `index`, in the order read.
    static ValueObject object_entries(PythonSnapshot& self, const Entry& object, size_t& index);

    std::vector<std::unique_ptr<Entry[]>> entry_blocks_;
    size_t count_ = 0;
    Entry* entry_cursor_ = nullptr;
    size_t entry_room_ = 0;
    std::vector<std::unique_ptr<char[]>> text_blocks_;
    char* text_cursor_ = nullptr;
    size_t text_room_ = 0;
    std::vector<std::string> long_texts_;
    int deepest_ = 0;
    // Whether an entry is a Repeat: its texts are then read more than once and never moved.
    bool has_repeats_ = false;
    // The values of repeated containers built so far, by index.
    std::unordered_map<size_t, Value> repeated_values_;
};

// Why a Python value could not be read.
struct ReadFailure {
    std::string description;
    // An exception that goes through (see exception_goes_through) stopped the reading and is
    // still raised: the caller passes it on instead of describing it.
    bool still_raised = false;
};

// A Python value read as python_to_json reads it, or why it could not be.
struct SnapshotFromPython {
    PythonSnapshot value;
    std::optional<ReadFailure> failure;
};

SnapshotFromPython snapshot_python(PyObject* object);

// A JSON value converted from Python, or why it could not be.
struct JsonFromPython {
    OwnedJson value;
    std::optional<ReadFailure> failure;
};

JsonFromPython python_to_json(PyObject* object);
// The same with every container below the value's own elements empty (see to_shallow_json).
JsonFromPython python_to_shallow_json(PyObject* object);

// A new Python object mirroring the value (new objects on every call); nullptr with TyxError
// "tyx::internal" "failed to serialize result: {}" set when building an object failed, or with
// MemoryError when memory ran out.
PyObject* canonical_to_python(const nlohmann::json& value);
// An object converted as canonical_to_python does, with `extra_key` set to None inserted at its
// place in key order when the object lacks it; the value itself is not copied.
PyObject* canonical_object_to_python_with_null(const nlohmann::json& object,
                                               std::string_view extra_key);

// Compact text: no whitespace, members in key order, only '"', '\\' and characters below U+0020
// escaped; non-ASCII stays UTF-8. nullptr with TyxError "tyx::internal" set when a text of the
// value is not valid UTF-8.
PyObject* compact_json_text(const nlohmann::json& value);
// The same as a std::string; false when a text of the value is not valid UTF-8.
bool write_compact_json(const nlohmann::json& value, std::string& out);

// Equality that keeps 1, 1.0 and true apart: numbers are equal only in the same form (unsigned,
// negative integer, double), a NaN equals nothing, objects compare member by member in key order.
bool json_equal(const nlohmann::json& a, const nlohmann::json& b);

// "null", "boolean", "number", "string", "array" or "object".
const char* json_kind_name(const nlohmann::json& value);

// The member as a non-negative integer, when it holds one.
std::optional<uint64_t> json_unsigned(const nlohmann::json& value);
// The member `key` of an object, or nullptr (also when `object` is not an object).
const nlohmann::json* json_member(const nlohmann::json& object, std::string_view key);
// The string elements of the array member `key`, in order; others are skipped.
std::vector<std::string> read_string_list_field(const nlohmann::json& object, std::string_view key);
// Replaces the string member `key` by its escape_for_display form when escaping changes it.
void sanitize_string_field(nlohmann::json& object, std::string_view key);

// A new list of str; nullptr with the error set.
PyObject* string_list_to_python(const std::vector<std::string>& texts);
// A new str from UTF-8 text; nullptr with the error set.
PyObject* text_to_python(std::string_view text);

}  // namespace tyx::py
