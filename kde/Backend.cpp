#include "kde/Backend.h"

#include <algorithm>
#include <cstdio>
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

namespace {

// w(i, j) = exp(-(i^2 / 2 sigmaRows^2 + j^2 / 2 sigmaCols^2)) over the rows x
// cols table, normalised to sum 1. The square case keeps the one-exponent
// form it always had, so its weights stay bit for bit what they were.
std::vector<float> gaussTable(const KernelShape& shape) {
    if (shape.rows < 1 || shape.rows % 2 != 1 || shape.cols < 1 || shape.cols % 2 != 1)
        throw std::invalid_argument("Gaussian table sides must be odd and at least 1, not " +
                                    std::to_string(shape.rows) + " x " + std::to_string(shape.cols));
    const int halfRows = shape.rows / 2;
    const int halfCols = shape.cols / 2;
    const std::size_t cols = static_cast<std::size_t>(shape.cols);
    std::vector<float> table(static_cast<std::size_t>(shape.rows) * cols, 0.0f);
    // Summed in double: a float sum of millions of weights drifts (a total
    // of 2 instead of 1 near the size cap), and every density with it.
    double sum = 0.0;
    const double rowSquared = static_cast<double>(shape.sigmaRows) * static_cast<double>(shape.sigmaRows);
    const double colSquared = static_cast<double>(shape.sigmaCols) * static_cast<double>(shape.sigmaCols);
    const bool square = shape.square();
    const float norm = static_cast<float>(1.0 / (6.2831854820251465 * std::sqrt(rowSquared) * std::sqrt(colSquared)));
    for (int i = -halfRows; i <= halfRows; ++i) {
        for (int j = -halfCols; j <= halfCols; ++j) {
            double exponent;
            if (square) {
                const double distance = static_cast<double>(j) * j + static_cast<double>(i) * i;
                exponent = -distance / (2.0 * rowSquared);
            } else {
                // A zero offset adds nothing, whatever its sigma (0 / 0 is not 0).
                exponent = (i == 0 ? 0.0 : -static_cast<double>(i) * i / (2.0 * rowSquared)) +
                           (j == 0 ? 0.0 : -static_cast<double>(j) * j / (2.0 * colSquared));
            }
            const float w = static_cast<float>(std::exp(exponent) * norm);
            table[static_cast<std::size_t>(i + halfRows) * cols + static_cast<std::size_t>(j + halfCols)] = w;
            sum += w;
        }
    }
    for (float& w : table) w = static_cast<float>(w / sum);
    return table;
}

}  // namespace

std::vector<float> makeGaussKernel(float sigma, int size) {
    if (size < 1 || size % 2 != 1)
        throw std::invalid_argument("Gaussian table size must be odd and at least 1, not " +
                                    std::to_string(size));
    return gaussTable(KernelShape{size, size, sigma, sigma});
}

std::vector<float> usableGaussKernel(float sigma, int size) {
    return usableGaussKernel(KernelShape{size, size, sigma, sigma});
}

KernelShape kernelShape(float sigma, int size, double aspect) {
    KernelShape shape;
    shape.rows = effectiveKernelSize(size);
    shape.cols = shape.rows;
    shape.sigmaRows = sigma;
    shape.sigmaCols = sigma;
    if (!(aspect > 0.0) || !std::isfinite(aspect) || aspect == 1.0) return shape;
    const double halfCols = std::round(static_cast<double>(shape.rows / 2) / aspect);
    shape.cols = static_cast<int>(std::min<double>(2.0 * halfCols + 1.0, kde::kMaxKernelSize));
    shape.sigmaCols = static_cast<float>(static_cast<double>(sigma) / aspect);
    return shape;
}

std::vector<float> usableGaussKernel(const KernelShape& shape) {
    std::vector<float> table = gaussTable(shape);
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
    const std::size_t cells = table.size();
    if (std::fabs(shape.sigmaRows) > 1.0f) {
        std::fill(table.begin(), table.end(), 1.0f / static_cast<float>(cells));
    } else {
        std::fill(table.begin(), table.end(), 0.0f);
        table[cells / 2] = 1.0f;
    }
    return table;
}

