#include "pareto/chacha.hpp"

#include <cstring>

#include "pareto/check.hpp"
#include "pareto/platform.hpp"

namespace trelvik {

namespace {

constexpr uint32_t rekey_interval = 65536;  // bytes of output per key

inline uint32_t rotl(uint32_t x, int b) { return (x << b) | (x >> (32 - b)); }

inline void quarter_round(uint32_t* x, int a, int b, int c, int d) {
    x[a] += x[b]; x[d] ^= x[a]; x[d] = rotl(x[d], 16);
    x[c] += x[d]; x[b] ^= x[c]; x[b] = rotl(x[b], 12);
    x[a] += x[b]; x[d] ^= x[a]; x[d] = rotl(x[d], 8);
    x[c] += x[d]; x[b] ^= x[c]; x[b] = rotl(x[b], 7);
}

void rekey(RandomGenerator& rng) {
    static const uint32_t constants[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    uint32_t key[8];
    if (!system_random_bytes(key, sizeof key))
        fail_check("could not read random bytes from the operating system");
    std::memcpy(rng.state, constants, sizeof constants);
    std::memcpy(rng.state + 4, key, sizeof key);
    std::memset(rng.state + 12, 0, 4 * sizeof(uint32_t));  // counter and nonce
    std::memset(key, 0, sizeof key);
    rng.next_word = 16;
    rng.bytes_since_key = 0;
    rng.keyed = true;
    rng.fork_generation = fork_generation();
}

void refill(RandomGenerator& rng) {
    if (rng.bytes_since_key >= rekey_interval) rekey(rng);
    chacha_block(rng.state, 12, rng.block);
    if (++rng.state[12] == 0) ++rng.state[13];  // 64-bit block counter
    rng.bytes_since_key += 64;
    rng.next_word = 0;
}

// Plain data, so the per-thread object needs no constructor or destructor.
thread_local RandomGenerator generator{};

}  // namespace

void chacha_block(const uint32_t input[16], int rounds, uint32_t output[16]) {
    uint32_t x[16];
    std::memcpy(x, input, sizeof x);
    for (int i = 0; i < rounds; i += 2) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) output[i] = x[i] + input[i];
}

RandomGenerator& thread_generator() {
    if (!generator.keyed || generator.fork_generation != fork_generation()) rekey(generator);
    return generator;
}

uint32_t next_u32(RandomGenerator& rng) {
    if (rng.next_word >= 16) refill(rng);
    return rng.block[rng.next_word++];
}

uint64_t next_u64(RandomGenerator& rng) {
    const uint64_t low = next_u32(rng);
    return low | (uint64_t{next_u32(rng)} << 32);
}

uint64_t uniform_index(RandomGenerator& rng, uint64_t count) {
    if (count <= UINT32_MAX) {
        const uint64_t product = uint64_t{next_u32(rng)} * count;
        uint64_t index = product >> 32;
        const uint32_t low = static_cast<uint32_t>(product);
        if (low > static_cast<uint32_t>(0u - static_cast<uint32_t>(count))) {
            const uint64_t extra = (uint64_t{next_u32(rng)} * count) >> 32;
            if (uint64_t{low} + extra > UINT32_MAX) ++index;
        }
        return index;
    }
    const unsigned __int128 product = static_cast<unsigned __int128>(next_u64(rng)) * count;
    uint64_t index = static_cast<uint64_t>(product >> 64);
    const uint64_t low = static_cast<uint64_t>(product);
    if (low > 0 - count) {
        const uint64_t extra =
            static_cast<uint64_t>((static_cast<unsigned __int128>(next_u64(rng)) * count) >> 64);
        if (low + extra < low) ++index;  // carry out of 64 bits
    }
    return index;
}

}  // namespace trelvik
