#include "python/json_convert.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "core/display.h"
#include "python/describe.h"
#include "python/errors.h"
#include "python/native_stack.h"
#include "python/pyref.h"

namespace tyx::py {

using Json = nlohmann::json;

// A stack of object pointers whose first entries need no allocation: a small mapping is read
// through without one.
class HeldObjects {
  public:
    HeldObjects() = default;
    HeldObjects(const HeldObjects&) = delete;
    HeldObjects& operator=(const HeldObjects&) = delete;

    size_t size() const { return size_; }
    PyObject* operator[](size_t index) const { return data_[index]; }
    PyObject* const* begin() const { return data_; }
    PyObject* const* end() const { return data_ + size_; }

    void push(PyObject* object) {
        if (size_ == capacity_) grow(size_ + 1);
        data_[size_++] = object;
    }
    void reserve(size_t count) {
        if (count > capacity_) grow(count);
    }
    void shrink_to(size_t count) { size_ = count; }

  private:
    static constexpr size_t kInlineCount = 64;

    void grow(size_t count) {
        size_t capacity = std::max(count, 2 * capacity_);
        std::unique_ptr<PyObject*[]> larger(new PyObject*[capacity]);
        std::copy(data_, data_ + size_, larger.get());
        spilled_ = std::move(larger);
        data_ = spilled_.get();
        capacity_ = capacity;
    }

    PyObject* inline_[kInlineCount];
    std::unique_ptr<PyObject*[]> spilled_;
    PyObject** data_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = kInlineCount;
};

// Reads Python objects into a snapshot; a step that fails returns false and leaves the
// description of the failure.
class SnapshotWriter {
  public:
    explicit SnapshotWriter(PythonSnapshot& out) : out_(out) {}
    SnapshotWriter(const SnapshotWriter&) = delete;
    SnapshotWriter& operator=(const SnapshotWriter&) = delete;
    ~SnapshotWriter() { release_to(0); }

    ReadFailure take_failure() { return std::move(failure_); }

    // Inlined where elements and members are read: the exact scalar types, which make up nearly
    // every value, are read by a comparison each and without a call.
    [[gnu::always_inline]] bool convert(PyObject* object, int depth) {
        if (depth > MAX_PYTHON_JSON_DEPTH) return fail_too_deep();
        if (object == Py_None) return add(Kind::Null);
        PyTypeObject* type = Py_TYPE(object);
        if (type == &PyUnicode_Type) return convert_text(object);
        if (type == &PyFloat_Type) return convert_float(object);
        if (type == &PyBool_Type) return add(object == Py_True ? Kind::True : Kind::False);
        if (type == &PyLong_Type) return convert_int(object);
        return convert_other(object, type, depth);
    }

  private:
    using Kind = PythonSnapshot::Kind;
    using Entry = PythonSnapshot::Entry;

    [[gnu::noinline]] bool fail_too_deep() {
        return fail("nesting exceeds maximum depth of " + std::to_string(MAX_PYTHON_JSON_DEPTH));
    }

    // Every container is read through here, so this is where each level checks the stack.
    [[gnu::noinline]] bool convert_other(PyObject* object, PyTypeObject* type, int depth) {
        if (!stack_room_.left()) return fail_stack_exhausted();
        if (type == &PyDict_Type)
            return convert_shareable(object, depth, &SnapshotWriter::convert_dict);
        if (type == &PyList_Type || type == &PyTuple_Type) {
            return convert_shareable(object, depth, &SnapshotWriter::convert_indexed);
        }
        // Reading anything else may run Python code, which could free what is borrowed.
        own_held();
        if (PyLong_Check(object)) return convert_int(object);
        if (PyList_Check(object) || PyTuple_Check(object)) {
            return convert_shareable(object, depth, &SnapshotWriter::convert_indexed);
        }
        if (PyDict_Check(object))
            return convert_shareable(object, depth, &SnapshotWriter::convert_dict);
        if (PyUnicode_Check(object)) return convert_text(object);
        if (PyBytes_Check(object) || PyByteArray_Check(object)) {
            return fail("invalid type: byte array, expected any valid JSON value");
        }
        if (PyFloat_Check(object)) return convert_float(object);
        // A set or frozenset of its own type is iterated without running code; a subclass may
        // iterate as it likes.
        if (type == &PySet_Type || type == &PyFrozenSet_Type) {
            return convert_shareable(object, depth, &SnapshotWriter::convert_iterable);
        }
        if (PyAnySet_Check(object)) {
            CodeRuns running(*this);
            return convert_iterable(object, depth);
        }
        return convert_by_protocol(object, depth);
    }

