// The native stack the binding and the core's work run on. The core's work runs where the
// calling thread's own stack is known to hold all it may need, and on a stack of the extension's
// own otherwise, so that the outcome of a call never depends on the thread that makes it; the
// binding's own recursion, which runs on the caller's stack with the interpreter lock held,
// checks what is left at each level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#define TYX_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TYX_ADDRESS_SANITIZER 1
#endif
#endif

namespace tyx::py {

// The stack the core's work may need. The deepest input within every limit, 1024 render levels
// with a source map at the end of a chain of 64 included modules, needs 2.3 MiB of it in a
// release build and 14 MiB under the address sanitizer, whose frames are several times larger.
// A thread created with this much of its own stack left (threads of the usual 8 MiB) runs the
// work where it is. Any other thread, and the main thread, whose stack grows under a limit the
// process may lower at any moment, gets a stack of this size, committed only as deep as a call
// reaches, so the headroom costs address space only.
#if defined(TYX_ADDRESS_SANITIZER)
inline constexpr std::size_t CORE_STACK_SIZE = std::size_t{64} << 20;
#else
inline constexpr std::size_t CORE_STACK_SIZE = std::size_t{6} << 20;
#endif

// What the calling thread's own stack must have left when a call starts: the binding binds its
// arguments and builds its results on that stack, with the interpreter lock held, before any
// of its recursive readers checks for itself.
#if defined(TYX_ADDRESS_SANITIZER)
inline constexpr std::size_t MIN_CALLER_STACK = std::size_t{256} << 10;
#else
inline constexpr std::size_t MIN_CALLER_STACK = std::size_t{64} << 10;
#endif

// What one level of the binding's own recursion over a nested value may take of the caller's
// stack: its frames, and the interpreter's calls made at that level (isinstance against an
// abstract class, a Mapping's items(), a Sequence's __getitem__), which return before the next
// level starts.
#if defined(TYX_ADDRESS_SANITIZER)
inline constexpr std::size_t LEVEL_STACK_RESERVE = std::size_t{64} << 10;
#else
inline constexpr std::size_t LEVEL_STACK_RESERVE = std::size_t{16} << 10;
#endif

// How much of the main thread's stack, from its top, the binding counts on whatever RLIMIT_STACK
// the process sets, so that an ordinary call never asks for the limit: a check made deeper reads
// the current bounds (which glibc derives from the limit and /proc/self/maps) once per recursion.
// A limit lowered below this is not supported.
inline constexpr std::size_t MAIN_STACK_COUNTED_ON = std::size_t{1} << 20;

// Makes the per-thread storage that reporting a failure needs exist while memory is still at
// hand: glibc allocates a loaded library's thread-local storage only when a thread first touches
// it, and aborts the process when that allocation fails. Called first in every call.
void prepare_thread_storage();

// Whether the calling thread's own stack has a given number of bytes left below the frame that
// asks, for a recursion run with the interpreter lock held: made once, asked at each level.
class CallerStackRoom {
  public:
    // Reads the bounds that prepare_thread_storage read for the thread.
    explicit CallerStackRoom(std::size_t bytes);

    // True when the bounds are unknown.
    [[gnu::always_inline]] bool left() const {
        return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) >= certain_ ||
               left_below_certain();
    }

  private:
    bool left_below_certain() const;

    std::size_t bytes_;
    // A frame at or above this address has `bytes_` below it whatever the stack's limit.
    std::uintptr_t certain_ = 0;
    // For the main thread, the lowest address its current limit lets the stack reach, read the
    // first time a frame below `certain_` asks; 0 until then.
    mutable std::uintptr_t limit_low_ = 0;
};

// prepare_thread_storage, then refuses a call whose thread has less than MIN_CALLER_STACK of its
// stack left: false with RecursionError set. Called first in every call that may fail, with the
// interpreter lock held.
bool prepare_calling_thread();

// The error of a call whose thread has too little stack left: RecursionError, set.
void raise_stack_exhausted();

namespace native_stack_internal {

// Runs `entry(argument)` where the calling thread's own stack holds CORE_STACK_SIZE, and on its
// core stack otherwise; `entry` lets no exception escape. False, without running it, when no
// core stack can be mapped.
bool run_with_sufficient_stack(void (*entry)(void*), void* argument);

}  // namespace native_stack_internal

// What work run by run_with_sufficient_stack ended with: its value or its exception.
template <class Value>
struct WorkOutcome {
    std::optional<Value> value;
    std::exception_ptr failure;

    // The value; the work's exception is thrown again here.
    Value take() && {
        if (failure) std::rethrow_exception(std::move(failure));
        return std::move(*value);
    }
};

// Runs `work` where the stack holds CORE_STACK_SIZE (see run_with_sufficient_stack above) and
// returns how it ended; throws nothing itself. An exception of the work never unwinds across a
// switch of stacks: it is caught where the work ran and kept in the outcome. `work` touches no
// Python object, as the core's work, or the binding's walks over a nested JSON value that run
// with the interpreter lock held, which take more stack than a small thread has under the
// sanitizers.
template <class Work>
auto run_with_sufficient_stack(Work&& work) {
    using Outcome = WorkOutcome<decltype(work())>;
    Outcome outcome;
    struct Call {
        std::remove_reference_t<Work>& work;
        Outcome& outcome;

        static void run(void* self) noexcept {
            Call& call = *static_cast<Call*>(self);
            try {
                call.outcome.value.emplace(call.work());
            } catch (...) {
                call.outcome.failure = std::current_exception();
            }
        }
    } call{work, outcome};
    if (!native_stack_internal::run_with_sufficient_stack(&Call::run, &call)) {
        outcome.failure = std::make_exception_ptr(std::bad_alloc());
    }
    return outcome;
}

}  // namespace tyx::py
