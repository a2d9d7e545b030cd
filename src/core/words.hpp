// Several bytes handled as one machine word, with the byte order fixed here
// and nowhere else.
//
// The digit scanning and formatting work on words whose first byte in
// memory is the lowest (load_le, store_le); the key sort wants the first
// byte highest, so that words order as their bytes do (load_be). On a host
// of the other order the load or store swaps the bytes, which compilers turn
// into one instruction; on a host of the matching order it is a plain move.
// Where only equality matters, the host's own order serves (load_host).
#pragma once

#include <bit>
#include <concepts>
#include <cstdint>
#include <cstring>

namespace velka {

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "bytes in words are ordered either little- or big-endian");

// The bytes of `value` in reverse order, written as shifts and masks, the
// form that compilers recognise as a single byte-swap instruction.
constexpr std::uint16_t byte_swap(std::uint16_t value) noexcept {
    return static_cast<std::uint16_t>(value << 8 | value >> 8);
}

constexpr std::uint32_t byte_swap(std::uint32_t value) noexcept {
    return value << 24 | (value & 0x0000FF00U) << 8 | (value & 0x00FF0000U) >> 8 | value >> 24;
}

constexpr std::uint64_t byte_swap(std::uint64_t value) noexcept {
    return value << 56 | (value & 0x000000000000FF00ULL) << 40 |
           (value & 0x0000000000FF0000ULL) << 24 | (value & 0x00000000FF000000ULL) << 8 |
           (value & 0x000000FF00000000ULL) >> 8 | (value & 0x0000FF0000000000ULL) >> 24 |
           (value & 0x00FF000000000000ULL) >> 40 | value >> 56;
}

// A word of sizeof(Word) bytes at `at`, in the host's order: for comparing
// words for equality, where the order does not matter.
template <std::unsigned_integral Word>
inline Word load_host(const void* at) noexcept {
    Word word;
    std::memcpy(&word, at, sizeof(Word));
    return word;
}

// The bytes at `at` as a word whose lowest byte is the first one.
template <std::unsigned_integral Word>
inline Word load_le(const void* at) noexcept {
    const Word word = load_host<Word>(at);
    if constexpr (std::endian::native == std::endian::big) {
        return byte_swap(word);
    } else {
        return word;
    }
}

// The bytes at `at` as a word whose highest byte is the first one.
template <std::unsigned_integral Word>
inline Word load_be(const void* at) noexcept {
    const Word word = load_host<Word>(at);
    if constexpr (std::endian::native == std::endian::little) {
        return byte_swap(word);
    } else {
        return word;
    }
}

// Stores `word` at `at` lowest byte first.
template <std::unsigned_integral Word>
inline void store_le(void* at, Word word) noexcept {
    if constexpr (std::endian::native == std::endian::big) {
        word = byte_swap(word);
    }
    std::memcpy(at, &word, sizeof(Word));
}

}  // namespace velka