std::vector<float> tableFactor(const std::vector<float>& table, int size) {
    return tableFactors(table, size, size).rows;
}

TableFactors tableFactors(const std::vector<float>& table, int rows, int cols) {
    // The table is a(i) b(j) / s with s its float sum, so its row sums r(i)
    // and column sums c(j) satisfy r(i) c(j) = table(i, j) * total, total
    // being the table's exact sum. Dividing both by sqrt(total) gives
    // factors whose outer product is the table up to a few roundings per
    // entry. A square table is symmetric, so both factors come out equal.
    const std::size_t height = static_cast<std::size_t>(rows);
    const std::size_t width = static_cast<std::size_t>(cols);
    std::vector<double> rowSums(height, 0.0);
    std::vector<double> colSums(width, 0.0);
    double total = 0.0;
    for (std::size_t i = 0; i < height; ++i) {
        for (std::size_t j = 0; j < width; ++j) rowSums[i] += table[i * width + j];
        total += rowSums[i];
    }
    for (std::size_t j = 0; j < width; ++j)
        for (std::size_t i = 0; i < height; ++i) colSums[j] += table[i * width + j];
    const double scale = total > 0.0 ? 1.0 / std::sqrt(total) : 0.0;
    TableFactors factors{std::vector<float>(height, 0.0f), std::vector<float>(width, 0.0f)};
    for (std::size_t i = 0; i < height; ++i) factors.rows[i] = static_cast<float>(rowSums[i] * scale);
    for (std::size_t j = 0; j < width; ++j) factors.cols[j] = static_cast<float>(colSums[j] * scale);
    return factors;
}

std::string kernelCutShortWarning(const KernelShape& shape) {
    // Two sigmas hold 95% of a Gaussian along an axis; a table that ends
    // sooner cuts visible weight off at its edge. The east-west side follows
    // the north-south one, which Size sets, so that one is judged.
    if (!std::isfinite(shape.sigmaRows) || shape.rows / 2 >= 2.0 * static_cast<double>(shape.sigmaRows)) return {};
    const double reach = std::ceil(2.0 * static_cast<double>(shape.sigmaRows) - 1e-9);
    const double wanted = 2.0 * reach + 1.0;
    char line[160];
    if (wanted <= kde::kMaxKernelSize)
        std::snprintf(line, sizeof line,
                      "Size %d ends the Gaussian inside two sigmas, so its box edges show: Size %.0f or more holds it",
                      shape.rows, wanted);
    else
        std::snprintf(line, sizeof line, "Size %d ends the Gaussian inside two sigmas, so its box edges show",
                      shape.rows);
    return line;
}

// kde::scale_cell, the maximum from kde::kMaximumStart and
// kde::finish_cell, with the tests that hold for the whole grid (the log
// switch, the maximum's use) taken out of the loops, which then vectorise.
float finishGrid(std::vector<float>& grid, bool useLog, unsigned threads) {
    threads = std::max(1u, threads);
    std::vector<float> maxima(threads, kde::kMaximumStart);
    float* cells = grid.data();
    runParallel(threads, [&](unsigned t) {
        const Span span = spanOf(grid.size(), t, threads);
        float maxValue = kde::kMaximumStart;
        for (std::size_t i = span.first; i < span.last; ++i) {
            if (useLog) cells[i] = kde::log_cell(cells[i]);
            maxValue = kde::max_of(maxValue, cells[i]);
        }
        maxima[t] = maxValue;
    });
    float maxValue = kde::kMaximumStart;
    for (float m : maxima) maxValue = kde::max_of(maxValue, m);
    if (!kde::usable_maximum(maxValue)) {
        std::fill(grid.begin(), grid.end(), 0.0f);
        return 0.0f;
    }
    runParallel(threads, [&](unsigned t) {
        const Span span = spanOf(grid.size(), t, threads);
        for (std::size_t i = span.first; i < span.last; ++i) cells[i] = kde::normalize_cell(cells[i], maxValue);
    });
    return maxValue;
}

}  // namespace engine
