// Pieces shared by the forms of the ChaCha block function: the input state layout, and the
// vector forms chosen at run time by the processor's features.
#pragma once

#include <cstdint>

#include "simulation/random.hpp"

namespace vostrel::chacha {

// The 16-word input: "expand 32-byte k", the key, the 64-bit block counter (low word first),
// the 64-bit stream id (low word first).
inline void fill_input(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream_id,
                       std::uint32_t input[16]) {
    input[0] = 0x61707865u;
    input[1] = 0x3320646eu;
    input[2] = 0x79622d32u;
    input[3] = 0x6b206574u;
    for (int k = 0; k < 8; ++k) input[4 + k] = key[k];
    input[12] = std::uint32_t(counter);
    input[13] = std::uint32_t(counter >> 32);
    input[14] = std::uint32_t(stream_id);
    input[15] = std::uint32_t(stream_id >> 32);
}

// Whether the processor runs a vector variant, and that variant's function (nullptr when it is
// not built for this target or the round count is not 8, 12 or 20).
bool simd_supported(ChachaVariant variant);
ChachaFourBlocks simd_four_blocks(ChachaVariant variant, int rounds);
// Sixteen consecutive blocks at once where a variant computes them faster than four calls of its
// four-block function (block b at out[16 b]); nullptr where it does not.
ChachaSixteenBlocks simd_sixteen_blocks(ChachaVariant variant, int rounds);

}  // namespace vostrel::chacha
