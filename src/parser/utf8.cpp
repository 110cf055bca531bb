// Strict UTF-8 validation, which decides the encoding of every input and so reads every byte of
// it: with vector instructions where the processor has them, for the ASCII and two-byte
// (Cyrillic) characters that statements are made of, and a character at a time for the rest.
#include "utf8.hpp"

#include <cstring>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <cpuid.h>
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#if (defined(VEXDAL_FORCE_KERNEL_SSE2) && !defined(__SSE2__)) || \
    (defined(VEXDAL_FORCE_KERNEL_AVX2) &&                        \
     !(defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))))
#error "VEXDAL_FORCE_KERNEL names a kernel this target cannot build"
#endif

namespace vexdal {
namespace {

constexpr std::uint8_t byte_at(std::string_view bytes, std::size_t i) noexcept {
  return static_cast<std::uint8_t>(bytes[i]);
}

// The length of the well-formed character at i, or 0 if there is none; ASCII and Cyrillic pairs
// without the general scan.
std::size_t character_length(std::string_view bytes, std::size_t i) noexcept {
  const std::uint8_t lead = byte_at(bytes, i);
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF && bytes.size() - i >= 2 &&
      (byte_at(bytes, i + 1) & 0xC0) == 0x80) {
    return 2;
  }
  const Sequence sequence = scan_sequence({bytes.data() + i, bytes.size() - i});
  return sequence.complete ? sequence.length : 0;
}

// One character at a time, with long ASCII runs passed over eight bytes at a time.
std::size_t scalar_prefix(std::string_view bytes, std::size_t i) noexcept {
  constexpr std::uint64_t high_bits = 0x8080808080808080u;
  const std::size_t size = bytes.size();
  while (i < size) {
    if (byte_at(bytes, i) < 0x80) {
      for (std::uint64_t word; size - i >= 8; i += 8) {
        std::memcpy(&word, bytes.data() + i, sizeof word);
        if ((word & high_bits) != 0) break;
      }
      while (i < size && byte_at(bytes, i) < 0x80) ++i;
      continue;
    }
    const std::size_t length = character_length(bytes, i);
    if (length == 0) return i;
    i += length;
  }
  return size;
}

// The vector check takes 64 bytes at a time, starting on a character boundary, and settles them
// when they hold only ASCII and two-byte characters (C2..DF followed by 80..BF), which is what
// statements are made of: every continuation byte must follow a lead byte and every lead byte
// must be followed by one; the byte before each position comes from the previous block, so a
// pair may straddle two blocks. Any other byte (C0, C1, E0 and above) or a broken pair stops it.
// It returns the boundary it stopped at: the start of the block it could not settle, or the lead
// byte just before it whose continuation lies in that block.
constexpr std::size_t vector_block = 64;

// Unused where no vector check is built.
[[maybe_unused]] std::size_t stop_boundary(std::string_view bytes, std::size_t start,
                                           std::size_t at) noexcept {
  if (at == start) return at;
  const std::uint8_t last = byte_at(bytes, at - 1);
  return last >= 0xC2 && last <= 0xDF ? at - 1 : at;
}

#if defined(__SSE2__)
// Signed byte comparisons: 80..BF are -128..-65, C0..DF are -64..-33, E0..FF are -32..-1.
[[maybe_unused]] std::size_t sse2_run(std::string_view bytes, std::size_t start) noexcept {
  const __m128i below_c0 = _mm_set1_epi8(-64);
  const __m128i from_c0 = _mm_set1_epi8(-65);
  const __m128i from_c2 = _mm_set1_epi8(-63);
  const __m128i below_c2 = _mm_set1_epi8(-62);
  const __m128i from_e0 = _mm_set1_epi8(-33);
  const __m128i below_e0 = _mm_set1_epi8(-32);
  const __m128i zero = _mm_setzero_si128();
  std::size_t i = start;
  __m128i previous = zero;
  while (bytes.size() - i >= vector_block) {
    __m128i faults = zero;
    for (std::size_t k = 0; k < vector_block; k += 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + i + k));
      const __m128i before = _mm_or_si128(_mm_slli_si128(block, 1), _mm_srli_si128(previous, 15));
      const __m128i after_lead =
          _mm_and_si128(_mm_cmpgt_epi8(before, from_c2), _mm_cmplt_epi8(before, below_e0));
      const __m128i continuation = _mm_cmplt_epi8(block, below_c0);
      const __m128i other = _mm_or_si128(
          _mm_and_si128(_mm_cmpgt_epi8(block, from_e0), _mm_cmplt_epi8(block, zero)),
          _mm_and_si128(_mm_cmpgt_epi8(block, from_c0), _mm_cmplt_epi8(block, below_c2)));
      faults = _mm_or_si128(faults, _mm_or_si128(_mm_xor_si128(after_lead, continuation), other));
      previous = block;
    }
    if (_mm_movemask_epi8(faults) != 0) break;
    i += vector_block;
  }
  return stop_boundary(bytes, start, i);
}
#endif

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define VEXDAL_HAVE_AVX2 1
// Whether the processor has AVX2 and the system saves its 256-bit registers, asked of the
// processor itself: __builtin_cpu_supports reads a table the compiler's runtime library fills
// in, and the one Zig links into the manylinux wheels leaves it empty, so they would never
// take the AVX2 check.
[[maybe_unused]] bool processor_has_avx2() noexcept {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  constexpr unsigned osxsave = 1u << 27, avx = 1u << 28, avx2 = 1u << 5;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & (osxsave | avx)) != (osxsave | avx))
    return false;
  unsigned saved = 0, high = 0;  // XCR0: bits 1 and 2 are the SSE and AVX register state
  __asm__("xgetbv" : "=a"(saved), "=d"(high) : "c"(0));
  if ((saved & 6u) != 6u) return false;
  return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ebx & avx2) != 0;
}

