// How much of the calling thread's stack is left, on interpreters whose own
// guard does not measure it (before 3.14).
#include "recursion_guard.hpp"

#if PY_VERSION_HEX < 0x030E0000

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__linux__)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace velka {

namespace {

#if defined(__linux__)

// A hexadecimal number at `text` (up to `end`), moving `text` past it.
std::uintptr_t read_hex(const char*& text, const char* end) noexcept {
    std::uintptr_t value = 0;
    for (; text < end; ++text) {
        const char c = *text;
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else {
            break;
        }
        value = value * 16 + digit;
    }
    return value;
}

// The mapping of /proc/self/maps that holds `address`: its bounds, and
// whether it is the main thread's stack. Read with plain system calls, so
// that the extension needs nothing newer of the C library.
struct Mapping {
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
    bool main_stack = false;
};

bool find_mapping(std::uintptr_t address, Mapping& found) noexcept {
    const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char buffer[4096];
    std::size_t held = 0;
    bool located = false;
    for (;;) {
        const ssize_t got = read(fd, buffer + held, sizeof buffer - held);
        if (got <= 0) {
            break;
        }
        held += static_cast<std::size_t>(got);
        const char* line = buffer;
        const char* const end = buffer + held;
        for (;;) {
            const auto* newline = static_cast<const char*>(
                std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
            if (newline == nullptr) {
                break;
            }
            const char* text = line;
            const std::uintptr_t low = read_hex(text, newline);
            ++text;  // the '-'
            const std::uintptr_t high = read_hex(text, newline);
            if (low <= address && address < high) {
                constexpr char stack_name[] = "[stack]";
                constexpr std::size_t name_length = sizeof stack_name - 1;
                const auto length = static_cast<std::size_t>(newline - line);
                found.low = low;
                found.high = high;
                found.main_stack = length >= name_length &&
                                   std::memcmp(newline - name_length, stack_name, name_length) == 0;
                located = true;
                break;
            }
            line = newline + 1;
        }
        if (located) {
            break;
        }
        // Keep the unfinished line; a line longer than the buffer is dropped.
        const auto rest = static_cast<std::size_t>(end - line);
        if (rest == sizeof buffer) {
            held = 0;
        } else {
            std::memmove(buffer, line, rest);
            held = rest;
        }
    }
    close(fd);
    return located;
}

// The lowest address a frame of the calling thread may take before the
// walkers stop: its stack's end (the stack grows down) plus a margin for
// what runs above the walk. 0 when there is nothing to measure: on the main
// thread, whose stack grows on demand up to a limit the interpreter's count
// was made for, or where the stack cannot be found.
std::uintptr_t find_limit() noexcept {
    Mapping stack;
    // A local's address stands for the frame's: the margin dwarfs the gap.
    char marker;
    const auto here = reinterpret_cast<std::uintptr_t>(&marker);
    if (!find_mapping(here, stack) || stack.main_stack) {
        return 0;
    }
    // A quarter of the stack, and at most 64 KiB.
    constexpr std::uintptr_t largest_margin = std::uintptr_t{64} * 1024;
    const std::uintptr_t size = stack.high - stack.low;
    const std::uintptr_t margin = size / 4 < largest_margin ? size / 4 : largest_margin;
    return stack.low + margin;
}

#else

std::uintptr_t find_limit() noexcept { return 0; }

#endif

// Each thread's limit, found on its first use. Constant-initialised and of
// the initial-exec model, so that reaching it is one load and needs nothing
// of the dynamic loader at run time.
[[gnu::tls_model("initial-exec")]] thread_local std::uintptr_t thread_limit = 0;
[[gnu::tls_model("initial-exec")]] thread_local bool thread_limit_found = false;

}  // namespace

bool stack_nearly_exhausted() noexcept {
    if (!thread_limit_found) {
        thread_limit = find_limit();
        thread_limit_found = true;
    }
    // A local's address stands for the frame's: the margin dwarfs the gap.
    char marker;
    const auto here = reinterpret_cast<std::uintptr_t>(&marker);
    return here < thread_limit;
}

}  // namespace velka

#endif