    // Python code may run while it lives, and when the references taken meanwhile are dropped:
    // what was read before it or during its life may have changed by its end.
    class CodeRuns {
      public:
        explicit CodeRuns(SnapshotWriter& writer) : writer_(writer) { writer_.code_may_run(); }
        ~CodeRuns() { writer_.code_may_run(); }
        CodeRuns(const CodeRuns&) = delete;
        CodeRuns& operator=(const CodeRuns&) = delete;

      private:
        SnapshotWriter& writer_;
    };

    // Containers read before the last step that may have run Python code are read again.
    void code_may_run() { ++generation_; }

    // A list, tuple, dict or set referenced from more than one place is read once; a later
    // reference, while no Python code has run since, repeats the entries read, so that values
    // shared by reference cost what they hold rather than what they expand to. The value read
    // is the same, and so is the failure: a value read whole fails again only by its depth,
    // which is the same error wherever past the limit it is met. The snapshot's own value is
    // never met again but through itself, which is too deep.
    [[gnu::always_inline]] bool convert_shareable(PyObject* object, int depth,
                                                  bool (SnapshotWriter::*read)(PyObject*, int)) {
        // Referenced from one place alone, by the container being read: met once.
        if (depth == 0 || Py_REFCNT(object) <= 1) return (this->*read)(object, depth);
        return convert_shared(object, depth, read);
    }

    [[gnu::noinline]] bool convert_shared(PyObject* object, int depth,
                                          bool (SnapshotWriter::*read)(PyObject*, int)) {
        auto found = read_whole_.find(object);
        if (found != read_whole_.end() && found->second.generation == generation_) {
            const ReadWhole& before = found->second;
            if (depth + before.height > MAX_PYTHON_JSON_DEPTH) return fail_too_deep();
            out_.entry(before.index).repeated = true;
            out_.has_repeats_ = true;
            out_.deepest_ = std::max(out_.deepest_, depth + before.height);
            return add(Kind::Repeat, static_cast<size_t>(before.height), before.index);
        }
        // The depth reached below this value alone, then again of everything read.
        const int outer_deepest = out_.deepest_;
        out_.deepest_ = depth;
        const uint64_t generation = generation_;
        const size_t index = out_.count_;
        if (!(this->*read)(object, depth)) return false;
        const int reached = out_.deepest_;
        out_.deepest_ = std::max(outer_deepest, reached);
        if (generation_ == generation) {
            read_whole_.insert_or_assign(object, ReadWhole{index, reached - depth, generation});
        }
        return true;
    }

    // Adds `object` to the objects read through, with a reference of its own once owning.
    void hold(PyObject* object) {
        if (owning_) Py_INCREF(object);
        held_.push(object);
    }
    void release_to(size_t base) {
        if (owning_) {
            for (size_t i = base; i < held_.size(); ++i) {
                // Freeing an object may run its finalizer.
                if (Py_REFCNT(held_[i]) == 1) code_may_run();
                drop_reference(held_[i]);
            }
        }
        held_.shrink_to(base);
    }
    void own_held() {
        if (owning_) return;
        for (PyObject* object : held_)
            Py_INCREF(object);
        owning_ = true;
    }

    [[gnu::noinline]] bool fail_stack_exhausted() {
        raise_stack_exhausted();
        failure_.still_raised = true;
        return false;
    }

    bool fail(std::string description) {
        failure_.description = std::move(description);
        return false;
    }

    // The failure of a step that ran Python code, with its exception raised.
    bool fail_from_python() {
        std::optional<std::string> description = take_exception_description();
        if (!description) {
            failure_.still_raised = true;
            return false;
        }
        return fail(std::move(*description));
    }

    bool add(Kind kind, size_t size = 0, uint64_t bits = 0) {
        out_.append(kind, size, bits);
        return true;
    }

    // Opens an array or object at `depth` whose size is known only once its elements are read.
    size_t open(Kind kind, int depth) {
        out_.deepest_ = std::max(out_.deepest_, depth);
        return out_.append(kind, 0, 0);
    }
    // A container's bits hold the index just past its last entry, so that a reader can step
    // over it without walking its elements. Its elements lie one level below it.
    bool close(size_t container, size_t size, int depth) {
        Entry& closed = out_.entry(container);
        closed.size = size;
        closed.bits = out_.count_;
        if (size != 0) out_.deepest_ = std::max(out_.deepest_, depth + 1);
        return true;
    }

    bool add_text(const char* data, Py_ssize_t size) {
        out_.append_text(data, static_cast<size_t>(size));
        return true;
    }

