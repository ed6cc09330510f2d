// SM4 (GB/T 32907-2016) with combined S-box/linear-transform lookup tables.
//
// The round function T(x) = L(tau(x)) is linear in the four S-box outputs, so
// it splits into four 256-entry tables indexed by the bytes of x; one round is
// then four loads and a handful of XORs. The tables are computed at compile
// time from the S-box, so only the S-box, FK and CK are typed in.
//
// Lookup tables index memory by secret data; on shared hardware that is a
// cache-timing channel. The token protocol needs throughput on plain hosts and
// the key state is process-wide anyway, so that trade-off is accepted here.
#include "Sm4.h"

#include <openssl/crypto.h>

#include <array>
#include <bit>
#include <cstring>

namespace quillon {
namespace {

constexpr std::array<uint8_t, 256> kSbox = {
    0xd6, 0x90, 0xe9, 0xfe, 0xcc, 0xe1, 0x3d, 0xb7, 0x16, 0xb6, 0x14, 0xc2, 0x28, 0xfb, 0x2c, 0x05, 0x2b, 0x67, 0x9a,
    0x76, 0x2a, 0xbe, 0x04, 0xc3, 0xaa, 0x44, 0x13, 0x26, 0x49, 0x86, 0x06, 0x99, 0x9c, 0x42, 0x50, 0xf4, 0x91, 0xef,
    0x98, 0x7a, 0x33, 0x54, 0x0b, 0x43, 0xed, 0xcf, 0xac, 0x62, 0xe4, 0xb3, 0x1c, 0xa9, 0xc9, 0x08, 0xe8, 0x95, 0x80,
    0xdf, 0x94, 0xfa, 0x75, 0x8f, 0x3f, 0xa6, 0x47, 0x07, 0xa7, 0xfc, 0xf3, 0x73, 0x17, 0xba, 0x83, 0x59, 0x3c, 0x19,
    0xe6, 0x85, 0x4f, 0xa8, 0x68, 0x6b, 0x81, 0xb2, 0x71, 0x64, 0xda, 0x8b, 0xf8, 0xeb, 0x0f, 0x4b, 0x70, 0x56, 0x9d,
    0x35, 0x1e, 0x24, 0x0e, 0x5e, 0x63, 0x58, 0xd1, 0xa2, 0x25, 0x22, 0x7c, 0x3b, 0x01, 0x21, 0x78, 0x87, 0xd4, 0x00,
    0x46, 0x57, 0x9f, 0xd3, 0x27, 0x52, 0x4c, 0x36, 0x02, 0xe7, 0xa0, 0xc4, 0xc8, 0x9e, 0xea, 0xbf, 0x8a, 0xd2, 0x40,
    0xc7, 0x38, 0xb5, 0xa3, 0xf7, 0xf2, 0xce, 0xf9, 0x61, 0x15, 0xa1, 0xe0, 0xae, 0x5d, 0xa4, 0x9b, 0x34, 0x1a, 0x55,
    0xad, 0x93, 0x32, 0x30, 0xf5, 0x8c, 0xb1, 0xe3, 0x1d, 0xf6, 0xe2, 0x2e, 0x82, 0x66, 0xca, 0x60, 0xc0, 0x29, 0x23,
    0xab, 0x0d, 0x53, 0x4e, 0x6f, 0xd5, 0xdb, 0x37, 0x45, 0xde, 0xfd, 0x8e, 0x2f, 0x03, 0xff, 0x6a, 0x72, 0x6d, 0x6c,
    0x5b, 0x51, 0x8d, 0x1b, 0xaf, 0x92, 0xbb, 0xdd, 0xbc, 0x7f, 0x11, 0xd9, 0x5c, 0x41, 0x1f, 0x10, 0x5a, 0xd8, 0x0a,
    0xc1, 0x31, 0x88, 0xa5, 0xcd, 0x7b, 0xbd, 0x2d, 0x74, 0xd0, 0x12, 0xb8, 0xe5, 0xb4, 0xb0, 0x89, 0x69, 0x97, 0x4a,
    0x0c, 0x96, 0x77, 0x7e, 0x65, 0xb9, 0xf1, 0x09, 0xc5, 0x6e, 0xc6, 0x84, 0x18, 0xf0, 0x7d, 0xec, 0x3a, 0xdc, 0x4d,
    0x20, 0x79, 0xee, 0x5f, 0x3e, 0xd7, 0xcb, 0x39, 0x48,
};

constexpr std::array<uint32_t, 4> kFk = {0xa3b1bac6, 0x56aa3350, 0x677d9197, 0xb27022dc};

constexpr std::array<uint32_t, 32> kCk = {
    0x00070e15, 0x1c232a31, 0x383f464d, 0x545b6269, 0x70777e85, 0x8c939aa1, 0xa8afb6bd, 0xc4cbd2d9,
    0xe0e7eef5, 0xfc030a11, 0x181f262d, 0x343b4249, 0x50575e65, 0x6c737a81, 0x888f969d, 0xa4abb2b9,
    0xc0c7ced5, 0xdce3eaf1, 0xf8ff060d, 0x141b2229, 0x30373e45, 0x4c535a61, 0x686f767d, 0x848b9299,
    0xa0a7aeb5, 0xbcc3cad1, 0xd8dfe6ed, 0xf4fb0209, 0x10171e25, 0x2c333a41, 0x484f565d, 0x646b7279,
};

// The standard defines byte j of CK_i as (4i + j) * 7 mod 256; a typo in the
// table above would otherwise only show up as a wrong ciphertext.
constexpr bool CkMatchesDefinition() {
    for (unsigned i = 0; i < 32; ++i) {
        for (unsigned j = 0; j < 4; ++j) {
            const uint32_t expected = ((4 * i + j) * 7) & 0xff;
            if (((kCk[i] >> (24 - 8 * j)) & 0xff) != expected) return false;
        }
    }
    return true;
}
static_assert(CkMatchesDefinition(), "CK table differs from its definition");

constexpr uint32_t LinearL(uint32_t b) {
    return b ^ std::rotl(b, 2) ^ std::rotl(b, 10) ^ std::rotl(b, 18) ^ std::rotl(b, 24);
}

constexpr uint32_t LinearLKey(uint32_t b) { return b ^ std::rotl(b, 13) ^ std::rotl(b, 23); }

template <unsigned Shift, uint32_t (*Linear)(uint32_t)>
constexpr std::array<uint32_t, 256> MakeTable() {
    std::array<uint32_t, 256> t{};
    for (unsigned x = 0; x < 256; ++x) t[x] = Linear(uint32_t{kSbox[x]} << Shift);
    return t;
}

// T = L(tau(x)) for the rounds.
alignas(64) constexpr std::array<uint32_t, 256> kT0 = MakeTable<24, LinearL>();
alignas(64) constexpr std::array<uint32_t, 256> kT1 = MakeTable<16, LinearL>();
alignas(64) constexpr std::array<uint32_t, 256> kT2 = MakeTable<8, LinearL>();
alignas(64) constexpr std::array<uint32_t, 256> kT3 = MakeTable<0, LinearL>();

// T' = L'(tau(x)) for the key schedule, which runs on every keyed call and
// would otherwise dominate short messages.
alignas(64) constexpr std::array<uint32_t, 256> kK0 = MakeTable<24, LinearLKey>();
alignas(64) constexpr std::array<uint32_t, 256> kK1 = MakeTable<16, LinearLKey>();
alignas(64) constexpr std::array<uint32_t, 256> kK2 = MakeTable<8, LinearLKey>();
alignas(64) constexpr std::array<uint32_t, 256> kK3 = MakeTable<0, LinearLKey>();

inline uint32_t RoundT(uint32_t x) {
    return kT0[x >> 24] ^ kT1[(x >> 16) & 0xff] ^ kT2[(x >> 8) & 0xff] ^ kT3[x & 0xff];
}

inline uint32_t KeyT(uint32_t x) { return kK0[x >> 24] ^ kK1[(x >> 16) & 0xff] ^ kK2[(x >> 8) & 0xff] ^ kK3[x & 0xff]; }

inline uint32_t LoadBe32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline void StoreBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// The process-wide key state: MK0..MK3 of the last key loaded and the round
// keys last expanded from them.
uint32_t g_mk[4];
uint32_t g_rk[32];

// The key schedule over the loaded MK0..MK3: K0..K3 start as MK XOR FK and
// each step shifts in the next round key. Next(i) must be called for
// i = 0..31 in order.
struct KeySchedule {
    uint32_t k0 = g_mk[0] ^ kFk[0], k1 = g_mk[1] ^ kFk[1], k2 = g_mk[2] ^ kFk[2], k3 = g_mk[3] ^ kFk[3];

