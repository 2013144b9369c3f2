// The ChaCha block function, run with 20 rounds, against the published
// ChaCha20 vectors of RFC 8439 (sections 2.3.2 and 2.4.2); the generator uses
// the same function with 12 rounds.
#include <cstdint>
#include <cstring>
#include <vector>

#include "expect.hpp"
#include "random/chacha.hpp"

namespace {

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

void initial_state(const uint8_t key[32], uint32_t counter, const uint8_t nonce[12], uint32_t state[16]) {
    state[0] = 0x61707865;
    state[1] = 0x3320646e;
    state[2] = 0x79622d32;
    state[3] = 0x6b206574;
    for (int i = 0; i < 8; ++i) state[4 + i] = le32(key + 4 * i);
    state[12] = counter;
    for (int i = 0; i < 3; ++i) state[13 + i] = le32(nonce + 4 * i);
}

std::vector<uint8_t> serialize(const uint32_t block[16]) {
    std::vector<uint8_t> bytes(64);
    for (int i = 0; i < 16; ++i)
        for (int b = 0; b < 4; ++b) bytes[4 * i + b] = static_cast<uint8_t>(block[i] >> (8 * b));
    return bytes;
}

}  // namespace

int main() {
    uint8_t key[32];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i);

    {  // 2.3.2: one block, counter 1
        const uint8_t nonce[12] = {0, 0, 0, 0x09, 0, 0, 0, 0x4a, 0, 0, 0, 0};
        const uint8_t expected[64] = {
            0x10, 0xf1, 0xe7, 0xe4, 0xd1, 0x3b, 0x59, 0x15, 0x50, 0x0f, 0xdd, 0x1f, 0xa3, 0x20, 0x71, 0xc4,
            0xc7, 0xd1, 0xf4, 0xc7, 0x33, 0xc0, 0x68, 0x03, 0x04, 0x22, 0xaa, 0x9a, 0xc3, 0xd4, 0x6c, 0x4e,
            0xd2, 0x82, 0x64, 0x46, 0x07, 0x9f, 0xaa, 0x09, 0x14, 0xc2, 0xd7, 0x05, 0xd9, 0x8b, 0x02, 0xa2,
            0xb5, 0x12, 0x9c, 0xd1, 0xde, 0x16, 0x4e, 0xb9, 0xcb, 0xd0, 0x83, 0xe8, 0xa2, 0x50, 0x3c, 0x4e};
        uint32_t state[16], block[16];
        initial_state(key, 1, nonce, state);
        trelvik::chacha_block(state, 20, block);
        const std::vector<uint8_t> bytes = serialize(block);
        EXPECT(std::memcmp(bytes.data(), expected, 64) == 0, "block of section 2.3.2 differs");
    }

    {  // 2.4.2: encryption of 114 bytes, counter 1
        const uint8_t nonce[12] = {0, 0, 0, 0, 0, 0, 0, 0x4a, 0, 0, 0, 0};
        const char plaintext[] =
            "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
            "future, sunscreen would be it.";
        const uint8_t expected[114] = {
            0x6e, 0x2e, 0x35, 0x9a, 0x25, 0x68, 0xf9, 0x80, 0x41, 0xba, 0x07, 0x28, 0xdd, 0x0d, 0x69, 0x81,
            0xe9, 0x7e, 0x7a, 0xec, 0x1d, 0x43, 0x60, 0xc2, 0x0a, 0x27, 0xaf, 0xcc, 0xfd, 0x9f, 0xae, 0x0b,
            0xf9, 0x1b, 0x65, 0xc5, 0x52, 0x47, 0x33, 0xab, 0x8f, 0x59, 0x3d, 0xab, 0xcd, 0x62, 0xb3, 0x57,
            0x16, 0x39, 0xd6, 0x24, 0xe6, 0x51, 0x52, 0xab, 0x8f, 0x53, 0x0c, 0x35, 0x9f, 0x08, 0x61, 0xd8,
            0x07, 0xca, 0x0d, 0xbf, 0x50, 0x0d, 0x6a, 0x61, 0x56, 0xa3, 0x8e, 0x08, 0x8a, 0x22, 0xb6, 0x5e,
            0x52, 0xbc, 0x51, 0x4d, 0x16, 0xcc, 0xf8, 0x06, 0x81, 0x8c, 0xe9, 0x1a, 0xb7, 0x79, 0x37, 0x36,
            0x5a, 0xf9, 0x0b, 0xbf, 0x74, 0xa3, 0x5b, 0xe6, 0xb4, 0x0b, 0x8e, 0xed, 0xf2, 0x78, 0x5e, 0x42,
            0x87, 0x4d};
        static_assert(sizeof plaintext - 1 == 114);
        std::vector<uint8_t> ciphertext;
        for (uint32_t counter = 1; ciphertext.size() < 114; ++counter) {
            uint32_t state[16], block[16];
            initial_state(key, counter, nonce, state);
            trelvik::chacha_block(state, 20, block);
            for (uint8_t byte : serialize(block)) {
                if (ciphertext.size() == 114) break;
                ciphertext.push_back(byte ^ static_cast<uint8_t>(plaintext[ciphertext.size()]));
            }
        }
        EXPECT(std::memcmp(ciphertext.data(), expected, 114) == 0, "ciphertext of section 2.4.2 differs");
    }

    {  // The generator's index draws stay in range, for small and for 64-bit counts.
        trelvik::RandomGenerator& rng = trelvik::thread_generator();
        const uint64_t counts[] = {1, 2, 3, 7, 1000, 4294967295ull, 4294967296ull, 1ull << 63, UINT64_MAX};
        for (uint64_t count : counts)
            for (int i = 0; i < 20000; ++i) {
                const uint64_t index = trelvik::uniform_index(rng, count);
                EXPECT(index < count, "index %llu for count %llu", (unsigned long long)index,
                       (unsigned long long)count);
            }
        // 64-bit draws reach the upper half of a huge range about half the time.
        int upper = 0;
        for (int i = 0; i < 10000; ++i) upper += trelvik::uniform_index(rng, UINT64_MAX) >= (1ull << 63);
        EXPECT(upper > 4500 && upper < 5500, "%d of 10000 draws in the upper half", upper);
    }
    return finish("chacha_vectors");
}