    bool convert_text(PyObject* object) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(object, &size);
        if (data == nullptr) return fail_from_python();
        return add_text(data, size);
    }

    bool convert_float(PyObject* object) {
        double number = PyFloat_AsDouble(object);
        if (number == -1.0 && PyErr_Occurred()) return fail_from_python();
        // JSON has no NaN or infinity; they read as null, as the other bindings write them.
        if (!std::isfinite(number)) return add(Kind::Null);
        return add(Kind::Double, 0, std::bit_cast<uint64_t>(number));
    }

    bool convert_int(PyObject* object) {
        int overflow = 0;
        long long number = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (number == -1 && PyErr_Occurred()) return fail_from_python();
        if (overflow == 0) {
            if (number < 0) return add(Kind::Negative, 0, static_cast<uint64_t>(number));
            return add(Kind::Unsigned, 0, static_cast<uint64_t>(number));
        }
        if (overflow > 0) {
            unsigned long long large = PyLong_AsUnsignedLongLong(object);
            if (!(large == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
                return add(Kind::Unsigned, 0, static_cast<uint64_t>(large));
            }
            PyErr_Clear();
        }
        return fail("JSON number out of range");
    }

    // A list or a tuple, subclasses included, is read by the items it holds, as json.dumps reads
    // it: a subclass's __len__ or __getitem__ may say anything. Another Sequence is read by index.
    // The length is read again at every step because converting an element may run code that
    // changes the container.
    bool convert_indexed(PyObject* object, int depth) {
        bool list = PyList_Check(object);
        bool held_items = list || PyTuple_Check(object);
        size_t array = open(Kind::Array, depth);
        Py_ssize_t i = 0;
        for (;; ++i) {
            if (!held_items) code_may_run();
            Py_ssize_t size = !held_items ? PySequence_Size(object)
                              : list      ? PyList_Size(object)
                                          : PyTuple_Size(object);
            if (size < 0) return fail_from_python();
            if (i >= size) break;
            if (held_items) {
                // Read without a reference while no Python code has run (see held_).
                size_t base = held_.size();
                hold(list ? PyList_GetItem(object, i) : PyTuple_GetItem(object, i));
                if (!convert(held_[base], depth + 1)) return false;
                release_to(base);
            } else {
                code_may_run();
                PyRef item(PySequence_GetItem(object, i));
                if (!item) return fail_from_python();
                if (!convert(item.get(), depth + 1)) return false;
            }
        }
        return close(array, static_cast<size_t>(i), depth);
    }

    // Only a set or frozenset of its own type is iterated without running code.
    bool convert_iterable(PyObject* object, int depth) {
        const bool iterates_by_code =
            Py_TYPE(object) != &PySet_Type && Py_TYPE(object) != &PyFrozenSet_Type;
        PyRef iterator(PyObject_GetIter(object));
        if (!iterator) return fail_from_python();
        size_t array = open(Kind::Array, depth);
        size_t count = 0;
        while (PyRef item{PyIter_Next(iterator.get())}) {
            if (!convert(item.get(), depth + 1)) return false;
            ++count;
            if (iterates_by_code) code_may_run();
        }
        if (PyErr_Occurred()) return fail_from_python();
        return close(array, count, depth);
    }

    // One (key, value) pair of a mapping; the key must be a str.
    [[gnu::always_inline]] bool convert_member(PyObject* key, PyObject* value, int depth) {
        // The exact type first: the subclass test is a call under the limited API.
        if (Py_TYPE(key) != &PyUnicode_Type && !PyUnicode_Check(key)) {
            return fail("unexpected type: '" + escape_for_display(type_qualname(key)) +
                        "' object is not an instance of 'str'");
        }
        if (!convert_text(key)) return false;
        return convert(value, depth + 1);
    }

    // The pairs are all taken before any value is converted: that may run code that changes
    // the dict, and the dict is read as it was, as its items() list.
    bool convert_dict(PyObject* dict, int depth) {
        size_t base = held_.size();
        held_.reserve(base + 2 * static_cast<size_t>(PyDict_Size(dict)));
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(dict, &position, &key, &value)) {
            hold(key);
            hold(value);
        }
        size_t end = held_.size();
        size_t object = open(Kind::Object, depth);
        for (size_t i = base; i < end; i += 2) {
            // Nested containers push and pop above `end`, so these two stay where they are.
            if (!convert_member(held_[i], held_[i + 1], depth)) return false;
        }
        release_to(base);
        return close(object, (end - base) / 2, depth);
    }

