#include "python/native_stack.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <new>
#include <optional>

#if !defined(__x86_64__) && !defined(__aarch64__)
#include <ucontext.h>

#include <stdexcept>
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

// What one calling thread keeps between its calls; the stack is unmapped when the thread ends.
struct CallingThread {
    MappedStack stack;
    // A call runs on `stack` now; a call made from inside it (none is) would get a stack of its
    // own.
    bool stack_in_use = false;
    // The bounds of the thread's own stack, read on its first call; unknown when the thread
    // runs on a stack its library does not describe.
    bool bounds_read = false;
    std::uintptr_t stack_low = 0;
    std::uintptr_t stack_high = 0;
};

thread_local CallingThread calling_thread;

void read_stack_bounds(CallingThread& thread) {
    thread.bounds_read = true;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
    void* low = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attributes, &low, &size) == 0) {
        thread.stack_low = reinterpret_cast<std::uintptr_t>(low);
        thread.stack_high = thread.stack_low + size;
    }
    pthread_attr_destroy(&attributes);
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

#if defined(__x86_64__) || defined(__aarch64__)

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

void switch_to_core(Switch& context, char* bottom) {
#if defined(TYX_ADDRESS_SANITIZER)
    __sanitizer_start_switch_fiber(&context.caller_fake_stack, bottom, CORE_STACK_SIZE);
#endif
    tyx_call_on_stack(&context, &start_core, bottom + CORE_STACK_SIZE);
#if defined(TYX_ADDRESS_SANITIZER)
    __sanitizer_finish_switch_fiber(context.caller_fake_stack, nullptr, nullptr);
#endif
}

#else

// Elsewhere the switch goes through glibc's contexts. makecontext passes only int arguments, so
// the switch's address comes in two halves.
struct Contexts {
    Switch* context;
    ucontext_t caller;
    ucontext_t core;
};

void start_core_context(unsigned high, unsigned low) {
    auto* contexts = reinterpret_cast<Contexts*>((std::uintptr_t{high} << 32) | low);
    start_core(contexts->context);
    setcontext(&contexts->caller);
}

// getcontext and swapcontext return twice, so they stand in a function of their own, whose only
// state is in `contexts`.
[[gnu::noinline]] void switch_contexts(Contexts& contexts, char* bottom) {
    if (getcontext(&contexts.core) != 0) {
        throw std::runtime_error("cannot switch to the core stack");
    }
    contexts.core.uc_stack.ss_sp = bottom;
    contexts.core.uc_stack.ss_size = CORE_STACK_SIZE;
    contexts.core.uc_link = &contexts.caller;
    auto address = reinterpret_cast<std::uintptr_t>(&contexts);
    makecontext(&contexts.core, reinterpret_cast<void (*)()>(&start_core_context), 2,
                static_cast<unsigned>(address >> 32), static_cast<unsigned>(address));
#if defined(TYX_ADDRESS_SANITIZER)
    __sanitizer_start_switch_fiber(&contexts.context->caller_fake_stack, bottom, CORE_STACK_SIZE);
#endif
    swapcontext(&contexts.caller, &contexts.core);
#if defined(TYX_ADDRESS_SANITIZER)
    __sanitizer_finish_switch_fiber(contexts.context->caller_fake_stack, nullptr, nullptr);
#endif
}

void switch_to_core(Switch& context, char* bottom) {
    Contexts contexts{&context, {}, {}};
    switch_contexts(contexts, bottom);
}

#endif

// How much of the calling thread's own stack lies below this frame; nothing when its bounds are
// unknown or the frame is not on it.
std::optional<std::size_t> caller_stack_below() {
    const CallingThread& thread = calling_thread;
    auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (here <= thread.stack_low || here > thread.stack_high) return std::nullopt;
    return here - thread.stack_low;
}

// Whether the work may run on the caller's own stack: only where it is known to hold it all.
bool runs_in_place() {
    const std::optional<std::size_t> below = caller_stack_below();
    return below && *below >= CORE_STACK_SIZE;
}

}  // namespace

void prepare_thread_storage() {
    // The C++ runtime's per-thread exception state, which every throw and catch uses. The
    // function is declared pure, so a call whose result went unused would be left out.
    const volatile int uncaught = std::uncaught_exceptions();
    (void)uncaught;
    CallingThread& thread = calling_thread;
    if (!thread.bounds_read) read_stack_bounds(thread);
}

bool caller_stack_left(std::size_t bytes) {
    const std::optional<std::size_t> below = caller_stack_below();
    return !below || *below >= bytes;
}

void raise_stack_exhausted() {
    PyErr_SetString(PyExc_RecursionError,
                    "the calling thread has too little native stack left for this call");
}

bool prepare_calling_thread() {
    prepare_thread_storage();
    if (caller_stack_left(MIN_CALLER_STACK)) return true;
    raise_stack_exhausted();
    return false;
}

namespace native_stack_internal {

void run_on_core_stack(void (*entry)(void*), void* argument) {
    if (runs_in_place()) {
        entry(argument);
        return;
    }
    CallingThread& thread = calling_thread;
    MappedStack own;
    MappedStack* stack = &own;
    if (!thread.stack_in_use) {
        if (!thread.stack.mapped() && !thread.stack.map()) throw std::bad_alloc();
        stack = &thread.stack;
    } else if (!own.map()) {
        throw std::bad_alloc();
    }

    Switch context{entry, argument};
    bool was_in_use = thread.stack_in_use;
    thread.stack_in_use = true;
    switch_to_core(context, stack->bottom());
    thread.stack_in_use = was_in_use;
}

}  // namespace native_stack_internal
}  // namespace tyx::py