// The same check 32 bytes at a time, for processors that have AVX2; chosen at run time.
[[maybe_unused]] __attribute__((target("avx2"))) std::size_t avx2_run(std::string_view bytes,
                                                                      std::size_t start) noexcept {
  const __m256i below_c0 = _mm256_set1_epi8(-64);
  const __m256i from_c0 = _mm256_set1_epi8(-65);
  const __m256i from_c2 = _mm256_set1_epi8(-63);
  const __m256i below_c2 = _mm256_set1_epi8(-62);
  const __m256i from_e0 = _mm256_set1_epi8(-33);
  const __m256i below_e0 = _mm256_set1_epi8(-32);
  const __m256i zero = _mm256_setzero_si256();
  std::size_t i = start;
  __m256i previous = zero;
  while (bytes.size() - i >= vector_block) {
    __m256i faults = zero;
    for (std::size_t k = 0; k < vector_block; k += 32) {
      const __m256i block =
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes.data() + i + k));
      const __m256i before =
          _mm256_alignr_epi8(block, _mm256_permute2x128_si256(previous, block, 0x21), 15);
      const __m256i after_lead =
          _mm256_and_si256(_mm256_cmpgt_epi8(before, from_c2), _mm256_cmpgt_epi8(below_e0, before));
      const __m256i continuation = _mm256_cmpgt_epi8(below_c0, block);
      const __m256i other = _mm256_or_si256(
          _mm256_and_si256(_mm256_cmpgt_epi8(block, from_e0), _mm256_cmpgt_epi8(zero, block)),
          _mm256_and_si256(_mm256_cmpgt_epi8(block, from_c0), _mm256_cmpgt_epi8(below_c2, block)));
      faults = _mm256_or_si256(faults,
                               _mm256_or_si256(_mm256_xor_si256(after_lead, continuation), other));
      previous = block;
    }
    if (_mm256_movemask_epi8(faults) != 0) break;
    i += vector_block;
  }
  return stop_boundary(bytes, start, i);
}
#endif

using VectorRun = std::size_t (*)(std::string_view, std::size_t) noexcept;

struct Kernel {
  VectorRun run;  // nullptr: a character at a time throughout
  const char* name;
};

// The widest vector check this processor runs, or none. A test build may force one
// (VEXDAL_FORCE_KERNEL in CMake), so that each is tested on a machine that would choose another.
Kernel choose_kernel() noexcept {
#if defined(VEXDAL_FORCE_KERNEL_SCALAR)
  return {nullptr, "scalar"};
#elif defined(VEXDAL_FORCE_KERNEL_SSE2)
  return {sse2_run, "sse2"};
#elif defined(VEXDAL_FORCE_KERNEL_AVX2)
  return {avx2_run, "avx2"};
#else
#if defined(VEXDAL_HAVE_AVX2)
  if (processor_has_avx2()) return {avx2_run, "avx2"};
#endif
#if defined(__SSE2__)
  return {sse2_run, "sse2"};
#else
  return {nullptr, "scalar"};
#endif
#endif
}

const Kernel& kernel() noexcept {
  static const Kernel chosen = choose_kernel();
  return chosen;
}

}  // namespace

// The second byte's range rules out overlong forms (E0, F0), surrogates (ED) and code points
// above U+10FFFF (F4); further continuation bytes are always 80 to BF.
Sequence scan_sequence(std::string_view bytes) noexcept {
  const std::uint8_t lead = byte_at(bytes, 0);
  if (lead < 0x80) return {1, true};
  std::size_t continuations = 0;
  std::uint8_t lower = 0x80;
  std::uint8_t upper = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    continuations = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    continuations = 2;
    if (lead == 0xE0) lower = 0xA0;
    if (lead == 0xED) upper = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    continuations = 3;
    if (lead == 0xF0) lower = 0x90;
    if (lead == 0xF4) upper = 0x8F;
  } else {
    return {1, false};
  }
  for (std::size_t i = 1; i <= continuations; ++i) {
    if (i == bytes.size()) return {i, false};
    const std::uint8_t next = byte_at(bytes, i);
    if (next < lower || next > upper) return {i, false};
    lower = 0x80;
    upper = 0xBF;
  }
  return {continuations + 1, true};
}

std::size_t valid_utf8_prefix(std::string_view bytes) noexcept {
  const VectorRun run = kernel().run;
  if (run == nullptr) return scalar_prefix(bytes, 0);
  std::size_t i = 0;
  for (;;) {
    i = run(bytes, i);
    if (bytes.size() - i < vector_block) return scalar_prefix(bytes, i);
    // A block the vector check could not settle: the general scan takes it a character at a
    // time, up to the first boundary at or past its end, and finds any fault in it.
    const std::size_t stop = i + vector_block;
    while (i < stop) {
      const std::size_t length = character_length(bytes, i);
      if (length == 0) return i;
      i += length;
    }
  }
}

const char* utf8_kernel_name() noexcept { return kernel().name; }

}  // namespace vexdal
