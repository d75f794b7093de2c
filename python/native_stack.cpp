#include "python/native_stack.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

// The switch to the core stack is a few instructions of assembly where it is written for the
// architecture, and glibc's contexts elsewhere; a build may choose the contexts everywhere, so
// that the switch other architectures take is tested here too.
#if !defined(__x86_64__) && !defined(__aarch64__) && !defined(TYX_PORTABLE_STACK_SWITCH)
#define TYX_PORTABLE_STACK_SWITCH 1
#endif

#if defined(TYX_PORTABLE_STACK_SWITCH)
#include <ucontext.h>
#endif

#if defined(TYX_ADDRESS_SANITIZER)
#include <sanitizer/common_interface_defs.h>
#endif

namespace tyx::py {
namespace {

// The top of a core stack, where an ordinary call does all its work, committed when the stack is
// mapped: one request commits its pages for a fraction of what faulting them in one by one costs.
constexpr std::size_t COMMITTED_TOP = std::size_t{32} << 10;

// One core stack: an anonymous mapping committed only as deep as it is used, with an
// inaccessible guard page below it, so that an overflow faults instead of writing over other
// memory.
class MappedStack {
  public:
    MappedStack() = default;
    MappedStack(const MappedStack&) = delete;
    MappedStack& operator=(const MappedStack&) = delete;
    ~MappedStack() {
        if (mapping_ != nullptr) munmap(mapping_, guard_ + CORE_STACK_SIZE);
    }

    bool mapped() const { return mapping_ != nullptr; }