    // `items` is a list of (key, value) pairs taken from the mapping in its own order.
    bool convert_items(PyRef items, int depth) {
        CodeRuns running(*this);
        if (!items) return fail_from_python();
        PyRef sequence(PySequence_Fast(items.get(), "mapping items are not a sequence"));
        if (!sequence) return fail_from_python();
        size_t object = open(Kind::Object, depth);
        Py_ssize_t size = PySequence_Size(sequence.get());
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyRef pair(PySequence_GetItem(sequence.get(), i));
            if (!pair) return fail_from_python();
            code_may_run();
            PyRef key(PySequence_GetItem(pair.get(), 0));
            PyRef value(key ? PySequence_GetItem(pair.get(), 1) : nullptr);
            if (!value) return fail_from_python();
            if (!convert_member(key.get(), value.get(), depth)) return false;
        }
        return close(object, size < 0 ? 0 : static_cast<size_t>(size), depth);
    }

    bool convert_by_protocol(PyObject* object, int depth) {
        CodeRuns running(*this);
        PyRef abc(PyImport_ImportModule("collections.abc"));
        if (!abc) return fail_from_python();
        for (const char* name : {"Sequence", "Mapping"}) {
            PyRef protocol(PyObject_GetAttrString(abc.get(), name));
            if (!protocol) return fail_from_python();
            int matches = PyObject_IsInstance(object, protocol.get());
            if (matches < 0) return fail_from_python();
            if (matches == 0) continue;
            if (name[0] == 'S') return convert_indexed(object, depth);
            return convert_items(PyRef(PyMapping_Items(object)), depth);
        }
        return fail("unsupported type " + escape_for_display(type_qualname(object)));
    }

    PythonSnapshot& out_;
    ReadFailure failure_;
    CallerStackRoom stack_room_{LEVEL_STACK_RESERVE};
    // What is being read through, innermost last: the (key, value) pairs of each dict and the
    // element of each list or tuple. While only exact built-in types have been met, reading
    // runs no Python code, so nothing can free these and they stay borrowed: a reference taken
    // and dropped on every shared element moved its cache line between the threads that read
    // it. Before the first step that could run code, each gets a reference of its own.
    HeldObjects held_;
    bool owning_ = false;
    // A container read whole: the index of its entry and the depth its values reach below it.
    struct ReadWhole {
        size_t index;
        int height;
        uint64_t generation;
    };
    // Containers referenced from more than one place, by identity; an entry counts while
    // `generation_` is the one it was read in. They are all alive while no code runs.
    std::unordered_map<PyObject*, ReadWhole> read_whole_;
    uint64_t generation_ = 0;
};

namespace {

// Builds one Python object; nullptr with the Python error of the failed step set.
PyRef to_python(const Json& value, const CallerStackRoom& stack_room) {
    if (value.is_structured() && !stack_room.left()) {
        raise_stack_exhausted();
        return PyRef();
    }
    switch (value.type()) {
        case Json::value_t::null:
            return PyRef::borrow(Py_None);
        case Json::value_t::boolean:
            return PyRef(PyBool_FromLong(value.get<bool>() ? 1 : 0));
        case Json::value_t::number_integer:
            return PyRef(PyLong_FromLongLong(value.get<int64_t>()));
        case Json::value_t::number_unsigned:
            return PyRef(PyLong_FromUnsignedLongLong(value.get<uint64_t>()));
        case Json::value_t::number_float:
            return PyRef(PyFloat_FromDouble(value.get<double>()));
        case Json::value_t::string:
            return PyRef(text_to_python(value.get_ref<const std::string&>()));
        case Json::value_t::array: {
            PyRef list(PyList_New(static_cast<Py_ssize_t>(value.size())));
            if (!list) return list;
            Py_ssize_t index = 0;
            for (const Json& element : value) {
                PyRef item = to_python(element, stack_room);
                if (!item) return item;
                PyList_SetItem(list.get(), index++, item.release());
            }
            return list;
        }
        case Json::value_t::object: {
            PyRef dict(PyDict_New());
            if (!dict) return dict;
            for (const auto& [key, member] : value.items()) {
                PyRef name(text_to_python(key));
                PyRef item = name ? to_python(member, stack_room) : PyRef();
                if (!item || PyDict_SetItem(dict.get(), name.get(), item.get()) < 0) {
                    return PyRef();
                }
            }
            return dict;
        }
        case Json::value_t::binary:
        case Json::value_t::discarded:
            break;
    }
    PyErr_SetString(PyExc_ValueError, "value has no JSON form");
    return PyRef();
}

PyObject* raise_serialize_failure() {
    // A thread's stack too small for a deep value fails as Python's own deep conversions do.
    if (exception_goes_through() || PyErr_ExceptionMatches(PyExc_RecursionError)) return nullptr;
    raise_tyx_error(
        new_tyx_error("tyx::internal", "failed to serialize result: " + take_error_description()));
    return nullptr;
}

enum class NumberForm { Unsigned, Negative, Double, None };

NumberForm number_form(const Json& value) {
    switch (value.type()) {
        case Json::value_t::number_unsigned:
            return NumberForm::Unsigned;
        case Json::value_t::number_integer:
            return value.get<int64_t>() < 0 ? NumberForm::Negative : NumberForm::Unsigned;
        case Json::value_t::number_float:
            return NumberForm::Double;
        default:
            return NumberForm::None;
    }
}

}  // namespace

