#include "simulation/random_stream.h"

#include <cmath>
#include <numbers>

namespace tessuvan::simulation {

std::uint64_t SplitMix(std::uint64_t z)
{
    z += 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::uint64_t StreamSeed(std::uint64_t seed, std::uint64_t replicate, std::uint64_t individual)
{
    return SplitMix(SplitMix(SplitMix(seed) ^ replicate) ^ individual);
}

RandomStream::RandomStream(std::uint64_t seed, std::uint64_t replicate, std::uint64_t individual)
    : engine_(StreamSeed(seed, replicate, individual))
{
}

double RandomStream::Uniform()
{
    constexpr double kUnit = 1.0 / 9007199254740992.0;  // 2^-53
    return (double(engine_() >> 11) + 0.5) * kUnit;
}

double RandomStream::Normal()
{
    if (hasSpare_) {
        hasSpare_ = false;
        return spare_;
    }
    const double u1 = Uniform();
    const double u2 = Uniform();
    const double r = std::sqrt(-2.0 * std::log(u1));
    const double angle = 2.0 * std::numbers::pi * u2;
    spare_ = r * std::sin(angle);
    hasSpare_ = true;
    return r * std::cos(angle);
}

}  // namespace tessuvan::simulation
