// Random numbers that are the same on every machine, for any thread count and any split of the
// work: every (replicate, individual) pair has a stream of its own, derived from the seed.
//
// Generator: std::mt19937_64, whose output the C++ standard fixes bit for bit, seeded with
//     s = mix(mix(mix(seed) ^ replicate) ^ individual)
// where mix is the SplitMix64 finaliser (Steele, Lea and Flood, 2014):
//     z += 0x9e3779b97f4a7c15; z = (z ^ z>>30)·0xbf58476d1ce4e5b9; z = (z ^ z>>27)·0x94d049bb133111eb;
//     mix(z) = z ^ z>>31          (all arithmetic modulo 2^64).
// Uniform: u = ((x >> 11) + ½)·2^−53 of a 64-bit output x, in (0, 1), never 0 or 1.
// Normal (the standard library's normal distribution is left alone: its algorithm is the
// implementation's choice): the Box–Muller transform of two uniforms u1, u2,
//     r = √(−2 ln u1),   z1 = r·cos(2π u2),   z2 = r·sin(2π u2),
// handed out z1 first, then z2, then the next pair. The logarithm, cosine and sine are those of
// the C library (glibc's on Debian; another C library may round an odd value differently).
#pragma once

#include <cstdint>
#include <random>

namespace tessuvan::simulation {

std::uint64_t SplitMix(std::uint64_t z);

// The seed of the stream of one individual of one replicate (both as the run numbers them).
std::uint64_t StreamSeed(std::uint64_t seed, std::uint64_t replicate, std::uint64_t individual);

class RandomStream {
public:
    RandomStream(std::uint64_t seed, std::uint64_t replicate, std::uint64_t individual);
    double Uniform();  // in (0, 1)
    double Normal();   // standard normal

private:
    std::mt19937_64 engine_;
    double spare_ = 0;
    bool hasSpare_ = false;
};

}  // namespace tessuvan::simulation
