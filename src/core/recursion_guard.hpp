// One level of the interpreter's guard against running out of C stack.
#pragma once

#include "compat.hpp"

namespace velka {

// Entered once per container by the recursive walkers, so that a value
// nested deeper than the stack allows fails with RecursionError instead of
// crashing. Check entered() right after construction.
class RecursionGuard {
   public:
    explicit RecursionGuard(const char* where) noexcept
        : entered_(Py_EnterRecursiveCall(where) == 0) {}
    ~RecursionGuard() {
        if (entered_) {
            Py_LeaveRecursiveCall();
        }
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

    [[nodiscard]] bool entered() const noexcept { return entered_; }

   private:
    bool entered_;
};

}  // namespace velka