void PythonSnapshot::add_entry_block() {
    // A small mapping fills a few blocks; room for their pointers is made once.
    if (entry_blocks_.empty()) entry_blocks_.reserve(8);
    entry_blocks_.push_back(std::unique_ptr<Entry[]>(new Entry[kEntriesPerBlock]));
    entry_cursor_ = entry_blocks_.back().get();
    entry_room_ = kEntriesPerBlock;
}

void PythonSnapshot::append_text_elsewhere(const char* data, size_t size) {
    if (size >= kTextBlockSize) {
        append(Kind::LongString, size, long_texts_.size());
        long_texts_.emplace_back(data, size);
        return;
    }
    if (size > text_room_) {
        text_blocks_.push_back(
            std::unique_ptr<char[]>(new char[kTextBlockSize + kTextBlockSlack]()));
        text_cursor_ = text_blocks_.back().get();
        text_room_ = kTextBlockSize;
    }
    if (size != 0) std::memcpy(text_cursor_, data, size);
    append(Kind::String, size, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(text_cursor_)));
    text_cursor_ += size;
    text_room_ -= size;
}

template <class Self>
std::string PythonSnapshot::text_of(Self& self, const Entry& text) {
    if (text.kind == Kind::LongString) {
        if constexpr (std::is_const_v<Self>) {
            return self.long_texts_[text.bits];
        } else {
            return std::move(self.long_texts_[text.bits]);
        }
    }
    return std::string(reinterpret_cast<const char*>(static_cast<uintptr_t>(text.bits)), text.size);
}

OwnedJson PythonSnapshot::to_json() const& {
    OwnedJson value;
    size_t index = 0;
    if (count_ != 0) write_entry(*this, index, *value, kAllLevels);
    return value;
}

OwnedJson PythonSnapshot::to_shallow_json() const {
    OwnedJson value;
    size_t index = 0;
    if (count_ != 0) write_entry(*this, index, *value, 1);
    return value;
}

OwnedJson PythonSnapshot::to_json() && {
    // A repeated text is read again after its first use, so it is not given up.
    if (has_repeats_) return std::as_const(*this).to_json();
    OwnedJson value;
    size_t index = 0;
    if (count_ != 0) write_entry(*this, index, *value, kAllLevels);
    return value;
}

template <class Self>
void PythonSnapshot::write_entry(Self& self, size_t& index, Json& out, int levels) {
    const Entry& entry = self.entry(index++);
    if (levels == 0) {
        const Kind kind = entry.kind == Kind::Repeat ? self.entry(entry.bits).kind : entry.kind;
        if (kind == Kind::Array || kind == Kind::Object) {
            out = kind == Kind::Array ? Json::array() : Json::object();
            if (entry.kind != Kind::Repeat) index = entry.bits;
            return;
        }
    }
    switch (entry.kind) {
        case Kind::Null:
            out = nullptr;
            return;
        case Kind::False:
            out = false;
            return;
        case Kind::True:
            out = true;
            return;
        case Kind::Negative:
            out = static_cast<int64_t>(entry.bits);
            return;
        case Kind::Unsigned:
            out = entry.bits;
            return;
        case Kind::Double:
            out = std::bit_cast<double>(entry.bits);
            return;
        case Kind::String:
        case Kind::LongString:
            out = text_of(self, entry);
            return;
        case Kind::Array: {
            out = Json::array();
            auto& array = out.get_ref<Json::array_t&>();
            array.reserve(entry.size);
            for (size_t i = 0; i < entry.size; ++i)
                write_entry(self, index, array.emplace_back(), levels - 1);
            return;
        }
        case Kind::Object: {
            out = Json::object();
            auto& object = out.get_ref<Json::object_t&>();
            for (size_t i = 0; i < entry.size; ++i) {
                std::string key = text_of(self, self.entry(index++));
                // Two keys with the same text keep the later value.
                Json& member = object[std::move(key)];
                release_json(member);
                write_entry(self, index, member, levels - 1);
            }
            return;
        }
        case Kind::Repeat: {
            size_t repeated = entry.bits;
            write_entry(self, repeated, out, levels);
            return;
        }
    }
}

