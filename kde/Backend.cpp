#include "kde/Backend.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <thread>

#include "kde/KdeLogic.h"
#include "kde/Parallel.h"

namespace engine {

unsigned hardwareThreads() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

int effectiveKernelSize(int size) { return oddKernelSize(size, kde::kMaxKernelSize); }

std::vector<float> makeGaussKernel(float sigma, int size) {
    if (size < 1 || size % 2 != 1)
        throw std::invalid_argument("Gaussian table size must be odd and at least 1, not " +
                                    std::to_string(size));
    const int half = size / 2;
    const std::size_t side = static_cast<std::size_t>(size);
    std::vector<float> table(side * side, 0.0f);
    // Summed in double: a float sum of millions of weights drifts (a total
    // of 2 instead of 1 near the size cap), and every density with it.
    double sum = 0.0;
    const double sigmaSquared = static_cast<double>(sigma) * static_cast<double>(sigma);
    const float norm = static_cast<float>(1.0 / (6.2831854820251465 * sigmaSquared));
    for (int i = -half; i <= half; ++i) {
        for (int j = -half; j <= half; ++j) {
            const double distance = static_cast<double>(j) * j + static_cast<double>(i) * i;
            const float w = static_cast<float>(std::exp(-distance / (2.0 * sigmaSquared)) * norm);
            table[static_cast<std::size_t>(i + half) * side + static_cast<std::size_t>(j + half)] = w;
            sum += w;
        }
    }
    for (float& w : table) w = static_cast<float>(w / sum);
    return table;
}

std::vector<float> usableGaussKernel(float sigma, int size) {
    std::vector<float> table = makeGaussKernel(sigma, size);
    bool finite = true;
    bool positive = false;
    for (float w : table) {
        finite = finite && std::isfinite(w);
        positive = positive || w > 0.0f;
    }
    if (finite && positive) return table;
    // The recipe has no usable weights at the extremes of sigma: a vanishing
    // one overflows the normalising factor, a huge one underflows every
    // weight. Use the limits: all weight on the centre, or a flat table.
    // A NaN sigma gets the centre alone.
    const std::size_t cells = static_cast<std::size_t>(size) * static_cast<std::size_t>(size);
    if (std::fabs(sigma) > 1.0f) {
        std::fill(table.begin(), table.end(), 1.0f / static_cast<float>(cells));
    } else {
        std::fill(table.begin(), table.end(), 0.0f);
        table[cells / 2] = 1.0f;
    }
    return table;
}

std::vector<float> tableFactor(const std::vector<float>& table, int size) {
    // The table is w(i) w(j) / s with s its float sum, so its row sums r(i)
    // satisfy r(i) r(j) = table(i, j) * total, total being the table's exact
    // sum. Dividing the row sums by sqrt(total) gives a factor whose outer
    // product is the table up to a few roundings per entry.
    const std::size_t side = static_cast<std::size_t>(size);
    std::vector<double> rowSums(side, 0.0);
    double total = 0.0;
    for (std::size_t i = 0; i < side; ++i) {
        for (std::size_t j = 0; j < side; ++j) rowSums[i] += table[i * side + j];
        total += rowSums[i];
    }
    const double scale = total > 0.0 ? 1.0 / std::sqrt(total) : 0.0;
    std::vector<float> factor(side, 0.0f);
    for (std::size_t i = 0; i < side; ++i) factor[i] = static_cast<float>(rowSums[i] * scale);
    return factor;
}

// kde::scale_function, the maximum from kde::kMaximumStart and
// kde::finish_function, with the tests that hold for the whole grid (the log
// switch, the maximum's use) taken out of the loops, which then vectorise.
float finishGrid(std::vector<float>& grid, bool useLog, unsigned threads) {
    threads = std::max(1u, threads);
    std::vector<float> maxima(threads, kde::kMaximumStart);
    float* cells = grid.data();
    runParallel(threads, [&](unsigned t) {
        const Span span = spanOf(grid.size(), t, threads);
        float maxValue = kde::kMaximumStart;
        for (std::size_t i = span.first; i < span.last; ++i) {
            if (useLog) cells[i] = kde::log_function(cells[i]);
            maxValue = kde::max_function(maxValue, cells[i]);
        }
        maxima[t] = maxValue;
    });
    float maxValue = kde::kMaximumStart;
    for (float m : maxima) maxValue = kde::max_function(maxValue, m);
    if (!kde::usable_maximum(maxValue)) {
        std::fill(grid.begin(), grid.end(), 0.0f);
        return 0.0f;
    }
    runParallel(threads, [&](unsigned t) {
        const Span span = spanOf(grid.size(), t, threads);
        for (std::size_t i = span.first; i < span.last; ++i) cells[i] = kde::normalize_function(cells[i], maxValue);
    });
    return maxValue;
}

}  // namespace engine
