// The native stack the core's work runs on: a stack of the extension's own, one per calling
// thread, so that the outcome of a call never depends on the stack of the thread that makes it.
#pragma once

#include <cstddef>
#include <exception>
#include <optional>
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
// A thread with this much of its own stack left (the main thread and threads of the usual
// 8 MiB) runs the work where it is; any other gets a stack of this size, committed only as deep
// as a call reaches, so the headroom costs address space only.
#if defined(TYX_ADDRESS_SANITIZER)
inline constexpr std::size_t CORE_STACK_SIZE = std::size_t{64} << 20;
#else
inline constexpr std::size_t CORE_STACK_SIZE = std::size_t{6} << 20;
#endif

// What the calling thread's own stack must have left when a call starts: the binding reads its
// arguments and builds its results on that stack, with the interpreter lock held. Reading a
// `vars` value or a result's state nesting 256 levels fits in a thread of 48 KiB with the
// interpreter's own frames; turning such a state back into Python objects needs more, and checks
// what is left at each level (caller_stack_left).
#if defined(TYX_ADDRESS_SANITIZER)
inline constexpr std::size_t MIN_CALLER_STACK = std::size_t{256} << 10;
#else
inline constexpr std::size_t MIN_CALLER_STACK = std::size_t{64} << 10;
#endif

// Makes the per-thread storage that reporting a failure needs exist while memory is still at
// hand: glibc allocates a loaded library's thread-local storage only when a thread first touches
// it, and aborts the process when that allocation fails. Called first in every call.
void prepare_thread_storage();

// prepare_thread_storage, then refuses a call whose thread has less than MIN_CALLER_STACK of its
// stack left: false with RecursionError set. Called first in every call that may fail, with the
// interpreter lock held.
bool prepare_calling_thread();

// Whether the calling thread's own stack has `bytes` left below the caller's frame; true when its
// bounds are unknown. For the binding's own recursion with the interpreter lock held, whose
// depth the limits on values bound but whose frames a small thread may not hold.
bool caller_stack_left(std::size_t bytes);

// The error of a call whose thread has too little stack left: RecursionError, set.
void raise_stack_exhausted();

namespace native_stack_internal {

// Runs `entry(argument)` on the calling thread's core stack and returns when it has returned;
// `entry` lets no exception escape. Throws std::bad_alloc when no stack can be mapped.
void run_on_core_stack(void (*entry)(void*), void* argument);

}  // namespace native_stack_internal

// Runs `work` where the calling thread's own stack holds CORE_STACK_SIZE, and on its core stack
// otherwise, and returns its result. An exception of the
// work never unwinds across the switch: it is caught on the core stack and thrown again here.
template <class Work>
auto on_core_stack(Work& work) {
    using Value = decltype(work());
    struct Call {
        Work& work;
        std::optional<Value> value;
        std::exception_ptr failure;

        static void run(void* self) noexcept {
            Call& call = *static_cast<Call*>(self);
            try {
                call.value.emplace(call.work());
            } catch (...) {
                call.failure = std::current_exception();
            }
        }
    } call{work, std::nullopt, nullptr};
    native_stack_internal::run_on_core_stack(&Call::run, &call);
    if (call.failure) std::rethrow_exception(std::move(call.failure));
    return std::move(*call.value);
}

}  // namespace tyx::py
