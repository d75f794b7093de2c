// Limits shared by the evaluator and the builtins.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/error.h"
#include "core/format.h"
#include "core/result.h"

namespace tyx {

// The largest rendered output in bytes; `replace` and `join` are held to it too, so that no
// single call can build a text the output could never hold.
inline constexpr std::size_t MAX_OUTPUT_SIZE = 52'428'800;

// The work the evaluations of one compilation may do together (the entry's, each imported
// module's body, each part of an inheritance chain), in bytes: every byte of text they render,
// whether the text reaches the output or only serves as an argument, a condition or a loop's
// iterable, what the builtins read, write and visit, and a fixed work per node visited. The other
// limits bound each value and the number of steps, but not their product: a loop can rebuild a
// large text in every iteration only to test it.
#ifdef TYX_FUZZ_EVALUATION_WORK
// The fuzz build sets a budget of a few kilobytes, so that small inputs reach the limit and the
// fuzzers can show that nothing else (a source map, a check instead of a compilation) moves it.
inline constexpr uint64_t MAX_EVALUATION_WORK = TYX_FUZZ_EVALUATION_WORK;
#else
inline constexpr uint64_t MAX_EVALUATION_WORK = 209'715'200;
#endif

// What visiting one array element or object entry, or comparing one pair of them, counts as
// against MAX_EVALUATION_WORK: a visit costs about as much as copying this many bytes, and no
// number's display text is longer.
inline constexpr uint64_t ELEMENT_WORK = 64;

// What visiting one node or testing one condition counts as against MAX_EVALUATION_WORK, whatever
// else it is charged: without it, a loop over a large body of nodes that write nothing would run
// for hours within every other limit.
inline constexpr uint64_t NODE_WORK = 6;
// The same for calling one builtin, which gathers its arguments into a fresh vector before any of
// its own work: a few times the cost of a node.
inline constexpr uint64_t CALL_WORK = 16;

// The work the evaluations of a compilation have done, taken before each piece of work is done,
// so that the piece that would pass the limit is never started.
class WorkBudget {
  public:
    explicit WorkBudget(uint64_t limit = MAX_EVALUATION_WORK) : limit_(limit) {}

    // Takes `amount` bytes of work, or fails, taking nothing, when they would pass the limit.
    Status charge(uint64_t amount) {
        if (amount > limit_ - used_) return exceeded();
        used_ += amount;
        return {};
    }
    // The fixed work of one node visited or condition tested.
    Status charge_visit() { return charge(NODE_WORK); }
    // The fixed work of one builtin called.
    Status charge_call() { return charge(CALL_WORK); }
    // The same for `count` elements visited.
    Status charge_elements(uint64_t count) {
        if (count > (limit_ - used_) / ELEMENT_WORK) return exceeded();
        used_ += count * ELEMENT_WORK;
        return {};
    }

    uint64_t used() const { return used_; }
    uint64_t remaining() const { return limit_ - used_; }

  private:
    [[gnu::noinline]] CompileError exceeded() const {
        return CompileError::of(
            ErrorKind::ResourceLimit,
            "evaluation work exceeds maximum of " + decimal(limit_) + " bytes in this compilation");
    }

    uint64_t limit_;
    uint64_t used_ = 0;
};

}  // namespace tyx
