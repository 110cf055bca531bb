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

// For the decoder below: per mask of the eight two-byte lanes to keep, the byte shuffle that
// moves them, in order, to the front, and how many there are.
struct LaneGather {
  alignas(16) std::uint8_t shuffle[256][16];
  std::uint8_t count[256];
};

constexpr LaneGather lane_gather = [] {
  LaneGather table{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned kept = 0;
    for (unsigned lane = 0; lane < 8; ++lane) {
      if ((mask >> lane & 1u) == 0) continue;
      table.shuffle[mask][2 * kept] = static_cast<std::uint8_t>(2 * lane);
      table.shuffle[mask][2 * kept + 1] = static_cast<std::uint8_t>(2 * lane + 1);
      ++kept;
    }
    for (unsigned byte = 2 * kept; byte < 16; ++byte) table.shuffle[mask][byte] = 0x80;  // zero
    table.count[mask] = static_cast<std::uint8_t>(kept);
  }
  return table;
}();

// One character at *i (of at most three bytes) into out[*written]; false where there is none.
[[maybe_unused]] bool decode_one(std::string_view bytes, std::size_t& i, std::uint16_t* out,
                                 std::size_t& written, std::size_t expected) noexcept {
  const std::size_t left = bytes.size() - i;
  const std::uint32_t lead = byte_at(bytes, i);
  if (written == expected || (lead & 0xC0u) == 0x80u) return false;
  if (lead < 0x80) {
    out[written++] = static_cast<std::uint16_t>(lead);
    i += 1;
  } else if (lead < 0xE0 && left >= 2) {
    out[written++] =
        static_cast<std::uint16_t>((lead & 0x1Fu) << 6 | (byte_at(bytes, i + 1) & 0x3Fu));
    i += 2;
  } else if (lead < 0xF0 && left >= 3) {
    out[written++] = static_cast<std::uint16_t>((lead & 0x0Fu) << 12 |
                                                (byte_at(bytes, i + 1) & 0x3Fu) << 6 |
                                                (byte_at(bytes, i + 2) & 0x3Fu));
    i += 3;
  } else {
    return false;
  }
  return true;
}

