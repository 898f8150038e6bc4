#pragma once
// The test build's download key pair. The public half is what the test
// programs verify downloads with (TestDownloadKey.cpp, linked into every test
// program in place of the release key); the private half lives only here, in
// the test tree, so tests can sign files. A second pair stands for "a key
// the program does not hold".
#include <sodium.h>

#include <string>

namespace kalvex::test {

inline constexpr const char* kTestSigningSeedHex = "960386f3a9460ca29a8d426e607d22692d8a11b0f7c976f9a5e5c478645a2caf";
inline constexpr const char* kTestPublicKeyHex = "16a3c3da4c9eceb0d2d905ecb765a5221263aebd2bdf240004fc4344fce01ac5";
inline constexpr const char* kOtherSigningSeedHex = "731b6356af289c67e9214c31270e5618f48c0720714b72c8c433438ca9ef297e";
inline constexpr const char* kOtherPublicKeyHex = "dfa1b5937b3f63ff22dbfbd5e37ab1ff518bc1cfdfd362a16af127aad801a0a3";

// The 64-byte detached Ed25519 signature of bytes, made from a seed in hex.
inline std::string SignWithSeed(const std::string& bytes, const char* seedHex = kTestSigningSeedHex) {
    if (sodium_init() < 0) return {};
    unsigned char seed[crypto_sign_SEEDBYTES];
    size_t len = 0;
    if (sodium_hex2bin(seed, sizeof seed, seedHex, 64, nullptr, &len, nullptr) != 0 || len != sizeof seed) return {};
    unsigned char pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(pk, sk, seed);
    unsigned char sig[crypto_sign_BYTES];
    crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), sk);
    sodium_memzero(sk, sizeof sk);
    return std::string(reinterpret_cast<const char*>(sig), sizeof sig);
}

}  // namespace kalvex::test
