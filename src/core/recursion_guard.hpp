// One level of the interpreter's guard against running out of C stack.
#pragma once

#include "compat.hpp"

namespace velka {

#if PY_VERSION_HEX < 0x030E0000
// Before 3.14 the interpreter's guard counts levels (1,500 or 10,000 of
// them), whatever their size and however small the thread's stack, so a
// deep value could overflow a thread started with a small stack. There the
// walkers also measure the stack: true when the calling thread has used all
// of its stack but a safety margin.
bool stack_nearly_exhausted() noexcept;
#endif

// The levels of nesting that one walk is in, for guards that need not ask
// the interpreter at every level.
class NestingLevels {
   public:
    // Enters a level: whether its guard must ask the interpreter. From 3.14
    // the interpreter's guard measures the C stack instead of counting
    // levels, and keeps 16 or 32 kilobytes between the depth at which it
    // raises and the end of the stack, while a walk's level takes a few
    // hundred bytes. So the first level and every eighth after it ask
    // (values of real data, a few levels deep, ask once), and a value
    // nested too deep still fails with RecursionError, at most seven levels
    // later. Before 3.14 every level counts against the recursion limit.
    bool enter() noexcept {
        ++depth_;
#if PY_VERSION_HEX >= 0x030E0000
        return depth_ % 8 == 1;
#else
        return true;
#endif
    }
    void leave() noexcept { --depth_; }

   private:
    unsigned depth_ = 0;
};

// Entered once per container by the recursive walkers, so that a value
// nested deeper than the stack allows fails with RecursionError instead of
// crashing. Check entered() right after construction.
class RecursionGuard {
   public:
    explicit RecursionGuard(const char* where) noexcept : asked_(true), entered_(enter(where)) {}
    // A guard of a walk that counts its levels in `levels`.
    RecursionGuard(NestingLevels& levels, const char* where) noexcept
        : levels_(&levels), asked_(levels.enter()), entered_(!asked_ || enter(where)) {}
    ~RecursionGuard() {
        if (asked_ && entered_) {
            leave_recursive_call();
        }
        if (levels_ != nullptr) {
            levels_->leave();
        }
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

    [[nodiscard]] bool entered() const noexcept { return entered_; }

   private:
    static bool enter(const char* where) noexcept {
#if PY_VERSION_HEX < 0x030E0000
        if (stack_nearly_exhausted()) {
            // The interpreter's own words for a guard that gives out.
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return false;
        }
#endif
        return enter_recursive_call(where) == 0;
    }

    NestingLevels* levels_ = nullptr;
    bool asked_;  // the interpreter's guard was asked, and is left with this one
    bool entered_;
};

}  // namespace velka
