// SM4 block cipher (GB/T 32907-2016) and the 4-byte command MAC
// (ISO/IEC 9797-1 MAC algorithm 1, padding method 2).
//
// The key state is process-wide on purpose: an operation that is given a key
// loads and expands it; one that is given a null key reuses whatever the last
// operation left. Callers must not run two of these at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon {

constexpr size_t kSm4BlockSize = 16;
constexpr size_t kSm4KeySize = 16;

// Loads 16 key bytes into MK0..MK3 (big-endian words).
void Sm4LoadKey(const uint8_t key[kSm4KeySize]);
// Wipes MK0..MK3 and the round keys (a clearing the compiler keeps). The
// library calls it when each command ends, so no key outlives the call; a
// null-key operation after it runs under the all-zero key.
void Sm4ClearKeyState();
// Expands MK0..MK3 into the process-wide round keys rk0..rk31.
void Sm4KeyExpand();

// ECB over whole blocks. Returns 0, -1 for bad arguments (null pointers,
// length 0 or not a multiple of 16; nothing changed, key not loaded), 8 when
// *outLen (capacity) is smaller than len; *outLen is then already set to len
// and a given key is already loaded. in and out may be the same buffer (but
// must not overlap partially).
int Sm4EncryptEcb(const uint8_t* key, const uint8_t* in, size_t len, uint8_t* out, size_t* outLen);
// Same contract, round keys applied in reverse order.
int Sm4DecryptEcb(const uint8_t* key, const uint8_t* in, size_t len, uint8_t* out, size_t* outLen);

// CBC-MAC with a caller-held chaining value (16 bytes in: initial value;
// out: the last block handed to the cipher, i.e. V XOR final padded block,
// not the MAC block). Writes 4 MAC bytes when *macLen >= 4 and returns 0;
// returns 1 otherwise (chain already updated). *macLen is set to 4 in both
// cases. Returns -1 and touches nothing for a null chain or macLen, a null
// msg with len > 0, or a null mac with *macLen >= 4.
int Sm4Mac(const uint8_t* key, const uint8_t* msg, size_t len, uint8_t chain[kSm4BlockSize], uint8_t* mac,
           size_t* macLen);

}  // namespace quillon
