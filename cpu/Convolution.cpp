#include "cpu/Convolution.h"

#include <algorithm>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "kde/KdeLogic.h"
#include "kde/Parallel.h"

namespace engine {

using kde::kCountPad;
using kde::kCountSide;

namespace {

// The two passes of the convolution keep a block of outputs in registers
// while the taps go by, one load per multiply-add: 4-lane vectors anywhere,
// 8-lane ones with fused multiply-adds where the processor has AVX2 and FMA.
typedef float Vec4 __attribute__((vector_size(16), aligned(4), may_alias));
typedef float Vec8 __attribute__((vector_size(32), aligned(4), may_alias));
template <int Lanes>
struct VectorOf;
template <>
struct VectorOf<4> {
    using type = Vec4;
};
template <>
struct VectorOf<8> {
    using type = Vec8;
};
template <int Lanes>
using Vec = typename VectorOf<Lanes>::type;
static_assert(sizeof(Vec<8>) == 32 && sizeof(Vec<4>) == 16);
constexpr int kBlockVectors = 5;
static_assert(kde::kSide % (4 * kBlockVectors) == 0 && kde::kSide % (8 * kBlockVectors) == 0);

// out[c] = sum over v of factor[v] * in[c - v], c in 0 .. kSide - 1, the
// taps in ascending order as a plain loop would add them.
template <int Lanes>
[[gnu::always_inline]] inline void horizontalBody(const float* in, const float* factor, int reach, float* out) {
    constexpr int block = Lanes * kBlockVectors;
    for (int c = 0; c < kde::kSide; c += block) {
        Vec<Lanes> sum[kBlockVectors] = {};
        for (int v = -reach; v <= reach; ++v) {
            const float w = factor[v];
            const float* source = in + c - v;
            for (int k = 0; k < kBlockVectors; ++k)
                sum[k] += w * *reinterpret_cast<const Vec<Lanes>*>(source + k * Lanes);
        }
        for (int k = 0; k < kBlockVectors; ++k) *reinterpret_cast<Vec<Lanes>*>(out + c + k * Lanes) = sum[k];
    }
}

// out[c] = sum over u of factor[u] * rows[centre - u][c] for the rows in use.
template <int Lanes>
[[gnu::always_inline]] inline void verticalBody(const float* rows, const unsigned char* used, const float* factor,
                                                int uFirst, int uLast, int centre, float* out) {
    constexpr int block = Lanes * kBlockVectors;
    for (int c = 0; c < kde::kSide; c += block) {
        Vec<Lanes> sum[kBlockVectors] = {};
        for (int u = uFirst; u <= uLast; ++u) {
            const int i = centre - u;
            if (!used[i]) continue;
            const float w = factor[u];
            const float* source = rows + static_cast<std::size_t>(i) * kde::kSide + c;
            for (int k = 0; k < kBlockVectors; ++k)
                sum[k] += w * *reinterpret_cast<const Vec<Lanes>*>(source + k * Lanes);
        }
        for (int k = 0; k < kBlockVectors; ++k) *reinterpret_cast<Vec<Lanes>*>(out + c + k * Lanes) = sum[k];
    }
}

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
[[gnu::target("avx2,fma")]] void horizontalWide(const float* in, const float* factor, int reach, float* out) {
    horizontalBody<8>(in, factor, reach, out);
}
[[gnu::target("avx2,fma")]] void verticalWide(const float* rows, const unsigned char* used, const float* factor,
                                              int uFirst, int uLast, int centre, float* out) {
    verticalBody<8>(rows, used, factor, uFirst, uLast, centre, out);
}
bool wideVectors() {
    static const bool wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return wide;
}
#else
void horizontalWide(const float* in, const float* factor, int reach, float* out) {
    horizontalBody<4>(in, factor, reach, out);
}
void verticalWide(const float* rows, const unsigned char* used, const float* factor, int uFirst, int uLast,
                  int centre, float* out) {
    verticalBody<4>(rows, used, factor, uFirst, uLast, centre, out);
}
bool wideVectors() { return false; }
#endif

// Gaussian tails far below the centre weight are subnormal floats, which
// the processor multiplies dozens of times slower. While a thread convolves
// they count as zero: each cell then differs by less than FLT_MIN per
// contribution from adding them, within the rounding the reference allows.
class FlushSubnormals {
public:
#if defined(__SSE__) || defined(__x86_64__)
    FlushSubnormals() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | kFlushToZero | kDenormalsAreZero); }
    ~FlushSubnormals() { _mm_setcsr(saved_); }

private:
    static constexpr unsigned kFlushToZero = 0x8000;
    static constexpr unsigned kDenormalsAreZero = 0x0040;
    unsigned saved_;
#endif
};