    // False when the address space has no room for it.
    bool map() {
        long page = sysconf(_SC_PAGESIZE);
        std::size_t guard = page > 0 ? static_cast<std::size_t>(page) : 4096;
        void* mapping = mmap(nullptr, guard + CORE_STACK_SIZE, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
        if (mapping == MAP_FAILED) return false;
        if (mprotect(mapping, guard, PROT_NONE) != 0) {
            munmap(mapping, guard + CORE_STACK_SIZE);
            return false;
        }
        mapping_ = static_cast<char*>(mapping);
        guard_ = guard;
#if defined(MADV_POPULATE_WRITE)
        // A kernel that cannot commit ahead leaves the pages to be faulted in as they are reached.
        (void)madvise(bottom() + CORE_STACK_SIZE - COMMITTED_TOP, COMMITTED_TOP,
                      MADV_POPULATE_WRITE);
#endif
        return true;
    }

    // The lowest usable address.
    char* bottom() const {
        return mapping_ + guard_;
    }

  private:
    char* mapping_ = nullptr;
    std::size_t guard_ = 0;
};

#if defined(TYX_PORTABLE_STACK_SWITCH)
struct Contexts;
#endif

// A stack's lowest and highest addresses; both 0 when they are unknown.
struct StackBounds {
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
};

// The calling thread's stack as its library describes it now: for the main thread, from the
// current limit.
StackBounds read_stack_bounds() {
    StackBounds bounds;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return bounds;
    void* low = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attributes, &low, &size) == 0) {
        bounds.low = reinterpret_cast<std::uintptr_t>(low);
        bounds.high = bounds.low + size;
    }
    pthread_attr_destroy(&attributes);
    return bounds;
}

// What one calling thread keeps between its calls; the stack is unmapped when the thread ends.
struct CallingThread {
    MappedStack stack;
    // The bounds of the thread's own stack, read on its first call; unknown when the thread runs
    // on a stack its library does not describe.
    bool bounds_read = false;
    StackBounds bounds;
    // The main thread's stack grows on demand under RLIMIT_STACK, which the process may lower at
    // any time, so its bounds hold only as long as the limit does; a created thread's stack is a
    // mapping of fixed size.
    bool grows_under_limit = false;
#if defined(TYX_PORTABLE_STACK_SWITCH)
    // The switch being started, for the first function on the core stack, which makecontext can
    // pass only int arguments.
    Contexts* starting = nullptr;
#endif
};

thread_local CallingThread calling_thread;

std::uintptr_t frame_address() {
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
}

// Whether a frame lies on the stack the thread's bounds describe.
bool on_own_stack(const CallingThread& thread, std::uintptr_t frame) {
    return frame > thread.bounds.low && frame <= thread.bounds.high;
}

// The work one switch runs, and what the sanitizer needs to follow it from stack to stack.
struct Switch {
    void (*entry)(void*);
    void* argument;
#if defined(TYX_ADDRESS_SANITIZER)
    void* caller_fake_stack = nullptr;
    const void* caller_bottom = nullptr;
    std::size_t caller_size = 0;
#endif
};

// The first function on the core stack.
void start_core(void* address) {
    auto* context = static_cast<Switch*>(address);
#if defined(TYX_ADDRESS_SANITIZER)
    __sanitizer_finish_switch_fiber(nullptr, &context->caller_bottom, &context->caller_size);
#endif
    context->entry(context->argument);
#if defined(TYX_ADDRESS_SANITIZER)
    // The core stack's frames are all finished: the sanitizer may drop what it kept of them.
    __sanitizer_start_switch_fiber(nullptr, context->caller_bottom, context->caller_size);
#endif
}

#if !defined(TYX_PORTABLE_STACK_SWITCH)

// Calls `entry(argument)` with the stack pointer at `top` and returns on the caller's stack. Only
// the stack pointer changes, so the switch costs a few instructions and no system call (glibc's
// swapcontext saves and restores the signal mask with one each way). The frame pointer chain and
// the unwind information lead from the core stack back to the caller's.
extern "C" void tyx_call_on_stack(void* argument, void (*entry)(void*), void* top);

#if defined(__x86_64__)
asm(R"(
    .pushsection .text
    .globl tyx_call_on_stack
    .hidden tyx_call_on_stack
    .type tyx_call_on_stack, @function
    .p2align 4
tyx_call_on_stack:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    movq %rdx, %rsp
    callq *%rsi
    movq %rbp, %rsp
    popq %rbp
    .cfi_def_cfa %rsp, 8
    retq
    .cfi_endproc
    .size tyx_call_on_stack, .-tyx_call_on_stack
    .popsection
)");
#else
asm(R"(
    .pushsection .text
    .globl tyx_call_on_stack
    .hidden tyx_call_on_stack
    .type tyx_call_on_stack, %function
    .p2align 2
tyx_call_on_stack:
    .cfi_startproc
    stp x29, x30, [sp, #-16]!
    .cfi_def_cfa_offset 16
    .cfi_offset x29, -16
    .cfi_offset x30, -8
    mov x29, sp
    .cfi_def_cfa_register x29
    mov sp, x2
    blr x1
    mov sp, x29
    .cfi_def_cfa sp, 16
    ldp x29, x30, [sp], #16
    .cfi_def_cfa_offset 0
    .cfi_restore x29
    .cfi_restore x30
    ret
    .cfi_endproc
    .size tyx_call_on_stack, .-tyx_call_on_stack
    .popsection
)");
#endif

bool switch_to_core(Switch& context, char* bottom) {
#if defined(TYX_ADDRESS_SANITIZER)
    __sanitizer_start_switch_fiber(&context.caller_fake_stack, bottom, CORE_STACK_SIZE);
#endif
    tyx_call_on_stack(&context, &start_core, bottom + CORE_STACK_SIZE);
#if defined(TYX_ADDRESS_SANITIZER)
    __sanitizer_finish_switch_fiber(context.caller_fake_stack, nullptr, nullptr);
#endif
    return true;
}

#else

// The switch through glibc's contexts. getcontext fails only where the platform has none, and
// the call then fails as when no core stack can be mapped.
struct Contexts {
    Switch* context;
    ucontext_t caller;
    ucontext_t core;
};

void start_core_context() {
    Contexts& contexts = *calling_thread.starting;
    start_core(contexts.context);
    setcontext(&contexts.caller);
}

// getcontext and swapcontext return twice, so they stand in a function of their own, whose only
// state is in `contexts`.
[[gnu::noinline]] bool switch_contexts(Contexts& contexts, char* bottom) {
    if (getcontext(&contexts.core) != 0) return false;
    contexts.core.uc_stack.ss_sp = bottom;
    contexts.core.uc_stack.ss_size = CORE_STACK_SIZE;
    contexts.core.uc_link = &contexts.caller;
    makecontext(&contexts.core, &start_core_context, 0);
    calling_thread.starting = &contexts;
#if defined(TYX_ADDRESS_SANITIZER)
    __sanitizer_start_switch_fiber(&contexts.context->caller_fake_stack, bottom, CORE_STACK_SIZE);
#endif
    swapcontext(&contexts.caller, &contexts.core);
#if defined(TYX_ADDRESS_SANITIZER)
    __sanitizer_finish_switch_fiber(contexts.context->caller_fake_stack, nullptr, nullptr);
#endif
    return true;
}

bool switch_to_core(Switch& context, char* bottom) {
    Contexts contexts{&context, {}, {}};
    return switch_contexts(contexts, bottom);
}

#endif

}  // namespace

void prepare_thread_storage() {
    // The C++ runtime's per-thread exception state, which every throw and catch uses. The
    // function is declared pure, so a call whose result went unused would be left out.
    const volatile int uncaught = std::uncaught_exceptions();
    (void)uncaught;
    CallingThread& thread = calling_thread;
    if (thread.bounds_read) return;
    thread.bounds_read = true;
    thread.bounds = read_stack_bounds();
    // The main thread is the one whose id is the process's.
    thread.grows_under_limit = getpid() == gettid();
}

CallerStackRoom::CallerStackRoom(std::size_t bytes) : bytes_(bytes) {
    const CallingThread& thread = calling_thread;
    if (thread.bounds.high == 0) return;
    std::uintptr_t low = thread.bounds.low;
    if (thread.grows_under_limit && thread.bounds.high - low > MAIN_STACK_COUNTED_ON) {
        low = thread.bounds.high - MAIN_STACK_COUNTED_ON;
    }
    certain_ = low + bytes;
}

bool CallerStackRoom::left_below_certain() const {
    const CallingThread& thread = calling_thread;
    const std::uintptr_t frame = frame_address();
    // A frame off the stack the bounds describe runs where nothing is known of its room.
    if (!on_own_stack(thread, frame)) return true;
    if (!thread.grows_under_limit) return false;
    // The frame lies below what the main thread counts on: the limit of now decides. The
    // bounds of the first call still tell what the stack is, whatever the limit has become.
    if (limit_low_ == 0) {
        const StackBounds now = read_stack_bounds();
        limit_low_ = now.high != 0 ? now.low : thread.bounds.low;
    }
    return frame >= limit_low_ + bytes_;
}

void raise_stack_exhausted() {
    PyErr_SetString(PyExc_RecursionError,
                    "the calling thread has too little native stack left for this call");
}

bool prepare_calling_thread() {
    prepare_thread_storage();
    if (CallerStackRoom(MIN_CALLER_STACK).left()) return true;
    raise_stack_exhausted();
    return false;
}

namespace native_stack_internal {

bool run_with_sufficient_stack(void (*entry)(void*), void* argument) {
    CallingThread& thread = calling_thread;
    const std::uintptr_t frame = frame_address();
    if (!thread.grows_under_limit && on_own_stack(thread, frame) &&
        frame - thread.bounds.low >= CORE_STACK_SIZE) {
        entry(argument);
        return true;
    }
    // No work run here calls back into the binding, so the thread's one core stack is free.
    if (!thread.stack.mapped() && !thread.stack.map()) return false;
    Switch context{entry, argument};
    return switch_to_core(context, thread.stack.bottom());
}

}  // namespace native_stack_internal
}  // namespace tyx::py
