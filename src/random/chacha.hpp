// The ChaCha block function (RFC 8439 layout: 4 constant words, 8 key words,
// a block counter and 3 nonce words) and a per-thread ChaCha12 generator
// keyed from the operating system and rekeyed after every 64 KiB of output.
// A forked child rekeys before its first draw, so that it never repeats what
// its parent draws.
#pragma once

#include <cstdint>

namespace trelvik {

// One 64-byte block as 16 little-endian words, after `rounds` rounds (20 for
// ChaCha20, 12 for ChaCha12). `input` is the initial state.
void chacha_block(const uint32_t input[16], int rounds, uint32_t output[16]);

struct RandomGenerator {
    uint32_t state[16];    // key, counter and nonce in RFC 8439 layout
    uint32_t block[16];    // the current output block
    unsigned next_word;    // next unread word of `block`; 16 when used up
    uint32_t bytes_since_key;
    bool keyed;
    uint64_t fork_generation;  // of the process that keyed it
};

// The calling thread's generator, keyed on its first use in this process.
RandomGenerator& thread_generator();

uint32_t next_u32(RandomGenerator& rng);
uint64_t next_u64(RandomGenerator& rng);

// A uniform integer in [0, count), count >= 1, by widening multiplication;
// when the low half of the product leaves doubt, one more word decides.
uint64_t uniform_index(RandomGenerator& rng, uint64_t count);

}  // namespace trelvik