void horizontalPass(const float* in, const float* factor, int reach, float* out) {
    if (wideVectors())
        horizontalWide(in, factor, reach, out);
    else
        horizontalBody<4>(in, factor, reach, out);
}

void verticalPass(const float* rows, const unsigned char* used, const float* factor, int uFirst, int uLast,
                  int centre, float* out) {
    if (wideVectors())
        verticalWide(rows, used, factor, uFirst, uLast, centre, out);
    else
        verticalBody<4>(rows, used, factor, uFirst, uLast, centre, out);
}

template <typename Count>
void convolveAny(const Count* counts, const std::vector<float>& rowFactor, const std::vector<float>& colFactor,
                 unsigned threads, std::vector<float>& rows, std::vector<float>& grid) {
    const int half = static_cast<int>(rowFactor.size() / 2);
    const int halfCols = static_cast<int>(colFactor.size() / 2);
    constexpr int side = kde::kSide;
    // Count-grid rows that reach the grid with this table, and the column
    // offsets that can matter: beyond them the count row is empty.
    const kde::ConvolutionShape shape = kde::convolution_shape(half);
    const int rowFirst = shape.rowFirst;
    const int rowLast = shape.rowLast;
    const int reach = kde::convolution_shape(halfCols).reach;
    constexpr int margin = side + kCountPad;
    constexpr int widened = kCountSide + 2 * margin;
    const float* factor = rowFactor.data() + half;          // factor[k] for k in -half..half
    const float* across = colFactor.data() + halfCols;      // across[k] for k in -halfCols..halfCols

    rows.resize(static_cast<std::size_t>(kCountSide) * side);
    std::vector<unsigned char> rowUsed(kCountSide, 0);

    // Horizontal pass: rows[i][c] = sum over v of across[v] * counts[i][c - v].
    runParallel(threads, [&](unsigned t) {
        const FlushSubnormals flush;
        std::vector<float> line(widened, 0.0f);
        const Span span = spanOf(static_cast<std::size_t>(rowLast - rowFirst + 1), t, threads);
        for (std::size_t k = span.first; k < span.last; ++k) {
            const int i = rowFirst + static_cast<int>(k);
            const Count* countRow = counts + static_cast<std::size_t>(i) * kCountSide;
            bool any = false;
            for (int c = 0; c < kCountSide; ++c) {
                line[margin + c] = static_cast<float>(countRow[c]);
                any = any || countRow[c] != 0;
            }
            rowUsed[i] = any;
            if (any)
                horizontalPass(line.data() + margin + kCountPad, across, reach,
                               rows.data() + static_cast<std::size_t>(i) * side);
        }
    });

    // Vertical pass: grid[r][c] = sum over u of factor[u] * rows[r - u][c].
    runParallel(threads, [&](unsigned t) {
        const FlushSubnormals flush;
        const Span span = spanOf(side, t, threads);
        for (std::size_t r = span.first; r < span.last; ++r) {
            const int centre = static_cast<int>(r) + kCountPad;
            verticalPass(rows.data(), rowUsed.data(), factor, std::max(-half, centre - rowLast),
                         std::min(half, centre - rowFirst), centre, grid.data() + r * side);
        }
    });
}

}  // namespace

void convolveCounts(const std::uint32_t* counts, const std::vector<float>& rowFactor,
                    const std::vector<float>& colFactor, unsigned threads, std::vector<float>& rows,
                    std::vector<float>& grid) {
    convolveAny(counts, rowFactor, colFactor, threads, rows, grid);
}

void convolveCounts(const std::uint64_t* counts, const std::vector<float>& rowFactor,
                    const std::vector<float>& colFactor, unsigned threads, std::vector<float>& rows,
                    std::vector<float>& grid) {
    convolveAny(counts, rowFactor, colFactor, threads, rows, grid);
}

}  // namespace engine
