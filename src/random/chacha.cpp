#include "random/chacha.hpp"

#include <cstring>

#include "core/check.hpp"
#include "core/platform.hpp"

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

// The 128-bit product of a and b: returns the high half, stores the low one.
uint64_t multiply_wide(uint64_t a, uint64_t b, uint64_t& low) {
    const uint64_t a_low = a & 0xFFFFFFFF, a_high = a >> 32, b_low = b & 0xFFFFFFFF, b_high = b >> 32;
    const uint64_t low_low = a_low * b_low, high_low = a_high * b_low;
    const uint64_t low_high = a_low * b_high, high_high = a_high * b_high;
    const uint64_t middle = (low_low >> 32) + (high_low & 0xFFFFFFFF) + low_high;
    low = (middle << 32) | (low_low & 0xFFFFFFFF);
    return high_high + (high_low >> 32) + (middle >> 32);
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
    uint64_t low;
    uint64_t index = multiply_wide(next_u64(rng), count, low);
    if (low > 0 - count) {
        uint64_t ignored;
        const uint64_t extra = multiply_wide(next_u64(rng), count, ignored);
        if (low + extra < low) ++index;  // carry out of 64 bits
    }
    return index;
}

}  // namespace trelvik