// decode_utf8_ucs2 sixteen bytes a step, for processors with AVX2 (which have the byte shuffle
// it needs). A step of ASCII and two-byte characters, starting on a character boundary, is
// decoded in place: each lead byte with the byte after it, each continuation byte dropped by a
// shuffle from the table above; a lead byte in the last place waits for the next step. A step
// with a byte of E0 and above is read a character at a time. The last bytes, and any step whose
// sixteen units would not fit in what is left of the output, go through a zero-padded copy.
[[maybe_unused]] __attribute__((target("avx2"))) bool avx2_decode(std::string_view bytes,
                                                                  std::uint16_t* out,
                                                                  std::size_t expected) noexcept {
  const __m128i below_c0 = _mm_set1_epi8(-64);  // as signed bytes, 80..BF are below C0
  const __m128i from_e0 = _mm_set1_epi8(-33);
  const __m128i zero = _mm_setzero_si128();
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  std::size_t written = 0;
  while (i < size) {
    const std::size_t left = size - i;
    const bool direct = left >= 16 && expected - written >= 16;
    alignas(16) std::uint8_t padded[16] = {};
    if (!direct) std::memcpy(padded, bytes.data() + i, left < 16 ? left : 16);
    const __m128i block =
        direct ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + i))
               : _mm_load_si128(reinterpret_cast<const __m128i*>(padded));
    const __m128i negative = _mm_cmplt_epi8(block, zero);
    const __m128i continuation = _mm_cmplt_epi8(block, below_c0);
    if (_mm_movemask_epi8(_mm_and_si128(negative, _mm_cmpgt_epi8(block, from_e0))) != 0) {
      const std::size_t stop = i + (left < 16 ? left : 16);
      while (i < stop) {
        if (!decode_one(bytes, i, out, written, expected)) return false;
      }
      continue;
    }
    const __m128i lead = _mm_andnot_si128(continuation, negative);
    const unsigned leads = static_cast<unsigned>(_mm_movemask_epi8(lead));
    const unsigned continuations = static_cast<unsigned>(_mm_movemask_epi8(continuation));
    // Every continuation byte follows a lead byte and every lead byte but a last one has one;
    // the padding after the end is zeros, so a lead byte at the very end fails here.
    if (continuations != ((leads << 1) & 0xFFFFu)) return false;
    const std::size_t real = left < 16 ? left : 16;
    const bool lead_waits = real == 16 && (leads & 0x8000u) != 0;
    const std::size_t taken = lead_waits ? 15 : real;
    const unsigned keep = ~continuations & ((1u << taken) - 1u);
    // Low byte of a unit: ASCII as it is, or the lead's two low bits over the next byte's six;
    // high byte: zero, or the lead's bits 2 to 4. The 16-bit shifts keep to each byte once
    // masked.
    const __m128i next = _mm_srli_si128(block, 1);
    const __m128i paired = _mm_or_si128(_mm_and_si128(_mm_slli_epi16(block, 6), _mm_set1_epi8(-64)),
                                        _mm_and_si128(next, _mm_set1_epi8(0x3F)));
    const __m128i low = _mm_or_si128(_mm_and_si128(lead, paired), _mm_andnot_si128(lead, block));
    const __m128i high = _mm_and_si128(lead, _mm_and_si128(_mm_srli_epi16(block, 2),
                                                           _mm_set1_epi8(0x07)));
    const unsigned first = keep & 0xFFu;
    const unsigned second = keep >> 8;
    const __m128i units_first = _mm_shuffle_epi8(
        _mm_unpacklo_epi8(low, high),
        _mm_load_si128(reinterpret_cast<const __m128i*>(lane_gather.shuffle[first])));
    const __m128i units_second = _mm_shuffle_epi8(
        _mm_unpackhi_epi8(low, high),
        _mm_load_si128(reinterpret_cast<const __m128i*>(lane_gather.shuffle[second])));
    const std::size_t count = std::size_t{lane_gather.count[first]} + lane_gather.count[second];
    if (direct) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + written), units_first);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + written + lane_gather.count[first]),
                       units_second);
    } else {
      if (expected - written < count) return false;
      alignas(16) std::uint16_t units[16];
      _mm_store_si128(reinterpret_cast<__m128i*>(units), units_first);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(units + lane_gather.count[first]), units_second);
      std::memcpy(out + written, units, count * sizeof units[0]);
    }
    written += count;
    i += taken;
  }
  return written == expected;
}
#endif

using VectorRun = std::size_t (*)(std::string_view, std::size_t) noexcept;
using VectorDecode = bool (*)(std::string_view, std::uint16_t*, std::size_t) noexcept;

struct Kernel {
  VectorRun run;        // nullptr: a character at a time throughout
  VectorDecode decode;  // nullptr: decode_utf8_units or decode_utf8_pairs throughout
  const char* name;
};

// The widest vector check this processor runs, or none. A test build may force one
// (VEXDAL_FORCE_KERNEL in CMake), so that each is tested on a machine that would choose another.
Kernel choose_kernel() noexcept {
#if defined(VEXDAL_FORCE_KERNEL_SCALAR)
  return {nullptr, nullptr, "scalar"};
#elif defined(VEXDAL_FORCE_KERNEL_SSE2)
  return {sse2_run, nullptr, "sse2"};
#elif defined(VEXDAL_FORCE_KERNEL_AVX2)
  return {avx2_run, avx2_decode, "avx2"};
#else
#if defined(VEXDAL_HAVE_AVX2)
  if (processor_has_avx2()) return {avx2_run, avx2_decode, "avx2"};
#endif
#if defined(__SSE2__)
  return {sse2_run, nullptr, "sse2"};
#else
  return {nullptr, nullptr, "scalar"};
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

bool decode_utf8_ucs2(std::string_view utf8, std::uint16_t* out, std::size_t expected,
                      bool pairs_only) noexcept {
  if (const VectorDecode decode = kernel().decode) return decode(utf8, out, expected);
  return pairs_only ? decode_utf8_pairs(utf8, out, expected)
                    : decode_utf8_units(utf8, out, expected);
}

const char* utf8_kernel_name() noexcept { return kernel().name; }

}  // namespace vexdal
