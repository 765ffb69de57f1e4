#include "measure/gated_blocks.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace loudara {

double loudnessOfEnergy(double energy) {
    return energy > 0.0 ? 10.0 * std::log10(energy) - 0.691 : -std::numeric_limits<double>::infinity();
}

double energyOfLoudness(double lufs) { return std::pow(10.0, (lufs + 0.691) / 10.0); }

namespace {

const double kAbsoluteGateEnergy = energyOfLoudness(-70.0);

// The two percentiles the loudness range spans, as positions in n sorted values.
std::size_t lowPercentile(std::size_t n) { return static_cast<std::size_t>((n - 1) * 0.10 + 0.5); }
std::size_t highPercentile(std::size_t n) { return static_cast<std::size_t>((n - 1) * 0.95 + 0.5); }

}  // namespace

GatedBlocks::GatedBlocks(Keep keep) : keep_(keep) {
    if (keep_ == Keep::Histogram) bins_.assign(kBins, 0);
}

int GatedBlocks::binOf(double energy) {
    const double position = std::floor((loudnessOfEnergy(energy) - kLowestLufs) * kBinsPerLu);
    return static_cast<int>(std::clamp(position, 0.0, double(kBins - 1)));
}

double GatedBlocks::centreEnergy(int bin) {
    static const std::vector<double> centres = [] {
        std::vector<double> e(kBins);
        for (int b = 0; b < kBins; ++b) e[b] = energyOfLoudness(kLowestLufs + (b + 0.5) / kBinsPerLu);
        return e;
    }();
    return centres[bin];
}

void GatedBlocks::add(double energy) {
    if (!(energy >= kAbsoluteGateEnergy)) return;
    sum_ += energy;
    ++count_;
    if (keep_ == Keep::Every) {
        blocks_.push_back(energy);
    } else {
        ++bins_[binOf(energy)];
    }
}

void GatedBlocks::clear() {
    blocks_.clear();
    std::fill(bins_.begin(), bins_.end(), 0);
    sum_ = 0.0;
    count_ = 0;
}

double GatedBlocks::gatedMeanEnergy(double relativeGate) const {
    if (count_ == 0) return 0.0;
    const double threshold = relativeGate * sum_ / count_;
    double sum = 0.0;
    std::uint64_t n = 0;
    if (keep_ == Keep::Every) {
        for (double e : blocks_) {
            if (e >= threshold) {
                sum += e;
                ++n;
            }
        }
    } else {
        for (int b = 0; b < kBins; ++b) {
            if (bins_[b] == 0) continue;
            const double centre = centreEnergy(b);
            if (centre >= threshold) {
                sum += bins_[b] * centre;
                n += bins_[b];
            }
        }
    }
    return n > 0 ? sum / n : 0.0;
}

double GatedBlocks::rangeLu(double relativeGate) const {
    if (count_ == 0) return 0.0;
    const double threshold = relativeGate * sum_ / count_;
    double low = 0.0, high = 0.0;
    if (keep_ == Keep::Every) {
        std::vector<double> kept;
        kept.reserve(blocks_.size());
        for (double e : blocks_) {
            if (e >= threshold) kept.push_back(e);
        }
        if (kept.empty()) return 0.0;
        const std::size_t lowAt = lowPercentile(kept.size()), highAt = highPercentile(kept.size());
        std::nth_element(kept.begin(), kept.begin() + highAt, kept.end());
        high = kept[highAt];
        std::nth_element(kept.begin(), kept.begin() + lowAt, kept.begin() + highAt);
        low = kept[lowAt];
    } else {
        int first = 0;
        while (first < kBins && centreEnergy(first) < threshold) ++first;
        std::uint64_t n = 0;
        for (int b = first; b < kBins; ++b) n += bins_[b];
        if (n == 0) return 0.0;
        const std::uint64_t lowAt = lowPercentile(n), highAt = highPercentile(n);
        std::uint64_t seen = 0;
        bool haveLow = false;
        for (int b = first; b < kBins; ++b) {
            seen += bins_[b];
            if (!haveLow && seen > lowAt) {
                low = centreEnergy(b);
                haveLow = true;
            }
            if (seen > highAt) {
                high = centreEnergy(b);
                break;
            }
        }
    }
    return loudnessOfEnergy(high) - loudnessOfEnergy(low);
}

}  // namespace loudara
