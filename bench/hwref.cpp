// Hardware reference for the token estimator: count the code points in
// [U+4E00, U+9FFF] and [U+3400, U+4DBF] in a plain array of 2-byte or 4-byte
// units, as fast as the compiler's auto-vectoriser makes it. The benchmark
// runner builds this file with `g++ -O3 -march=native -shared -fPIC` and
// loads it with ctypes; the estimator's time over the same text is then
// compared with this loop's.
//
// The count is kept in a counter as wide as the element inside blocks of at
// most 2^15 elements (16-bit lanes for 16-bit input, 32-bit lanes for 32-bit
// input), so the vectoriser never has to widen inside the hot loop.
#include <cstddef>
#include <cstdint>

namespace {

template <typename Unit>
inline std::size_t count_block(const Unit *p, std::size_t n) {
    Unit count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Unit v = p[i];
        const bool unified = static_cast<Unit>(v - 0x4E00u) <= static_cast<Unit>(0x9FFFu - 0x4E00u);
        const bool ext_a = static_cast<Unit>(v - 0x3400u) <= static_cast<Unit>(0x4DBFu - 0x3400u);
        count += static_cast<Unit>(unified | ext_a);
    }
    return count;
}

template <typename Unit>
std::size_t count_cjk(const Unit *p, std::size_t n) {
    constexpr std::size_t kBlock = std::size_t{1} << 15;
    std::size_t total = 0;
    while (n > 0) {
        const std::size_t len = n < kBlock ? n : kBlock;
        total += count_block(p, len);
        p += len;
        n -= len;
    }
    return total;
}

template <typename Unit>
std::size_t repeat(const Unit *p, std::size_t n, std::size_t reps) {
    std::size_t last = 0;
    for (std::size_t r = 0; r < reps; ++r) {
        // Make the buffer look new to the optimiser on every pass so the
        // count is not hoisted out of the loop.
        asm volatile("" : "+r"(p) : : "memory");
        last = count_cjk(p, n);
        asm volatile("" : : "r"(last) : "memory");
    }
    return last;
}

}  // namespace

extern "C" {

std::size_t hwref_count_u16(const std::uint16_t *p, std::size_t n) { return count_cjk(p, n); }
std::size_t hwref_count_u32(const std::uint32_t *p, std::size_t n) { return count_cjk(p, n); }

// Run the count `reps` times back to back; one foreign call per timing value
// keeps the ctypes overhead out of the measurement.
std::size_t hwref_repeat_u16(const std::uint16_t *p, std::size_t n, std::size_t reps) { return repeat(p, n, reps); }
std::size_t hwref_repeat_u32(const std::uint32_t *p, std::size_t n, std::size_t reps) { return repeat(p, n, reps); }

}