Value PythonSnapshot::entry_to_value(PythonSnapshot& self, size_t& index) {
    const Entry& entry = self.entry(index++);
    switch (entry.kind) {
        case Kind::Null:
            return Value::null();
        case Kind::False:
            return Value::boolean(false);
        case Kind::True:
            return Value::boolean(true);
        case Kind::Negative:
            return Value::number(static_cast<double>(static_cast<int64_t>(entry.bits)));
        case Kind::Unsigned:
            return Value::number(static_cast<double>(entry.bits));
        case Kind::Double:
            return Value::number(std::bit_cast<double>(entry.bits));
        case Kind::String:
        case Kind::LongString:
            return Value::string(text_of(self, entry));
        case Kind::Array:
        case Kind::Object:
            if (entry.repeated) {
                size_t container = index - 1;
                index = entry.bits;
                return repeated_value(self, container);
            }
            return container_to_value(self, entry, index);
        case Kind::Repeat:
            return repeated_value(self, entry.bits);
    }
    return Value::null();
}

Value PythonSnapshot::container_to_value(PythonSnapshot& self, const Entry& container,
                                         size_t& index) {
    if (container.kind == Kind::Array) {
        ValueArray items;
        items.reserve(container.size);
        for (size_t i = 0; i < container.size; ++i)
            items.emplace_back(ValueAt{self, index});
        return Value::array(std::move(items));
    }
    if (container.size <= kSortedMembersLimit) return sorted_object(self, container, index);
    return Value::object(sort_object_entries(object_entries(self, container, index)));
}

Value PythonSnapshot::repeated_value(PythonSnapshot& self, size_t container) {
    auto built = self.repeated_values_.find(container);
    if (built != self.repeated_values_.end()) return built->second;
    // Each of its entries is read here alone, so its long texts may still be moved.
    size_t index = container + 1;
    Value value = container_to_value(self, self.entry(container), index);
    self.repeated_values_.emplace(container, value);
    return value;
}

std::string_view PythonSnapshot::text_view(const PythonSnapshot& self, const Entry& text) {
    if (text.kind == Kind::LongString) return self.long_texts_[text.bits];
    return {reinterpret_cast<const char*>(static_cast<uintptr_t>(text.bits)), text.size};
}

namespace {

// A key's first eight bytes as one big-endian number, zero past its end. Keys whose heads differ
// are in the order of their heads, so most comparisons of short keys need no call to memcmp.
// Every text that is not empty lies in a text block, with at least eight readable bytes from its
// first, or in a long text.
uint64_t key_head(std::string_view key) {
    if (key.empty()) return 0;
    uint64_t head = 0;
    std::memcpy(&head, key.data(), sizeof head);
    if constexpr (std::endian::native == std::endian::little) head = __builtin_bswap64(head);
    if (key.size() < sizeof head) head &= ~uint64_t{0} << (8 * (sizeof head - key.size()));
    return head;
}

struct SortedMember {
    uint64_t head;
    std::string_view key;
    // The index of the member's value.
    size_t value;

    bool before(const SortedMember& other) const {
        return head != other.head ? head < other.head : key < other.key;
    }
    bool same_key(const SortedMember& other) const {
        return head == other.head && key == other.key;
    }
};

}  // namespace

Value PythonSnapshot::sorted_object(PythonSnapshot& self, const Entry& object, size_t& index) {
    std::array<SortedMember, kSortedMembersLimit> members;
    const size_t count = object.size;
    size_t at = index;
    for (size_t i = 0; i < count; ++i) {
        std::string_view key = text_view(self, self.entry(at));
        members[i] = SortedMember{key_head(key), key, at + 1};
        const Entry& value = self.entry(at + 1);
        at = value.kind == Kind::Array || value.kind == Kind::Object ? value.bits : at + 2;
    }
    index = at;
    // Stable, so that of equal keys the later one stays last and is the one kept.
    for (size_t i = 1; i < count; ++i) {
        const SortedMember moving = members[i];
        size_t j = i;
        for (; j > 0 && moving.before(members[j - 1]); --j)
            members[j] = members[j - 1];
        members[j] = moving;
    }
    ValueObject entries;
    entries.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        if (i + 1 < count && members[i + 1].same_key(members[i])) continue;
        size_t value = members[i].value;
        entries.emplace_back(members[i].key, ValueAt{self, value});
    }
    return Value::object(std::move(entries));
}