    uint32_t Next(int i) {
        const uint32_t key = k0 ^ KeyT(k1 ^ k2 ^ kCk[i] ^ k3);
        k0 = k1;
        k1 = k2;
        k2 = k3;
        k3 = key;
        return key;
    }
};

// Runs the 32 rounds on N independent blocks side by side. One block alone is
// bound by the latency of the table loads; interleaving lets the loads of
// several blocks overlap. Every block of the group is read before any result
// is written, so in == out is safe.
template <size_t N>
[[gnu::always_inline]] inline void CryptBlocks(const uint32_t* rk, const uint8_t* in, uint8_t* out) {
    uint32_t x0[N], x1[N], x2[N], x3[N];
#pragma GCC unroll 8
    for (size_t b = 0; b < N; ++b) {
        x0[b] = LoadBe32(in + 16 * b);
        x1[b] = LoadBe32(in + 16 * b + 4);
        x2[b] = LoadBe32(in + 16 * b + 8);
        x3[b] = LoadBe32(in + 16 * b + 12);
    }
#pragma GCC unroll 8
    for (int r = 0; r < 32; r += 4) {
#pragma GCC unroll 8
        for (size_t b = 0; b < N; ++b) x0[b] ^= RoundT(x1[b] ^ x2[b] ^ rk[r] ^ x3[b]);
#pragma GCC unroll 8
        for (size_t b = 0; b < N; ++b) x1[b] ^= RoundT(x2[b] ^ x3[b] ^ rk[r + 1] ^ x0[b]);
#pragma GCC unroll 8
        for (size_t b = 0; b < N; ++b) x2[b] ^= RoundT(x3[b] ^ x0[b] ^ rk[r + 2] ^ x1[b]);
#pragma GCC unroll 8
        for (size_t b = 0; b < N; ++b) x3[b] ^= RoundT(x0[b] ^ x1[b] ^ rk[r + 3] ^ x2[b]);
    }
    // Output order X35, X34, X33, X32.
#pragma GCC unroll 8
    for (size_t b = 0; b < N; ++b) {
        StoreBe32(out + 16 * b, x3[b]);
        StoreBe32(out + 16 * b + 4, x2[b]);
        StoreBe32(out + 16 * b + 8, x1[b]);
        StoreBe32(out + 16 * b + 12, x0[b]);
    }
}

void CryptEcb(const uint32_t* rk, const uint8_t* in, size_t len, uint8_t* out) {
    constexpr size_t kGroup = 4;
    while (len >= kGroup * kSm4BlockSize) {
        CryptBlocks<kGroup>(rk, in, out);
        in += kGroup * kSm4BlockSize;
        out += kGroup * kSm4BlockSize;
        len -= kGroup * kSm4BlockSize;
    }
    if (len >= 2 * kSm4BlockSize) {
        CryptBlocks<2>(rk, in, out);
        in += 2 * kSm4BlockSize;
        out += 2 * kSm4BlockSize;
        len -= 2 * kSm4BlockSize;
    }
    if (len != 0) CryptBlocks<1>(rk, in, out);
}

// Expands MK0..MK3 into g_rk and rk while encrypting one block in place.
// Round i of the block needs only rk_i, so the two dependency chains run side
// by side instead of one after the other; for the short messages the MAC
// sees, the key schedule would otherwise cost as much as the blocks.
void ExpandWhileEncrypting(uint32_t rk[32], uint8_t block[kSm4BlockSize]) {
    KeySchedule schedule;
    uint32_t x0 = LoadBe32(block), x1 = LoadBe32(block + 4), x2 = LoadBe32(block + 8), x3 = LoadBe32(block + 12);
#pragma GCC unroll 32
    for (int i = 0; i < 32; ++i) {
        const uint32_t key = schedule.Next(i);
        rk[i] = key;
        const uint32_t x = x0 ^ RoundT(x1 ^ x2 ^ key ^ x3);
        x0 = x1;
        x1 = x2;
        x2 = x3;
        x3 = x;
    }
    std::memcpy(g_rk, rk, sizeof g_rk);
    StoreBe32(block, x3);
    StoreBe32(block + 4, x2);
    StoreBe32(block + 8, x1);
    StoreBe32(block + 12, x0);
}

bool EcbArgumentsValid(const uint8_t* in, size_t len, const uint8_t* out, const size_t* outLen) {
    return in != nullptr && len != 0 && outLen != nullptr && len % kSm4BlockSize == 0 && out != nullptr;
}

// Shared front half of both ECB directions: argument check, key load, the
// capacity check and the expansion. Leaves a private copy of the round keys
// in rk, so stores into the output cannot force them to be reloaded.
int PrepareEcb(const uint8_t* key, const uint8_t* in, size_t len, const uint8_t* out, size_t* outLen, uint32_t rk[32]) {
    if (!EcbArgumentsValid(in, len, out, outLen)) return -1;
    if (key != nullptr) Sm4LoadKey(key);
    const size_t capacity = *outLen;
    *outLen = len;
    if (capacity < len) return 8;
    Sm4KeyExpand();
    std::memcpy(rk, g_rk, sizeof g_rk);
    return 0;
}

}  // namespace

void Sm4LoadKey(const uint8_t key[kSm4KeySize]) {
    for (int i = 0; i < 4; ++i) g_mk[i] = LoadBe32(key + 4 * i);
}

void Sm4ClearKeyState() {
    OPENSSL_cleanse(g_mk, sizeof g_mk);
    OPENSSL_cleanse(g_rk, sizeof g_rk);
}

void Sm4KeyExpand() {
    KeySchedule schedule;
    for (int i = 0; i < 32; ++i) g_rk[i] = schedule.Next(i);
}

int Sm4EncryptEcb(const uint8_t* key, const uint8_t* in, size_t len, uint8_t* out, size_t* outLen) {
    uint32_t rk[32];
    const int rc = PrepareEcb(key, in, len, out, outLen, rk);
    if (rc != 0) return rc;
    CryptEcb(rk, in, len, out);
    OPENSSL_cleanse(rk, sizeof rk);
    return 0;
}

int Sm4DecryptEcb(const uint8_t* key, const uint8_t* in, size_t len, uint8_t* out, size_t* outLen) {
    uint32_t rk[32];
    const int rc = PrepareEcb(key, in, len, out, outLen, rk);
    if (rc != 0) return rc;
    uint32_t reversed[32];
    for (int i = 0; i < 32; ++i) reversed[i] = rk[31 - i];
    OPENSSL_cleanse(rk, sizeof rk);
    CryptEcb(reversed, in, len, out);
    OPENSSL_cleanse(reversed, sizeof reversed);
    return 0;
}

int Sm4Mac(const uint8_t* key, const uint8_t* msg, size_t len, uint8_t chain[kSm4BlockSize], uint8_t* mac,
           size_t* macLen) {
    if ((msg == nullptr && len != 0) || chain == nullptr || macLen == nullptr) return -1;
    const size_t capacity = *macLen;
    if (capacity >= 4 && mac == nullptr) return -1;

    if (key != nullptr) Sm4LoadKey(key);
    // Every call encrypts at least the padding block, so the expansion can
    // always ride along with the first cipher call.
    uint32_t rk[32];
    bool expanded = false;
    auto encrypt = [&](uint8_t* block) {
        if (expanded) {
            CryptBlocks<1>(rk, block, block);
        } else {
            ExpandWhileEncrypting(rk, block);
            expanded = true;
        }
    };

    uint8_t v[kSm4BlockSize];
    std::memcpy(v, chain, sizeof v);
    while (len >= kSm4BlockSize) {
        for (size_t i = 0; i < kSm4BlockSize; ++i) v[i] ^= msg[i];
        encrypt(v);
        msg += kSm4BlockSize;
        len -= kSm4BlockSize;
    }
    // ISO/IEC 9797-1 padding method 2: always a final block, 80 then zeros.
    uint8_t f[kSm4BlockSize] = {};
    if (len != 0) std::memcpy(f, msg, len);
    f[len] = 0x80;
    for (size_t i = 0; i < kSm4BlockSize; ++i) v[i] ^= f[i];
    // The chaining value reports the last block handed to the cipher, not
    // the MAC block itself.
    std::memcpy(chain, v, sizeof v);
    encrypt(v);

    *macLen = 4;
    const int rc = capacity < 4 ? 1 : 0;
    if (rc == 0) std::memcpy(mac, v, 4);
    OPENSSL_cleanse(rk, sizeof rk);
    OPENSSL_cleanse(v, sizeof v);
    OPENSSL_cleanse(f, sizeof f);
    return rc;
}

}  // namespace quillon
