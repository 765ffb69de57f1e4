#pragma once
// The weighted mean-square energies of measurement blocks (400 ms for the integrated loudness, 3 s
// for the loudness range) and the gated figures read from them: the integrated loudness (blocks
// under -70 LUFS left out, then those more than 10 LU under the mean of the rest) and the loudness
// range (3 s blocks under -70 LUFS and then those 20 LU under the rest's mean left out; the spread
// from the 10th to the 95th percentile of what remains).
//
// Every block can be kept (exact figures; memory grows with the length), or a histogram of
// 0.01 LU bins from -70 to +20 LUFS (constant memory for a stream that runs for days; each block
// counts at its bin's centre, so a figure is off by at most 0.005 LU plus what the bin at the
// relative gate adds or leaves out).

#include <cstddef>
#include <cstdint>
#include <vector>

namespace loudara {

// Loudness of a weighted mean-square energy: 10 log10(energy) - 0.691 (-inf for none).
double loudnessOfEnergy(double energy);
double energyOfLoudness(double lufs);

class GatedBlocks {
public:
    enum class Keep { Every, Histogram };
    explicit GatedBlocks(Keep keep);

    // A block's energy; blocks under the absolute gate (-70 LUFS) are not kept.
    void add(double energy);
    void clear();
    std::size_t count() const { return count_; }

    // Mean energy of the blocks at or above `relativeGate` times the mean of all blocks kept
    // (0 when there are none).
    double gatedMeanEnergy(double relativeGate) const;
    // Loudness range in LU: the blocks at or above `relativeGate` times the mean of all, from the
    // 10th to the 95th percentile (0 when no block is left).
    double rangeLu(double relativeGate) const;

private:
    static constexpr int kBinsPerLu = 100;
    static constexpr double kLowestLufs = -70.0, kHighestLufs = 20.0;
    static constexpr int kBins = static_cast<int>((kHighestLufs - kLowestLufs) * kBinsPerLu);
    static int binOf(double energy);
    static double centreEnergy(int bin);

    Keep keep_;
    std::vector<double> blocks_;        // Keep::Every
    std::vector<std::uint64_t> bins_;   // Keep::Histogram
    double sum_ = 0.0;                  // exact, in both modes: the relative gates are set by it
    std::size_t count_ = 0;
};

}  // namespace loudara