ValueObject PythonSnapshot::object_entries(PythonSnapshot& self, const Entry& object,
                                           size_t& index) {
    ValueObject entries;
    entries.reserve(object.size);
    for (size_t i = 0; i < object.size; ++i) {
        std::string name = text_of(self, self.entry(index++));
        entries.emplace_back(std::move(name), ValueAt{self, index});
    }
    return entries;
}

const char* PythonSnapshot::kind_name() const {
    switch (count_ == 0 ? Kind::Null : entry(0).kind) {
        case Kind::Null:
            return "null";
        case Kind::False:
        case Kind::True:
            return "boolean";
        case Kind::Negative:
        case Kind::Unsigned:
        case Kind::Double:
            return "number";
        case Kind::String:
        case Kind::LongString:
            return "string";
        case Kind::Array:
        case Kind::Repeat:
            return "array";
        case Kind::Object:
            return "object";
    }
    return "null";
}

bool PythonSnapshot::member_exceeds_value_depth() const {
    if (!is_object()) return false;
    // The depth each key's last member reaches: a walk over the entries, a Repeat counting
    // for the depth its container reaches.
    std::map<std::string_view, int, std::less<>> reached;
    std::vector<size_t> open_ends;
    const size_t count = entry(0).size;
    size_t index = 1;
    for (size_t i = 0; i < count; ++i) {
        std::string_view key = text_view(*this, entry(index++));
        const size_t end = entry(index).kind == Kind::Array || entry(index).kind == Kind::Object
                               ? entry(index).bits
                               : index + 1;
        int deepest = 0;
        for (; index < end; ++index) {
            while (!open_ends.empty() && open_ends.back() == index)
                open_ends.pop_back();
            const Entry& at = entry(index);
            const int depth = static_cast<int>(open_ends.size());
            deepest = std::max(deepest,
                               at.kind == Kind::Repeat ? depth + static_cast<int>(at.size) : depth);
            if (at.kind == Kind::Array || at.kind == Kind::Object) open_ends.push_back(at.bits);
        }
        open_ends.clear();
        reached.insert_or_assign(key, deepest);
    }
    return std::any_of(reached.begin(), reached.end(),
                       [](const auto& member) { return member.second > MAX_VALUE_DEPTH; });
}

std::map<std::string, Value, std::less<>> PythonSnapshot::member_map() && {
    std::map<std::string, Value, std::less<>> members;
    if (!is_object()) return members;
    const size_t count = entry(0).size;
    size_t index = 1;
    for (size_t i = 0; i < count; ++i) {
        std::string_view key = text_view(*this, entry(index++));
        auto place = members.lower_bound(key);
        if (place != members.end() && place->first == key) {
            place->second = entry_to_value(*this, index);
        } else {
            members.emplace_hint(place, std::piecewise_construct, std::forward_as_tuple(key),
                                 std::forward_as_tuple(ValueAt{*this, index}));
        }
    }
    return members;
}

SnapshotFromPython snapshot_python(PyObject* object) {
    SnapshotFromPython result;
    SnapshotWriter writer(result.value);
    if (!writer.convert(object, 0)) {
        result.failure = writer.take_failure();
        result.value = PythonSnapshot();
    }
    return result;
}

JsonFromPython python_to_json(PyObject* object) {
    SnapshotFromPython snapshot = snapshot_python(object);
    if (snapshot.failure) return {OwnedJson(), std::move(snapshot.failure)};
    OwnedJson value =
        run_with_sufficient_stack([&] { return std::move(snapshot.value).to_json(); }).take();
    return {std::move(value), std::nullopt};
}

JsonFromPython python_to_shallow_json(PyObject* object) {
    SnapshotFromPython snapshot = snapshot_python(object);
    if (snapshot.failure) return {OwnedJson(), std::move(snapshot.failure)};
    return {snapshot.value.to_shallow_json(), std::nullopt};
}

PyObject* canonical_to_python(const nlohmann::json& value) {
    PyRef object = to_python(value, CallerStackRoom(LEVEL_STACK_RESERVE));
    return object ? object.release() : raise_serialize_failure();
}

PyObject* canonical_object_to_python_with_null(const nlohmann::json& object,
                                               std::string_view extra_key) {
    if (!object.is_object() || object.contains(extra_key)) return canonical_to_python(object);
    PyRef dict(PyDict_New());
    if (!dict) return raise_serialize_failure();
    bool inserted = false;
    const CallerStackRoom stack_room(LEVEL_STACK_RESERVE);
    auto insert = [&](std::string_view key, PyObject* item) {
        PyRef name(text_to_python(key));
        return name && PyDict_SetItem(dict.get(), name.get(), item) == 0;
    };
    for (const auto& [key, member] : object.items()) {
        if (!inserted && std::string_view(key) > extra_key) {
            if (!insert(extra_key, Py_None)) return raise_serialize_failure();
            inserted = true;
        }
        PyRef item = to_python(member, stack_room);
        if (!item || !insert(key, item.get())) return raise_serialize_failure();
    }
    if (!inserted && !insert(extra_key, Py_None)) return raise_serialize_failure();
    return dict.release();
}

bool write_compact_json(const nlohmann::json& value, std::string& out) {
    auto write = [&] {
        try {
            out = value.dump(-1, ' ', false, Json::error_handler_t::strict);
            return true;
        } catch (const Json::exception&) {
            return false;
        }
    };
    return run_with_sufficient_stack(write).take();
}

PyObject* compact_json_text(const nlohmann::json& value) {
    std::string text;
    if (!write_compact_json(value, text)) {
        raise_tyx_error(
            new_tyx_error("tyx::internal", "failed to serialize result: invalid UTF-8 in a text"));
        return nullptr;
    }
    PyObject* result = text_to_python(text);
    return result != nullptr ? result : raise_serialize_failure();
}

namespace {

bool json_equal_here(const nlohmann::json& a, const nlohmann::json& b) {
    NumberForm form = number_form(a);
    if (form != NumberForm::None || number_form(b) != NumberForm::None) {
        if (form != number_form(b)) return false;
        switch (form) {
            case NumberForm::Unsigned:
                return a.get<uint64_t>() == b.get<uint64_t>();
            case NumberForm::Negative:
                return a.get<int64_t>() == b.get<int64_t>();
            default:
                return a.get<double>() == b.get<double>();
        }
    }
    if (a.type() != b.type()) return false;
    switch (a.type()) {
        case Json::value_t::array: {
            if (a.size() != b.size()) return false;
            for (size_t i = 0; i < a.size(); ++i) {
                if (!json_equal_here(a[i], b[i])) return false;
            }
            return true;
        }
        case Json::value_t::object: {
            if (a.size() != b.size()) return false;
            for (auto left = a.begin(), right = b.begin(); left != a.end(); ++left, ++right) {
                if (left.key() != right.key() || !json_equal_here(left.value(), right.value())) {
                    return false;
                }
            }
            return true;
        }
        default:
            return a == b;
    }
}

}  // namespace

bool json_equal(const nlohmann::json& a, const nlohmann::json& b) {
    return run_with_sufficient_stack([&] { return json_equal_here(a, b); }).take();
}

const char* json_kind_name(const nlohmann::json& value) {
    switch (value.type()) {
        case Json::value_t::null:
            return "null";
        case Json::value_t::boolean:
            return "boolean";
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned:
        case Json::value_t::number_float:
            return "number";
        case Json::value_t::string:
            return "string";
        case Json::value_t::array:
            return "array";
        case Json::value_t::object:
            return "object";
        default:
            return "null";
    }
}

std::optional<uint64_t> json_unsigned(const nlohmann::json& value) {
    if (value.is_number_unsigned()) return value.get<uint64_t>();
    if (value.is_number_integer() && value.get<int64_t>() >= 0) {
        return static_cast<uint64_t>(value.get<int64_t>());
    }
    return std::nullopt;
}

const nlohmann::json* json_member(const nlohmann::json& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

std::vector<std::string> read_string_list_field(const nlohmann::json& object,
                                                std::string_view key) {
    std::vector<std::string> texts;
    const Json* member = json_member(object, key);
    if (member == nullptr || !member->is_array()) return texts;
    for (const Json& element : *member) {
        if (element.is_string()) texts.push_back(element.get<std::string>());
    }
    return texts;
}

void sanitize_string_field(nlohmann::json& object, std::string_view key) {
    if (!object.is_object()) return;
    auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return;
    const std::string& text = found->get_ref<const std::string&>();
    std::string escaped = escape_for_display(std::string_view(text));
    if (escaped != text) *found = std::move(escaped);
}

PyObject* text_to_python(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* string_list_to_python(const std::vector<std::string>& texts) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < texts.size(); ++i) {
        PyObject* item = text_to_python(texts[i]);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace tyx::py
