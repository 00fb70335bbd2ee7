// gammatone_bank._engine: many gammatone channels over one or many signals,
// with their state kept from one call to the next.
//
// Each channel performs exactly the double operations of the single-channel
// filter in gammatone_c, in the same order and each rounded on its own, so a
// channel's outputs are bit for bit those of one gammatone_c call over the
// whole signal, however the signal is split into calls.  Channels are
// independent and share their input, so W of them sit side by side in the
// lanes of one vector: a lane does exactly the scalar roundings, and nothing
// a lane does (tiny values, NaN, infinities) reaches its neighbours.
//
// The lane width follows the SIMD target chosen at run time (8 with AVX-512,
// 4 with AVX2, 2 with SSE2, 1 anywhere): the one that runs fastest on this
// CPU, timed once per process, or the one GAMMATONE_BANK_SIMD names.  The
// recursion is written once, against the lane type, and compiled for each
// target by a thin entry point carrying its target attribute: the default
// build stays generic x86-64.
//
// An engine filters a batch of signals through every channel at once: lane
// (signal s, channel c) is lane s * channels + c, and the lanes of all the
// signals fill the vectors together, so short signals and odd channel counts
// leave few lanes idle.  A lane's input is a row of a (signals x samples)
// array (a 1-D x is the one signal shared by every lane), or a row of its own
// in a (lanes x samples) array: the second, time-reversed pass of a
// zero-phase resynthesis filters each lane's own output again.  Any strides
// that are whole doubles are read as given.
//
// Besides the per-sample outputs, the engine sums the squares of each
// channel's output over frames (frame_len samples every hop_len), adding the
// squares in sample order to 0.0: this fixes the levels' rounding once, for
// one-shot and streamed use alike.

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_21_API_VERSION
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/arrayobject.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr double PI = 3.141592653589793;
constexpr double TWO_PI = 6.283185307179586;

// Recursion values below this magnitude are flushed to +0.0, as in the
// single-channel filter.
constexpr double TINY = 1e-200;

// Samples per block: the recursion runs over a block into small buffers, and
// the outputs are then written row by row from them.
constexpr int BLOCK = 256;

// The widest lane, in doubles.
constexpr int MAX_W = 8;

// Lanes (signals x channels) of one engine, at most.
constexpr int MAX_LANES = 1 << 30;

// Frames open at once per channel, at most (frame_len / hop_len).
constexpr int MAX_OPEN_FRAMES = 1 << 16;

// The inner-hair-cell lowpass's section counts: the rectification alone, and
// the two presets (one section, five in series).
constexpr int IHC_NONE = -1;
constexpr int MAX_IHC_STAGES = 5;

#define GT_INLINE inline __attribute__((always_inline))

// ---------------------------------------------------------------------------
// The lane type: W doubles, one per channel.  GCC's vector extensions give
// element-wise IEEE operations that compile to the instructions of whatever
// target the calling entry point has, so the code below exists once.

template <int W>
struct Lane {
    typedef double V __attribute__((vector_size(8 * W)));
    typedef std::int64_t M __attribute__((vector_size(8 * W)));
};

template <int W>
GT_INLINE typename Lane<W>::V load(const double *p) {
    typename Lane<W>::V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <int W>
GT_INLINE void store(double *p, typename Lane<W>::V v) {
    std::memcpy(p, &v, sizeof v);
}

// Every lane a, bit for bit (0.0 + a would turn -0.0 into +0.0): a's bits
// ORed into zeros, which compiles to one broadcast (a loop over the lanes
// became one masked load per lane).
template <int W>
GT_INLINE typename Lane<W>::V splat(double a) {
    typedef typename Lane<W>::M M;
    std::int64_t bits;
    std::memcpy(&bits, &a, sizeof bits);
    return (typename Lane<W>::V)(M{} | bits);
}

// Lanes whose magnitude is below TINY, as all-ones masks (never NaN lanes).
template <int W>
GT_INLINE typename Lane<W>::M tiny_mask(typename Lane<W>::V a) {
    typedef typename Lane<W>::M M;
    typedef typename Lane<W>::V V;
    const V magnitude = (V)((M)a & (M{} + INT64_MAX));
    return (M)(magnitude < splat<W>(TINY));
}

template <int W>
GT_INLINE typename Lane<W>::V cleared(typename Lane<W>::V a) {
    typedef typename Lane<W>::M M;
    typedef typename Lane<W>::V V;
    return (V)((M)a & ~tiny_mask<W>(a));
}

// The lesser of lo and a's magnitude, lane by lane; a NaN in a leaves lo
// as it was.
template <int W>
GT_INLINE typename Lane<W>::V least_magnitude(typename Lane<W>::V lo, typename Lane<W>::V a) {
    typedef typename Lane<W>::M M;
    typedef typename Lane<W>::V V;
    const V magnitude = (V)((M)a & (M{} + INT64_MAX));
    return magnitude < lo ? magnitude : lo;
}

// A bit per lane: bit l is set when lane l of m is not zero.
template <int W>
GT_INLINE unsigned lane_bits(typename Lane<W>::M m) {
    unsigned bits = 0;
    for (int l = 0; l < W; l++)
        bits |= static_cast<unsigned>(m[l] != 0) << l;
    return bits;
}

// ---------------------------------------------------------------------------
// One group of W lanes: coefficients, recursion state, phase trackers and
// frame sums.  Arrays are MAX_W long whatever the level; a level uses the
// first W.  Lanes past the last lane repeat its coefficients and are never
// written out.

struct alignas(64) Group {
    double a1[MAX_W], a2[MAX_W], a3[MAX_W], a4[MAX_W], a5[MAX_W];
    double coscf[MAX_W], sincf[MAX_W], gain[MAX_W];
    double tpt[MAX_W], cf[MAX_W];
    // The complex weight of the weighted output Re(w * analytic).
    double wr[MAX_W], wi[MAX_W];
    // Recursion history (p1 newest), real and imaginary parts.
    double p1r[MAX_W], p2r[MAX_W], p3r[MAX_W], p4r[MAX_W];
    double p1i[MAX_W], p2i[MAX_W], p3i[MAX_W], p4i[MAX_W];
    // The oscillator: cos and -sin of t * tpt * cf, by rotation.
    double qcos[MAX_W], qsin[MAX_W];
    // Phase trackers: the last unwrapped phase, and the whole-turn count of
    // the last folded step with 2 pi times it.
    double oldphase[MAX_W], turns[MAX_W], turns_2pi[MAX_W];
    // The inner-hair-cell lowpass: its sections' coefficients and states.
    double lb0[MAX_W], la1[MAX_W];
    double lz[MAX_IHC_STAGES][MAX_W];
    // The last block came near the flush: run the next one with it at once.
    bool flushing;
};

void set_channel(Group &g, int lane, int fs, double cf) {
    const double tpt = TWO_PI / static_cast<double>(fs);
    const double tptbw = ((((0.00437 * cf) + 1.0) * 24.7) * tpt) * 1.019;
    const double a = std::exp(-tptbw);
    g.a1[lane] = 4.0 * a;
    g.a2[lane] = (-6.0 * a) * a;
    g.a3[lane] = ((4.0 * a) * a) * a;
    g.a4[lane] = (((-a) * a) * a) * a;
    g.a5[lane] = a * a;
    g.gain[lane] = (((tptbw * tptbw) * tptbw) * tptbw) / 3.0;
    g.coscf[lane] = std::cos(tpt * cf);
    g.sincf[lane] = std::sin(tpt * cf);
    g.tpt[lane] = tpt;
    g.cf[lane] = cf;
    g.p1r[lane] = g.p2r[lane] = g.p3r[lane] = g.p4r[lane] = 0.0;
    g.p1i[lane] = g.p2i[lane] = g.p3i[lane] = g.p4i[lane] = 0.0;
    g.qcos[lane] = 1.0;
    g.qsin[lane] = 0.0;
    g.oldphase[lane] = g.turns[lane] = g.turns_2pi[lane] = 0.0;
    g.wr[lane] = 1.0;
    g.wi[lane] = 0.0;
    g.lb0[lane] = g.la1[lane] = 0.0;
    for (int s = 0; s < MAX_IHC_STAGES; s++)
        g.lz[s][lane] = 0.0;
    g.flushing = false;
}

// Where one call's outputs go.  Each is a (lanes x columns) block of rows
// `stride` doubles apart, or null when not requested.
struct Out {
    double *data = nullptr;
    Py_ssize_t stride = 0;
    double *row(int lane) const { return data + lane * stride; }
};

struct Engine {
    int fs = 0;
    int channels = 0;          // centre frequencies
    int signals = 1;
    int lanes = 0;             // signals x channels
    int width = 1;
    int ngroups = 0;
    bool phase = false;        // track the phase (instp, instf)
    int ihc = IHC_NONE;        // the inner-hair-cell lowpass's sections, when it writes ihc
    Py_ssize_t frame_len = 0;  // 0: no frame sums
    Py_ssize_t hop_len = 0;
    int ring = 0;              // frame sums kept open per channel, at most
    Group *groups = nullptr;
    // Per group: samples filtered so far, frames completed so far.
    std::vector<long long> samples, done;
    // Per group: a call is filtering it without the interpreter lock.
    std::vector<char> busy;
    // Open frame sums: ring slots of MAX_W per group.
    std::vector<double> sums;
    double *ring_slot(int g, long long k) { return &sums[(static_cast<std::size_t>(g) * ring + k % ring) * MAX_W]; }
};

// The input of one call: lane i reads its sample t at
// data[(i / per_row) * row_step + t * col_step], for t < n.  A shared 1-D x
// has row_step 0; a row per signal has per_row = channels; a row per lane
// has per_row = 1.
struct Input {
    const double *data = nullptr;
    Py_ssize_t row_step = 0, col_step = 1;
    int per_row = 1;
    Py_ssize_t n = 0;
    Py_ssize_t row(int lane) const { return lane / per_row; }
    const double *at(int lane, Py_ssize_t t) const { return data + row(lane) * row_step + t * col_step; }
};

struct Job {
    Engine *e;
    Input in;
    int g0, g1;
    Out bm, env, instp, instf, frames;
    // The analytic output: (re, im) pairs, so 2 n doubles per row.
    Out analytic;
    // Re(w * analytic) = wr * bm - wi * quadrature, with the engine's weights.
    Out weighted;
    // bm rectified and lowpassed, with the engine's inner-hair-cell lowpass.
    Out ihc;
};

// ---------------------------------------------------------------------------
// Whether every lane marked in `low` is silent over the block: its history
// all +0.0 at the start and its input all zero.  Such a lane's recursion
// values are all +0.0 (a1 p1 is +0.0, and +0.0 plus a zero is +0.0), which
// the flush leaves as they are: its least magnitude is 0 without any value
// to flush.  So digital silence before a channel's first sound (a decayed
// channel never returns to an all-zero history) costs no rerun, while a lane
// whose values only come near zero, or become zero by cancellation, is rerun.
// Not inlined: it is rarely called, and inlined into every variant of the
// recursion it doubled the module's compile time.  `low` has a bit per lane,
// as a vector would be passed differently with and without the caller's
// target; and the callers hold no vector across the call (see keep_state),
// since every vector register is the caller's to save.
template <int W, bool OWN_INPUT>
__attribute__((noinline)) bool silent_lanes(const Group &g, const double *const *src, Py_ssize_t step, int n, unsigned low) {
    bool input_checked = false;
    for (int l = 0; l < W; l++) {
        if (!(low >> l & 1u))
            continue;
        const double history[] = {g.p1r[l], g.p2r[l], g.p3r[l], g.p4r[l], g.p1i[l], g.p2i[l], g.p3i[l], g.p4i[l]};
        for (double h : history) {
            if (std::signbit(h) || h != 0.0)
                return false;
        }
        if (OWN_INPUT || !input_checked) {
            const double *x = src[OWN_INPUT ? l : 0];
            for (int t = 0; t < n; t++) {
                if (x[t * step] != 0.0)
                    return false;
            }
            input_checked = true;
        }
    }
    return true;
}

// The state a block leaves (history, oscillator, lowpass sections), from one
// group to another: a block that came near the flush first leaves it in a
// scratch group, so that no register holds it across silent_lanes.
inline void keep_state(const Group &from, Group &to) {
    std::memcpy(to.p1r, from.p1r, sizeof to.p1r); std::memcpy(to.p2r, from.p2r, sizeof to.p2r);
    std::memcpy(to.p3r, from.p3r, sizeof to.p3r); std::memcpy(to.p4r, from.p4r, sizeof to.p4r);
    std::memcpy(to.p1i, from.p1i, sizeof to.p1i); std::memcpy(to.p2i, from.p2i, sizeof to.p2i);
    std::memcpy(to.p3i, from.p3i, sizeof to.p3i); std::memcpy(to.p4i, from.p4i, sizeof to.p4i);
    std::memcpy(to.qcos, from.qcos, sizeof to.qcos); std::memcpy(to.qsin, from.qsin, sizeof to.qsin);
    std::memcpy(to.lz, from.lz, sizeof to.lz);
}

// G groups' recursions, oscillators and least magnitudes, held in registers
// through a block; k picks the group.
template <int W, int G>
struct Chain {
    typedef typename Lane<W>::V V;
    V a1[G], a2[G], a3[G], a4[G], a5[G], gain[G], rc[G], rs[G];
    V p1r[G], p2r[G], p3r[G], p4r[G], p1i[G], p2i[G], p3i[G], p4i[G];
    V qc[G], qs[G];
    V least[G];

    GT_INLINE explicit Chain(Group *const *g) {
        for (int k = 0; k < G; k++) {
            a1[k] = load<W>(g[k]->a1); a2[k] = load<W>(g[k]->a2); a3[k] = load<W>(g[k]->a3);
            a4[k] = load<W>(g[k]->a4); a5[k] = load<W>(g[k]->a5); gain[k] = load<W>(g[k]->gain);
            rc[k] = load<W>(g[k]->coscf); rs[k] = load<W>(g[k]->sincf);
            p1r[k] = load<W>(g[k]->p1r); p2r[k] = load<W>(g[k]->p2r); p3r[k] = load<W>(g[k]->p3r);
            p4r[k] = load<W>(g[k]->p4r); p1i[k] = load<W>(g[k]->p1i); p2i[k] = load<W>(g[k]->p2i);
            p3i[k] = load<W>(g[k]->p3i); p4i[k] = load<W>(g[k]->p4i);
            qc[k] = load<W>(g[k]->qcos); qs[k] = load<W>(g[k]->qsin);
            least[k] = splat<W>(TINY);
        }
    }

    // Sample t of group k from input xt: the new recursion value (flushed
    // when EXACT), the history shifted, the oscillator turned; returns bm,
    // with the complex output u = (ur, ui) and bm's quadrature bi.
    template <bool EXACT, bool QUADRATURE>
    GT_INLINE V step(int k, V xt, V &ur, V &ui, V &bi) {
        const V a1p1r = a1[k] * p1r[k], a1p1i = a1[k] * p1i[k];
        V p0r = xt * qc[k] + a1p1r + a2[k] * p2r[k] + a3[k] * p3r[k] + a4[k] * p4r[k];
        V p0i = xt * qs[k] + a1p1i + a2[k] * p2i[k] + a3[k] * p3i[k] + a4[k] * p4i[k];
        least[k] = least_magnitude<W>(least_magnitude<W>(least[k], p0r), p0i);
        if (EXACT) {
            p0r = cleared<W>(p0r);
            p0i = cleared<W>(p0i);
        }
        ur = p0r + a1p1r + a5[k] * p2r[k];
        ui = p0i + a1p1i + a5[k] * p2i[k];
        p4r[k] = p3r[k]; p3r[k] = p2r[k]; p2r[k] = p1r[k]; p1r[k] = p0r;
        p4i[k] = p3i[k]; p3i[k] = p2i[k]; p2i[k] = p1i[k]; p1i[k] = p0i;
        const V bm = (ur * qc[k] + ui * qs[k]) * gain[k];
        // u turned back up by the oscillator is the analytic signal; its
        // real part is bm, the same operations in the same order.
        if (QUADRATURE)
            bi = (ui * qc[k] - ur * qs[k]) * gain[k];
        const V oldcs = qc[k];
        qc[k] = rc[k] * oldcs + rs[k] * qs[k];
        qs[k] = rc[k] * qs[k] - rs[k] * oldcs;
        return bm;
    }

    GT_INLINE unsigned low(int k) const {
        typedef typename Lane<W>::M M;
        return lane_bits<W>((M)(least[k] < splat<W>(TINY)));
    }

    GT_INLINE void save(int k, Group &g) const {
        store<W>(g.p1r, p1r[k]); store<W>(g.p2r, p2r[k]); store<W>(g.p3r, p3r[k]); store<W>(g.p4r, p4r[k]);
        store<W>(g.p1i, p1i[k]); store<W>(g.p2i, p2i[k]); store<W>(g.p3i, p3i[k]); store<W>(g.p4i, p4i[k]);
        store<W>(g.qcos, qc[k]);
        store<W>(g.qsin, qs[k]);
    }
};

// The recursion over one block of n samples.  bm goes straight to the W
// caller's rows when `rows` is given, else to blk_bm as per-sample vectors;
// the complex output u (re, im) of each lane goes to blk_ur, blk_ui when
// KEEP_U, and bm's quadrature to blk_bi when ANALYTIC.  With OWN_INPUT,
// lane l reads its sample t at src[l][t * step], else every lane reads
// src[0][t * step].
//
// With IHC sections (0 or more), bm goes on through the inner-hair-cell
// lowpass before it is written: rectified (a negative value becomes +0.0;
// -0.0 and NaN pass), then IHC first-order sections in series, each the
// transposed direct form of y[t] = b0 x[t] + b0 x[t-1] - a1 y[t-1]:
//     y = z + b0 * x;   z = b0 * x - a1 * y
// with b0 * x rounded once for both (b1 is b0 in a Butterworth lowpass).
// Its chains of operations run beside the recursion's longer one, in
// issue slots the recursion leaves idle.
//
// The flush of tiny values sits on the recursion's critical path.  With
// EXACT false the block runs without it, so its results stand only if no
// value came below TINY; with EXACT true it flushes.  Either way the block
// keeps each lane's least recursion magnitude before the flush and returns
// whether some lane came below TINY, silent lanes aside (see silent_lanes):
// then a block run without the flush must be rerun with it from the same
// state, and its state is left as it was.  Up to the first value a flush
// would change, both runs compute the same bits.
template <int W, bool EXACT, bool KEEP_U, bool ANALYTIC, bool OWN_INPUT, int IHC>
GT_INLINE bool recurse(Group &g, const double *const *src, Py_ssize_t step, int n, double *blk_bm,
                       double *blk_ur, double *blk_ui, double *blk_bi, double *const *rows) {
    typedef typename Lane<W>::V V;
    Group *const one[1] = {&g};
    Chain<W, 1> c(one);
    const V lb0 = load<W>(g.lb0), la1 = load<W>(g.la1);
    V lz[IHC > 0 ? IHC : 1];
    for (int s = 0; s < IHC; s++)
        lz[s] = load<W>(g.lz[s]);
    for (int t = 0; t < n; t++) {
        V xt;
        if (OWN_INPUT) {
            // Off the recursion's chain: these loads overlap its latency.
            for (int l = 0; l < W; l++)
                xt[l] = src[l][t * step];
        } else {
            xt = splat<W>(src[0][t * step]);
        }
        V ur, ui, bi;
        V bm = c.template step<EXACT, ANALYTIC>(0, xt, ur, ui, bi);
        if (IHC != IHC_NONE) {
            V v = V{} > bm ? V{} : bm;
            for (int s = 0; s < IHC; s++) {
                const V bv = lb0 * v;
                const V y = lz[s] + bv;
                lz[s] = bv - la1 * y;
                v = y;
            }
            bm = v;
        }
        if (rows) {
            // Straight to the caller's rows: these stores fill ports the
            // recursion's chain leaves idle.
            for (int l = 0; l < W; l++)
                rows[l][t] = bm[l];
        } else {
            store<W>(blk_bm + t * W, bm);
        }
        if (KEEP_U) {
            store<W>(blk_ur + t * W, ur);
            store<W>(blk_ui + t * W, ui);
        }
        if (ANALYTIC)
            store<W>(blk_bi + t * W, bi);
    }
    const unsigned low = c.low(0);
    Group scratch;
    Group &end = low != 0 ? scratch : g;
    c.save(0, end);
    for (int s = 0; s < IHC; s++)
        store<W>(end.lz[s], lz[s]);
    if (low == 0)
        return false;
    const bool near = !silent_lanes<W, OWN_INPUT>(g, src, step, n, low);
    if (EXACT || !near)
        keep_state(scratch, g);
    return near;
}

// Two groups through a block at once, every lane of both reading row x,
// bm to each group's block in blk[k], for the frame sums; without the flush.
// The two recursions run side by side in one loop, so that each one's chain
// of latencies overlaps the other's work.  A group whose block came near the
// flush is left as it was, to be rerun with it: bit k of the result is set
// for group k.
template <int W>
GT_INLINE unsigned recurse_pair(Group *const *g, const double *x, Py_ssize_t step, int n, double *const *blk) {
    typedef typename Lane<W>::V V;
    Chain<W, 2> c(g);
    double *const out[2] = {blk[0], blk[1]};
    for (int t = 0; t < n; t++) {
        const V xt = splat<W>(x[t * step]);
        for (int k = 0; k < 2; k++) {
            V ur, ui, bi;
            store<W>(out[k] + t * W, c.template step<false, false>(k, xt, ur, ui, bi));
        }
    }
    const unsigned low[2] = {c.low(0), c.low(1)};
    Group scratch[2];
    for (int k = 0; k < 2; k++)
        c.save(k, low[k] != 0 ? scratch[k] : *g[k]);
    unsigned redo = 0;
    for (int k = 0; k < 2; k++) {
        if (low[k] == 0)
            continue;
        if (silent_lanes<W, false>(*g[k], &x, step, n, low[k]))
            keep_state(scratch[k], *g[k]);
        else
            redo |= 1u << k;
    }
    return redo;
}

// The pairs' loop, compiled for AVX-512 alone (see run_together) and once:
// inlined into every target's block function it also cost compile time there.
__attribute__((target("avx512f"), noinline)) unsigned recurse_pair_avx512(Group *const *g, const double *x,
                                                                         Py_ssize_t step, int n,
                                                                         double *const *blk) {
    return recurse_pair<8>(g, x, step, n, blk);
}

// Stops the compiler from turning a rarely taken branch into a select.
GT_INLINE void keep_branch() {
#if defined(__GNUC__)
    __asm__ volatile("");
#endif
}

// The phase tracker of one lane over a block: samples t0 .. t0+n-1 of the
// stream.  The unwrapped phase goes to instp[k], the forward difference, in
// Hz, of sample t-1 to instf[t-1-f0].  A step beyond pi is folded by a
// floored modulo 2 pi; the whole-turn count almost never changes, so the
// chain uses the last one and only a changed count takes the branch that
// updates it (the same count either way, so the same bits).
template <int W>
GT_INLINE void track_phase(Group &g, int lane, const double *ur, const double *ui, int n,
                           long long t0, long long f0, double *instp, double *instf) {
    const double tpt = g.tpt[lane], cf = g.cf[lane];
    double old = g.oldphase[lane], turns = g.turns[lane], turns_2pi = g.turns_2pi[lane];
    for (int k = 0; k < n; k++) {
        double phase = std::atan2(ui[k * W + lane], ur[k * W + lane]);
        const double dp = phase - old;
        if (std::fabs(dp) > PI) {
            const double v = dp + PI;
            const double fresh = std::floor(v / TWO_PI);
            if (fresh != turns) {
                keep_branch();
                turns = fresh;
                turns_2pi = TWO_PI * fresh;
            }
            double dps = (v - turns_2pi) - PI;
            // A step that lands on -pi from above keeps its direction as +pi.
            if (dps == -PI && dp > 0.0)
                dps = PI;
            phase = (phase + dps) - dp;
        }
        if (instp)
            instp[k] = phase;
        const long long t = t0 + k;
        if (instf && t > 0)
            instf[t - 1 - f0] = ((phase - old) / tpt) + cf;
        old = phase;
    }
    g.oldphase[lane] = old;
    g.turns[lane] = turns;
    g.turns_2pi[lane] = turns_2pi;
}

// Adds a block's squares (global samples b0 .. b0+n-1) to the frames they
// fall in, in sample order, and writes each frame that completes to its
// column (frame index minus the frames completed before this call); for P
// groups at once, gi .. gi+P-1, which have filtered the same samples, their
// blocks P apart in blk_bm.
//
// Each frame's sum is a chain of additions; the block is cut where a frame
// opens or closes, and within a piece the open frames' chains of every group
// run side by side, OPEN_AT_ONCE frames at a time, so that their latencies
// overlap.  Each frame still adds its squares one at a time in sample order.
constexpr int OPEN_AT_ONCE = 4;

template <int W, int P>
GT_INLINE void add_frames(Engine &e, int gi, const double *blk_bm, int n, long long b0, long long done0,
                          const int *lanes, const Out &frames) {
    typedef typename Lane<W>::V V;
    const long long flen = e.frame_len, hop = e.hop_len, b1 = b0 + n;
    for (long long t = b0; t < b1;) {
        // Frames ka .. kb are open at sample t (none when t falls in a gap
        // between frames); the piece ends where the next opens or ka closes.
        const long long ka = t >= flen ? (t - flen) / hop + 1 : 0, kb = t / hop;
        long long stop = (kb + 1) * hop < b1 ? (kb + 1) * hop : b1;
        if (ka <= kb && ka * hop + flen < stop)
            stop = ka * hop + flen;
        for (long long k0 = ka; k0 <= kb; k0 += OPEN_AT_ONCE) {
            const int m = kb - k0 + 1 < OPEN_AT_ONCE ? static_cast<int>(kb - k0 + 1) : OPEN_AT_ONCE;
            double *slot[P][OPEN_AT_ONCE];
            V acc[P][OPEN_AT_ONCE];
            for (int p = 0; p < P; p++) {
                for (int j = 0; j < OPEN_AT_ONCE; j++) {
                    slot[p][j] = e.ring_slot(gi + p, k0 + (j < m ? j : 0));
                    acc[p][j] = j < m && (k0 + j) * hop != t ? load<W>(slot[p][j]) : V{};
                }
            }
            switch (m) {
#define GT_FRAME_SUMS(M)                                                  \
    case M:                                                               \
        for (long long u = t; u < stop; u++) {                            \
            for (int p = 0; p < P; p++) {                                 \
                const V b = load<W>(blk_bm + ((p * BLOCK) + (u - b0)) * W); \
                const V sq = b * b;                                       \
                for (int j = 0; j < M; j++)                               \
                    acc[p][j] = acc[p][j] + sq;                           \
            }                                                             \
        }                                                                 \
        break;
                GT_FRAME_SUMS(1)
                GT_FRAME_SUMS(2)
                GT_FRAME_SUMS(3)
                GT_FRAME_SUMS(4)
#undef GT_FRAME_SUMS
            }
            for (int p = 0; p < P; p++) {
                for (int j = 0; j < m; j++)
                    store<W>(slot[p][j], acc[p][j]);
            }
        }
        if (ka <= kb && ka * hop + flen == stop) {
            for (int p = 0; p < P; p++) {
                const double *sums = e.ring_slot(gi + p, ka);
                for (int l = 0; l < lanes[p]; l++)
                    frames.row((gi + p) * W + l)[ka - done0] = sums[l];
                e.done[gi + p] = ka + 1;
            }
        }
        t = stop;
    }
}

// Writes a block of per-sample vectors (n samples of W lanes) out as rows:
// lane l to out.row(first + l)[col ...], for the first `lanes` lanes.
template <int W>
GT_INLINE void write_rows(const double *blk, int n, int lanes, const Out &out, int first, Py_ssize_t col) {
    for (int l = 0; l < lanes; l++) {
        double *row = out.row(first + l) + col;
        for (int k = 0; k < n; k++)
            row[k] = blk[k * W + l];
    }
}

// One block, run without the flush and rerun with it when needed.  After a
// block that came near the flush, the next runs with it at once: a channel
// that has decayed in digital silence hovers about TINY, flushed again every
// few samples, for as long as the silence lasts.
template <int W, bool KEEP_U, bool ANALYTIC, bool OWN_INPUT, int IHC>
GT_INLINE void run_block(Group &g, const double *const *src, Py_ssize_t step, int n, double *blk_bm,
                         double *blk_ur, double *blk_ui, double *blk_bi, double *const *rows) {
    if (!g.flushing && !recurse<W, false, KEEP_U, ANALYTIC, OWN_INPUT, IHC>(g, src, step, n, blk_bm, blk_ur, blk_ui,
                                                                           blk_bi, rows))
        return;
    g.flushing = recurse<W, true, KEEP_U, ANALYTIC, OWN_INPUT, IHC>(g, src, step, n, blk_bm, blk_ur, blk_ui, blk_bi,
                                                                    rows);
}

// ihc: the engine's inner-hair-cell sections, or IHC_NONE.
template <int W, bool OWN_INPUT>
GT_INLINE void run_input(bool keep_u, bool analytic, int ihc, Group &g, const double *const *src, Py_ssize_t step,
                         int n, double *blk_bm, double *blk_ur, double *blk_ui, double *blk_bi, double *const *rows) {
    static_assert(MAX_IHC_STAGES == 5, "each section count has its case");
    if (ihc == 0)
        run_block<W, false, false, OWN_INPUT, 0>(g, src, step, n, blk_bm, blk_ur, blk_ui, blk_bi, rows);
    else if (ihc == 1)
        run_block<W, false, false, OWN_INPUT, 1>(g, src, step, n, blk_bm, blk_ur, blk_ui, blk_bi, rows);
    else if (ihc == 5)
        run_block<W, false, false, OWN_INPUT, 5>(g, src, step, n, blk_bm, blk_ur, blk_ui, blk_bi, rows);
    else if (analytic)
        run_block<W, true, true, OWN_INPUT, IHC_NONE>(g, src, step, n, blk_bm, blk_ur, blk_ui, blk_bi, rows);
    else if (keep_u)
        run_block<W, true, false, OWN_INPUT, IHC_NONE>(g, src, step, n, blk_bm, blk_ur, blk_ui, blk_bi, rows);
    else
        run_block<W, false, false, OWN_INPUT, IHC_NONE>(g, src, step, n, blk_bm, blk_ur, blk_ui, blk_bi, rows);
}

// Scratch for one group's block: bm as per-sample vectors (kept for the
// frame sums), the complex output and bm's quadrature.
template <int W>
struct Scratch {
    alignas(64) double ur[BLOCK * W], ui[BLOCK * W], bi[BLOCK * W];
};

// The lane whose input row each lane of group gi reads (lanes past the last
// one read its row); true when they read more than one row.  When every lane
// reads the same row, the sample is loaded once and broadcast.
template <int W>
GT_INLINE bool lane_sources(const Job &job, int gi, int *source) {
    const Engine &e = *job.e;
    const int first = gi * W;
    for (int l = 0; l < W; l++)
        source[l] = first + l < e.lanes ? first + l : e.lanes - 1;
    return job.in.row_step != 0 && job.in.row(source[0]) != job.in.row(source[W - 1]);
}

// One group's block: samples b .. b+n-1 of this call, bm to blk_bm.
template <int W>
GT_INLINE void run_group_block(const Job &job, int gi, Py_ssize_t b, int n, double *blk_bm, Scratch<W> &sc) {
    Engine &e = *job.e;
    Group &g = e.groups[gi];
    const Input &in = job.in;
    // The complex output is kept only for the envelope, the phase and the
    // analytic output.
    const bool analytic = job.analytic.data != nullptr || job.weighted.data != nullptr;
    const bool keep_u = job.env.data != nullptr || e.phase || analytic;
    const int first = gi * W;
    const int lanes = e.lanes - first < W ? e.lanes - first : W;
    int source[W];
    const bool own = lane_sources<W>(job, gi, source);
    const long long t_start = e.samples[gi];
    const long long f0 = t_start > 0 ? t_start - 1 : 0;
    // With frame sums the block's bm is needed again, so it is kept.
    // The inner-hair-cell output is the engine's only one when it has it.
    double *rows[W];
    const Out &to_rows = e.ihc != IHC_NONE ? job.ihc : job.bm;
    const bool direct = e.ihc != IHC_NONE || (job.bm.data != nullptr && e.frame_len == 0 && !analytic);
    if (direct) {
        for (int l = 0; l < W; l++)
            rows[l] = l < lanes ? to_rows.row(first + l) + b : blk_bm;
    }
    double *const *to = direct ? rows : nullptr;
    const double *src[W];
    for (int l = 0; l < W; l++)
        src[l] = in.at(source[l], b);
    if (own)
        run_input<W, true>(keep_u, analytic, e.ihc, g, src, in.col_step, n, blk_bm, sc.ur, sc.ui, sc.bi, to);
    else
        run_input<W, false>(keep_u, analytic, e.ihc, g, src, in.col_step, n, blk_bm, sc.ur, sc.ui, sc.bi, to);
    const long long t0 = t_start + b;
    if (job.bm.data && !direct)
        write_rows<W>(blk_bm, n, lanes, job.bm, first, b);
    if (job.weighted.data) {
        for (int l = 0; l < lanes; l++) {
            const double wr = g.wr[l], wi = g.wi[l];
            double *row = job.weighted.row(first + l) + b;
            for (int k = 0; k < n; k++)
                row[k] = wr * blk_bm[k * W + l] - wi * sc.bi[k * W + l];
        }
    }
    if (job.analytic.data) {
        for (int l = 0; l < lanes; l++) {
            double *row = job.analytic.row(first + l) + 2 * b;
            for (int k = 0; k < n; k++) {
                row[2 * k] = blk_bm[k * W + l];
                row[2 * k + 1] = sc.bi[k * W + l];
            }
        }
    }
    for (int l = 0; l < lanes; l++) {
        if (job.env.data) {
            const double gain = g.gain[l];
            double *row = job.env.row(first + l) + b;
            for (int k = 0; k < n; k++) {
                const double re = sc.ur[k * W + l], im = sc.ui[k * W + l];
                row[k] = std::sqrt(re * re + im * im) * gain;
            }
        }
        if (e.phase)
            track_phase<W>(g, l, sc.ur, sc.ui, n, t0, f0, job.instp.data ? job.instp.row(first + l) + b : nullptr,
                           job.instf.data ? job.instf.row(first + l) : nullptr);
    }
}

// Groups gi .. gi+together-1 (one or two) through the call's samples.  With
// frame sums, two groups go through each block together, so that their
// frames' chains of additions overlap.  The count is a run-time value, so
// the block's recursion is compiled once, not once per count.
template <int W>
GT_INLINE void run_together(const Job &job, int gi, int together, double *blk_bm, Scratch<W> &sc) {
    Engine &e = *job.e;
    const long long t_start = e.samples[gi], done0 = e.done[gi];
    int lanes[2];
    for (int p = 0; p < together; p++)
        lanes[p] = e.lanes - (gi + p) * W < W ? e.lanes - (gi + p) * W : W;
    // Frame sums alone, of two groups whose lanes all read one row: their
    // recursions run side by side (recurse_pair).  Only AVX-512's 32 vector
    // registers hold both; with 16 (AVX2, SSE2) the second one's state is
    // spilled to memory, and two groups one after the other run faster.
    int source[2][W];
    bool pair = W == 8 && together == 2 && e.frame_len > 0 && !e.phase && e.ihc == IHC_NONE && !job.bm.data &&
                !job.env.data && !job.analytic.data && !job.weighted.data;
    for (int p = 0; p < together; p++)
        pair = !lane_sources<W>(job, gi + p, source[p]) && pair;
    pair = pair && job.in.at(source[0][0], 0) == job.in.at(source[1][0], 0);
    Group *const g[2] = {&e.groups[gi], &e.groups[gi + together - 1]};
    double *const blk[2] = {blk_bm, blk_bm + BLOCK * W};
    for (Py_ssize_t b = 0, n; b < job.in.n; b += n) {
        n = job.in.n - b < BLOCK ? job.in.n - b : BLOCK;
        unsigned redo = (1u << together) - 1;
        if (pair && !g[0]->flushing && !g[1]->flushing) {
            if constexpr (W == 8)
                redo = recurse_pair_avx512(g, job.in.at(source[0][0], b), job.in.col_step, static_cast<int>(n), blk);
            // A group left as it was reruns its block with the flush.
            g[0]->flushing = (redo & 1u) != 0;
            g[1]->flushing = (redo & 2u) != 0;
        }
        for (int p = 0; p < together; p++) {
            if (redo >> p & 1u)
                run_group_block<W>(job, gi + p, b, static_cast<int>(n), blk[p], sc);
        }
        if (e.frame_len > 0 && together == 2)
            add_frames<W, 2>(e, gi, blk_bm, static_cast<int>(n), t_start + b, done0, lanes, job.frames);
        else if (e.frame_len > 0)
            add_frames<W, 1>(e, gi, blk_bm, static_cast<int>(n), t_start + b, done0, lanes, job.frames);
    }
    for (int p = 0; p < together; p++)
        e.samples[gi + p] = t_start + job.in.n;
}

template <int W>
GT_INLINE void run_groups(const Job &job) {
    Engine &e = *job.e;
    alignas(64) double blk_bm[2 * BLOCK * W];
    Scratch<W> sc;
    for (int gi = job.g0; gi < job.g1;) {
        // A call's groups have all filtered the same samples (check_groups).
        const int together = e.frame_len > 0 && gi + 1 < job.g1 ? 2 : 1;
        run_together<W>(job, gi, together, blk_bm, sc);
        gi += together;
    }
}

// ---------------------------------------------------------------------------
// A first-order recursion along the rows of a block, for the ratemap: the
// leaky integrator.  Rows are independent, so W of them sit side by side in
// the lanes of one vector, each lane doing exactly its row's scalar
// operations in the order written below.  The state of every row is the
// caller's, so a signal may come in blocks of any length with the same bits.
//
// integrate: y[t] = a * y[t-1] + c * x[t] in place, then y's sums over
// frames of frame_len samples every hop_len, added in sample order to 0.0
// in a ring of open frames kept per row; each frame that completes goes
// to its column of `out`.

struct RowBlock {
    double *data;
    Py_ssize_t stride, n;
    int rows;
};

// Lane l's row in a group starting at row r: rows past the end repeat the
// last one, read but never written.
GT_INLINE Py_ssize_t lane_row(int r, int l, int rows) { return r + l < rows ? r + l : rows - 1; }

// A W x W block transposed in place: lane l of v[p] becomes lane p of v[l].
// The rows are read and written W samples at a time, turned into one vector
// per sample across the rows: whole-vector loads and stores and log2(W)
// rounds of shuffles in place of a scalar load and store per lane and sample.
template <int W, int H>
GT_INLINE void transpose_round(typename Lane<W>::V *v) {
    typedef typename Lane<W>::V V;
    typedef typename Lane<W>::M M;
    M lo, hi;
    for (int l = 0; l < W; l++) {
        lo[l] = (l & H) ? W + l - H : l;
        hi[l] = (l & H) ? W + l : l + H;
    }
    for (int p = 0; p < W; p++) {
        if (p & H)
            continue;
        const V a = v[p], b = v[p | H];
        v[p] = __builtin_shuffle(a, b, lo);
        v[p | H] = __builtin_shuffle(a, b, hi);
    }
}

template <int W>
GT_INLINE void transpose(typename Lane<W>::V *v) {
    if constexpr (W > 1)
        transpose_round<W, 1>(v);
    if constexpr (W > 2)
        transpose_round<W, 2>(v);
    if constexpr (W > 4)
        transpose_round<W, 4>(v);
    static_assert(W <= 8, "a wider target needs another round");
}

// Samples t .. t + W - 1 of W rows, one vector per sample across the rows.
template <int W>
GT_INLINE void load_tile(double *const *row, Py_ssize_t t, typename Lane<W>::V *v) {
    for (int l = 0; l < W; l++)
        v[l] = load<W>(row[l] + t);
    transpose<W>(v);
}

// The inverse, into the first `lanes` rows.
template <int W>
GT_INLINE void store_tile(double *const *row, int lanes, Py_ssize_t t, typename Lane<W>::V *v) {
    transpose<W>(v);
    for (int l = 0; l < lanes; l++)
        store<W>(row[l] + t, v[l]);
}

struct Framing {
    long long t0, flen, hop;
    int ring;
    double *sums;  // (rows x ring), row-major
    Out out;
};

long long completed_by(long long upto, long long flen, long long hop) {
    return upto < flen ? 0 : (upto - flen) / hop + 1;
}

template <int W>
GT_INLINE void integrate_block(const RowBlock &y, double *state, double a, double c, const Framing &f) {
    typedef typename Lane<W>::V V;
    const V va = splat<W>(a), vc = splat<W>(c);
    const long long b0 = f.t0, b1 = f.t0 + y.n, done0 = completed_by(b0, f.flen, f.hop);
    for (int r = 0; r < y.rows; r += W) {
        const int lanes = y.rows - r < W ? y.rows - r : W;
        double *row[W];
        V prev;
        for (int l = 0; l < W; l++) {
            const Py_ssize_t i = lane_row(r, l, y.rows);
            row[l] = y.data + i * y.stride;
            prev[l] = state[i];
        }
        // The smoothing: a * y[t-1] and c * x[t] rounded each, then added.
        Py_ssize_t t = 0;
        for (; t + W <= y.n; t += W) {
            V v[W];
            load_tile<W>(row, t, v);
            for (int j = 0; j < W; j++)
                v[j] = prev = va * prev + vc * v[j];
            store_tile<W>(row, lanes, t, v);
        }
        for (; t < y.n; t++) {
            V x;
            for (int l = 0; l < W; l++)
                x[l] = row[l][t];
            prev = va * prev + vc * x;
            for (int l = 0; l < lanes; l++)
                row[l][t] = prev[l];
        }
        for (int l = 0; l < lanes; l++)
            state[r + l] = prev[l];
        if (y.n == 0)
            continue;
        // The frames this block reaches, each summed over its part of the block.
        const long long kmin = b0 >= f.flen ? (b0 - f.flen) / f.hop + 1 : 0, kmax = (b1 - 1) / f.hop;
        for (long long k = kmin; k <= kmax; k++) {
            const long long s = k * f.hop, end = s + f.flen;
            const long long lo = s > b0 ? s : b0, hi = end < b1 ? end : b1;
            if (lo >= hi)
                continue;
            double *slot[W];
            V acc = V{};
            for (int l = 0; l < W; l++) {
                slot[l] = f.sums + lane_row(r, l, y.rows) * f.ring + k % f.ring;
                if (lo != s)
                    acc[l] = *slot[l];
            }
            long long u = lo;
            for (; u + W <= hi; u += W) {
                V v[W];
                load_tile<W>(row, u - b0, v);
                for (int j = 0; j < W; j++)
                    acc = acc + v[j];
            }
            for (; u < hi; u++) {
                V x;
                for (int l = 0; l < W; l++)
                    x[l] = row[l][u - b0];
                acc = acc + x;
            }
            for (int l = 0; l < lanes; l++) {
                *slot[l] = acc[l];
                if (hi == end)
                    f.out.row(r + l)[k - done0] = acc[l];
            }
        }
    }
}

// The rows of a small matrix applied to the columns of a block, for the
// cepstra: out[k][f] = sum over n of m[k][n] * e[n][f], each product rounded
// and added in the order of n to 0.0.  Columns are independent: a lane takes
// a column, PROJECT_VECTORS vectors of them keep their sums in registers
// through the loop over n, and every column gets the same bits however many
// columns a call has.
constexpr int PROJECT_VECTORS = 4;

template <int W>
GT_INLINE void project_block(const double *m, Py_ssize_t rows, Py_ssize_t inner, const double *e,
                             Py_ssize_t columns, double *out) {
    typedef typename Lane<W>::V V;
    constexpr Py_ssize_t SPAN = PROJECT_VECTORS * W;
    for (Py_ssize_t k = 0; k < rows; k++) {
        const double *mk = m + k * inner;
        double *o = out + k * columns;
        Py_ssize_t f = 0;
        for (; f + SPAN <= columns; f += SPAN) {
            V acc[PROJECT_VECTORS] = {};
            for (Py_ssize_t n = 0; n < inner; n++) {
                const V w = splat<W>(mk[n]);
                const double *en = e + n * columns + f;
                for (int j = 0; j < PROJECT_VECTORS; j++)
                    acc[j] = acc[j] + w * load<W>(en + j * W);
            }
            for (int j = 0; j < PROJECT_VECTORS; j++)
                store<W>(o + f + j * W, acc[j]);
        }
        for (; f < columns; f++) {
            double acc = 0.0;
            for (Py_ssize_t n = 0; n < inner; n++)
                acc = acc + mk[n] * e[n * columns + f];
            o[f] = acc;
        }
    }
}

// The cepstra's regression deltas, row by row:
// d[j] = ((c[t+1] - c[t-1]) + 2.0 * (c[t+2] - c[t-2])) / 10.0, each operation
// rounded on its own, with t = j when `left` (the row starts at the signal's
// first frame) and t = j + 2 otherwise.  Indices past the row's ends take
// its first or last value: the edge frames repeated.  Only the few columns
// near the edges need that; the others run without it, where the compiler
// vectorises the loop.
void delta_rows(const RowBlock &c, const RowBlock &d, bool left) {
    const Py_ssize_t m = c.n, shift = left ? 0 : 2;
    // Columns j0 .. j1-1 have every index inside the row.
    const Py_ssize_t j0 = std::min(d.n, std::max<Py_ssize_t>(0, 2 - shift));
    const Py_ssize_t j1 = std::max(j0, std::min(d.n, m - 2 - shift));
    for (int r = 0; r < c.rows; r++) {
        const double *x = c.data + r * c.stride;
        double *y = d.data + r * d.stride;
        auto at = [x, m](Py_ssize_t i) { return x[i < 0 ? 0 : i >= m ? m - 1 : i]; };
        for (Py_ssize_t j = 0; j < j0; j++) {
            const Py_ssize_t t = j + shift;
            y[j] = ((at(t + 1) - at(t - 1)) + 2.0 * (at(t + 2) - at(t - 2))) / 10.0;
        }
        const double *xs = x + shift;
        for (Py_ssize_t j = j0; j < j1; j++)
            y[j] = ((xs[j + 1] - xs[j - 1]) + 2.0 * (xs[j + 2] - xs[j - 2])) / 10.0;
        for (Py_ssize_t j = j1; j < d.n; j++) {
            const Py_ssize_t t = j + shift;
            y[j] = ((at(t + 1) - at(t - 1)) + 2.0 * (at(t + 2) - at(t - 2))) / 10.0;
        }
    }
}

// ---------------------------------------------------------------------------
// The SIMD targets: the recursion compiled once per instruction set, each by
// a thin entry point carrying its target attribute, and one table of them.
// Everything that chooses, names or lists targets reads the table, so
// another target (NEON on arm64, say: width 2, always available there) is one
// more entry point and one more row.

void run_scalar(const Job &job) { run_groups<1>(job); }
void integrate_scalar(const RowBlock &y, double *st, double a, double c, const Framing &f) {
    integrate_block<1>(y, st, a, c, f);
}
void project_scalar(const double *m, Py_ssize_t r, Py_ssize_t i, const double *e, Py_ssize_t c, double *o) {
    project_block<1>(m, r, i, e, c, o);
}
bool always() { return true; }

#if defined(__x86_64__) || defined(__i386__)
#define GT_X86 1
__attribute__((target("sse2"))) void run_sse2(const Job &job) { run_groups<2>(job); }
__attribute__((target("avx2"))) void run_avx2(const Job &job) { run_groups<4>(job); }
__attribute__((target("avx512f"))) void run_avx512(const Job &job) { run_groups<8>(job); }
__attribute__((target("sse2"))) void integrate_sse2(const RowBlock &y, double *st, double a, double c,
                                                    const Framing &f) {
    integrate_block<2>(y, st, a, c, f);
}
__attribute__((target("avx2"))) void integrate_avx2(const RowBlock &y, double *st, double a, double c,
                                                    const Framing &f) {
    integrate_block<4>(y, st, a, c, f);
}
__attribute__((target("avx512f"))) void integrate_avx512(const RowBlock &y, double *st, double a, double c,
                                                         const Framing &f) {
    integrate_block<8>(y, st, a, c, f);
}
__attribute__((target("sse2"))) void project_sse2(const double *m, Py_ssize_t r, Py_ssize_t i, const double *e,
                                                  Py_ssize_t c, double *o) {
    project_block<2>(m, r, i, e, c, o);
}
__attribute__((target("avx2"))) void project_avx2(const double *m, Py_ssize_t r, Py_ssize_t i, const double *e,
                                                  Py_ssize_t c, double *o) {
    project_block<4>(m, r, i, e, c, o);
}
__attribute__((target("avx512f"))) void project_avx512(const double *m, Py_ssize_t r, Py_ssize_t i,
                                                       const double *e, Py_ssize_t c, double *o) {
    project_block<8>(m, r, i, e, c, o);
}
// __builtin_cpu_supports takes its feature as a literal: one test each.
bool has_sse2() { return __builtin_cpu_init(), __builtin_cpu_supports("sse2"); }
bool has_avx2() { return __builtin_cpu_init(), __builtin_cpu_supports("avx2"); }
bool has_avx512() { return __builtin_cpu_init(), __builtin_cpu_supports("avx512f"); }
#endif

struct Target {
    const char *name;
    int width;                // channels side by side in one vector
    bool (*available)();      // whether this CPU runs it
    void (*run)(const Job &); // the recursion over a job's groups
    // The features' first-order recursions along rows.
    void (*integrate)(const RowBlock &, double *, double, double, const Framing &);
    // The cepstra's matrix product.
    void (*project)(const double *, Py_ssize_t, Py_ssize_t, const double *, Py_ssize_t, double *);
};

// Narrowest first.
constexpr Target TARGETS[] = {
    {"scalar", 1, always, run_scalar, integrate_scalar, project_scalar},
#if defined(GT_X86)
    {"sse2", 2, has_sse2, run_sse2, integrate_sse2, project_sse2},
    {"avx2", 4, has_avx2, run_avx2, integrate_avx2, project_avx2},
    {"avx512", 8, has_avx512, run_avx512, integrate_avx512, project_avx512},
#endif
};
constexpr int NTARGETS = sizeof TARGETS / sizeof TARGETS[0];

constexpr bool widths_fit() {
    for (const Target &t : TARGETS) {
        if (t.width < 1 || t.width > MAX_W)
            return false;
    }
    return true;
}
static_assert(widths_fit(), "a target is wider than a Group's MAX_W lanes");

// The table's names, for messages: "scalar, sse2, avx2 or avx512".
std::string target_names() {
    std::string out;
    for (int t = 0; t < NTARGETS; t++) {
        if (t > 0)
            out += t + 1 < NTARGETS ? ", " : " or ";
        out += TARGETS[t].name;
    }
    return out;
}

// The default target is the one that runs fastest here, not the widest: a
// CPU that splits 512-bit vectors into two halves (Zen 4) runs AVX-512 more
// slowly than AVX2, one that does not (most Intel server parts) faster.  So
// every available target filters the same small bank once per process, at
// first use: TIMING_CHANNELS channels over one block of noise, the targets
// one after another in interleaved rounds, each keeping the faster of two
// calls back to back (the first may find a vector unit still waking up).
// A target's score is the median, over the rounds, of its time relative to
// the round's fastest: a busy machine slows some rounds down, but it slows
// every target of a round alike, and the median passes over the rounds it
// upsets.  (The minimum of each target's own calls does not: on a machine
// kept busy by other work it picked a target 15 % slower one time in 30.)
// After the first rounds a target far behind (scalar, at five times the
// time) cannot win and is no longer timed: about 3 ms in all.
constexpr int TIMING_CHANNELS = 32;   // whole groups at every width
constexpr int TIMING_ROUNDS = 32;
constexpr int TIMING_CALLS = 2;       // back to back, per target and round
constexpr int TIMING_ALL_ROUNDS = 4;  // rounds every target runs
constexpr double TIMING_BEHIND = 1.5; // then only those within this of the best
static_assert(
    [] {
        for (const Target &t : TARGETS) {
            if (TIMING_CHANNELS % t.width != 0)
                return false;
        }
        return true;
    }(),
    "the timing's bank must fill whole groups at every width");

struct Timing {
    int fastest = 0;
    double score[NTARGETS] = {};  // 0 for a target not available
};

// The median of values[0 .. n-1], reordering them.
double median(double *values, int n) {
    std::sort(values, values + n);
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

Timing time_targets() {
    const int fs = 16000;
    double x[BLOCK];
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    for (double &v : x) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        v = static_cast<double>(state >> 11) * 0x1p-53 - 0.5;
    }
    std::vector<double> bm(static_cast<std::size_t>(TIMING_CHANNELS) * BLOCK);
    Engine engines[NTARGETS];
    std::vector<Group> groups[NTARGETS];
    Job jobs[NTARGETS];
    bool racing[NTARGETS] = {};
    for (int t = 0; t < NTARGETS; t++) {
        if (!(racing[t] = TARGETS[t].available()))
            continue;
        Engine &e = engines[t];
        e.fs = fs;
        e.channels = TIMING_CHANNELS;
        e.signals = 1;
        e.lanes = TIMING_CHANNELS;
        e.width = TARGETS[t].width;
        e.ngroups = TIMING_CHANNELS / e.width;
        e.samples.assign(e.ngroups, 0);
        e.done.assign(e.ngroups, 0);
        groups[t].resize(e.ngroups);
        e.groups = groups[t].data();
        for (int c = 0; c < TIMING_CHANNELS; c++)  // 100 Hz up, a tenth of an octave apart
            set_channel(e.groups[c / e.width], c % e.width, fs, 100.0 * std::exp2(c / 10.0));
        jobs[t] = Job{};
        jobs[t].e = &e;
        jobs[t].in.data = x;
        jobs[t].in.row_step = 0;
        jobs[t].in.per_row = TIMING_CHANNELS;
        jobs[t].in.n = BLOCK;
        jobs[t].g1 = e.ngroups;
        jobs[t].bm.data = bm.data();
        jobs[t].bm.stride = BLOCK;
    }
    // seconds[t][r]: target t's faster call of round r.
    double seconds[NTARGETS][TIMING_ROUNDS] = {};
    double best[NTARGETS] = {};
    int rounds = 0;
    for (; rounds < TIMING_ROUNDS; rounds++) {
        if (rounds == TIMING_ALL_ROUNDS) {
            double leader = 0.0;
            for (int t = 0; t < NTARGETS; t++)
                leader = racing[t] && (leader == 0.0 || best[t] < leader) ? best[t] : leader;
            for (int t = 0; t < NTARGETS; t++)
                racing[t] = racing[t] && best[t] <= TIMING_BEHIND * leader;
        }
        for (int t = 0; t < NTARGETS; t++) {
            if (!racing[t])
                continue;
            for (int call = 0; call < TIMING_CALLS; call++) {
                const auto start = std::chrono::steady_clock::now();
                TARGETS[t].run(jobs[t]);
                const double took =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                if (call == 0 || took < seconds[t][rounds])
                    seconds[t][rounds] = took;
            }
            if (best[t] == 0.0 || seconds[t][rounds] < best[t])
                best[t] = seconds[t][rounds];
        }
    }
    // Each target's time relative to the round's fastest, over the rounds it ran.
    Timing result;
    for (int t = 0; t < NTARGETS; t++) {
        double relative[TIMING_ROUNDS];
        int ran = 0;
        for (int r = 0; r < rounds; r++) {
            if (seconds[t][r] == 0.0)
                continue;
            double fastest = seconds[t][r];
            for (int u = 0; u < NTARGETS; u++)
                fastest = seconds[u][r] > 0.0 && seconds[u][r] < fastest ? seconds[u][r] : fastest;
            relative[ran++] = seconds[t][r] / fastest;
        }
        if (ran == 0)
            continue;
        result.score[t] = median(relative, ran);
        if (result.score[result.fastest] == 0.0 || result.score[t] < result.score[result.fastest])
            result.fastest = t;
    }
    return result;
}

// Timed once, by whichever call first needs it (a thread-safe static).
const Timing &timing() {
    static const Timing once = time_targets();
    return once;
}

// The index of the target called `name`, or -1.
int target_index(const char *name) {
    for (int t = 0; t < NTARGETS; t++) {
        if (std::strcmp(name, TARGETS[t].name) == 0)
            return t;
    }
    return -1;
}

// The target a new engine uses: GAMMATONE_BANK_SIMD if set, else the fastest
// here.  Sets ValueError and returns -1 for an unknown or unavailable forced
// target.
int default_target() {
    const char *forced = std::getenv("GAMMATONE_BANK_SIMD");
    if (forced == nullptr || forced[0] == '\0')
        return timing().fastest;
    const int t = target_index(forced);
    if (t < 0) {
        PyErr_Format(PyExc_ValueError, "GAMMATONE_BANK_SIMD must be %s, got '%.100s'", target_names().c_str(),
                     forced);
        return -1;
    }
    if (!TARGETS[t].available()) {
        PyErr_Format(PyExc_ValueError, "GAMMATONE_BANK_SIMD=%s: this CPU does not support %s", forced, forced);
        return -1;
    }
    return t;
}

// ---------------------------------------------------------------------------
// Python binding.

struct EngineObject {
    PyObject_HEAD
    Engine *engine;
    int target;
};

int target_by_name(PyObject *name) {
    if (name == nullptr || name == Py_None)
        return default_target();
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "simd must be a str or None, not %.200s", Py_TYPE(name)->tp_name);
        return -1;
    }
    const char *text = PyUnicode_AsUTF8(name);
    if (text == nullptr)
        return -1;
    const int t = target_index(text);
    if (t < 0) {
        PyErr_Format(PyExc_ValueError, "simd must be %s, got %R", target_names().c_str(), name);
        return -1;
    }
    if (!TARGETS[t].available()) {
        PyErr_Format(PyExc_ValueError, "simd=%R: this CPU does not support it", name);
        return -1;
    }
    return t;
}

// The channel of lane i; lanes past the last one are copies of it and are
// never written out.
int channel_of(const Engine &e, int i) {
    return (i < e.lanes ? i : e.lanes - 1) % e.channels;
}

void engine_free(Engine *e) {
    if (e == nullptr)
        return;
    std::free(e->groups);
    delete e;
}

// One complex weight per channel, for the weighted output.
bool set_weights(Engine &e, PyObject *obj) {
    PyArrayObject *w = reinterpret_cast<PyArrayObject *>(PyArray_FROM_OTF(obj, NPY_CDOUBLE, NPY_ARRAY_IN_ARRAY));
    if (w == nullptr)
        return false;
    if (PyArray_NDIM(w) != 1 || PyArray_SIZE(w) != e.channels) {
        Py_DECREF(w);
        PyErr_Format(PyExc_ValueError, "weights must be 1-D with one per channel (%d)", e.channels);
        return false;
    }
    const double *v = static_cast<const double *>(PyArray_DATA(w));
    for (int i = 0; i < e.ngroups * e.width; i++) {
        const int c = channel_of(e, i);
        e.groups[i / e.width].wr[i % e.width] = v[2 * c];
        e.groups[i / e.width].wi[i % e.width] = v[2 * c + 1];
    }
    Py_DECREF(w);
    return true;
}

PyObject *engine_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"fs", "cfs", "phase", "frame_len", "hop_len", "simd", "weights", "signals",
                                   "lowpass", nullptr};
    int fs;
    PyObject *cfs_obj, *simd = nullptr, *weights_obj = Py_None, *lowpass = Py_None;
    int phase = 0;
    Py_ssize_t frame_len = 0, hop_len = 0, signals = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iO|$pnnOOnO", const_cast<char **>(kwlist), &fs, &cfs_obj,
                                     &phase, &frame_len, &hop_len, &simd, &weights_obj, &signals, &lowpass))
        return nullptr;
    // The inner-hair-cell lowpass: (sections, b0, a1), sections 0, 1 or 5.
    int ihc = IHC_NONE;
    double lb0 = 0.0, la1 = 0.0;
    if (lowpass != Py_None) {
        if (!PyTuple_Check(lowpass) || !PyArg_ParseTuple(lowpass, "idd", &ihc, &lb0, &la1))
            return PyErr_Format(PyExc_TypeError, "lowpass must be a tuple (sections, b0, a1) or None");
        if (ihc != 0 && ihc != 1 && ihc != MAX_IHC_STAGES)
            return PyErr_Format(PyExc_ValueError, "lowpass sections must be 0, 1 or %d, got %d", MAX_IHC_STAGES, ihc);
        if (phase || frame_len > 0 || weights_obj != Py_None)
            return PyErr_Format(PyExc_ValueError, "an engine with a lowpass has no phase, frames or weights");
    }
    if (fs <= 0)
        return PyErr_Format(PyExc_ValueError, "fs must be positive, got %d", fs);
    if (frame_len < 0 || hop_len < 0 || (frame_len > 0) != (hop_len > 0))
        return PyErr_Format(PyExc_ValueError, "frame_len and hop_len must both be positive or both 0");
    // Every open frame keeps a sum per channel, and frame_len / hop_len are open.
    if (frame_len > 0 && frame_len / hop_len > MAX_OPEN_FRAMES)
        return PyErr_Format(PyExc_ValueError, "frame_len must be at most %d hop_len", MAX_OPEN_FRAMES);
    const int target = target_by_name(simd);
    if (target < 0)
        return nullptr;
    PyArrayObject *cfs = reinterpret_cast<PyArrayObject *>(
        PyArray_FROM_OTF(cfs_obj, NPY_DOUBLE, NPY_ARRAY_IN_ARRAY));
    if (cfs == nullptr)
        return nullptr;
    if (PyArray_NDIM(cfs) != 1 || PyArray_SIZE(cfs) < 1 || PyArray_SIZE(cfs) > (1 << 20)) {
        Py_DECREF(cfs);
        return PyErr_Format(PyExc_ValueError, "cfs must be 1-D with 1 to 2**20 elements");
    }
    const double *cf = static_cast<const double *>(PyArray_DATA(cfs));
    const int channels = static_cast<int>(PyArray_SIZE(cfs));
    if (signals < 0 || signals > MAX_LANES / channels) {
        Py_DECREF(cfs);
        return PyErr_Format(PyExc_ValueError, "signals must be in 0 .. %d for %d channels (at most %d lanes), got %zd",
                            MAX_LANES / channels, channels, MAX_LANES, signals);
    }
    for (int c = 0; c < channels; c++) {
        if (!std::isfinite(cf[c])) {
            Py_DECREF(cfs);
            return PyErr_Format(PyExc_ValueError, "cfs must be finite");
        }
    }

    EngineObject *self = reinterpret_cast<EngineObject *>(type->tp_alloc(type, 0));
    if (self == nullptr) {
        Py_DECREF(cfs);
        return nullptr;
    }
    Engine *e = new (std::nothrow) Engine;
    if (e == nullptr) {
        Py_DECREF(cfs);
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    self->engine = e;
    self->target = target;
    e->fs = fs;
    e->channels = channels;
    e->signals = static_cast<int>(signals);
    e->lanes = e->signals * channels;
    e->width = TARGETS[target].width;
    e->ngroups = (e->lanes + e->width - 1) / e->width;
    e->phase = phase != 0;
    e->ihc = ihc;
    e->frame_len = frame_len;
    e->hop_len = hop_len;
    e->ring = frame_len > 0 ? static_cast<int>(frame_len / hop_len + 2) : 0;
    try {
        e->samples.assign(e->ngroups, 0);
        e->done.assign(e->ngroups, 0);
        e->busy.assign(e->ngroups, 0);
        e->sums.assign(static_cast<std::size_t>(e->ngroups) * e->ring * MAX_W, 0.0);
    } catch (const std::bad_alloc &) {
        Py_DECREF(cfs);
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    // At least one group, so that no signals is no special case.
    const std::size_t ngroups = e->ngroups > 0 ? e->ngroups : 1;
    e->groups = static_cast<Group *>(std::aligned_alloc(alignof(Group), sizeof(Group) * ngroups));
    if (e->groups == nullptr) {
        Py_DECREF(cfs);
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    for (int i = 0; i < e->ngroups * e->width; i++) {
        Group &g = e->groups[i / e->width];
        set_channel(g, i % e->width, fs, cf[channel_of(*e, i)]);
        g.lb0[i % e->width] = lb0;
        g.la1[i % e->width] = la1;
    }
    if (weights_obj != Py_None && !set_weights(*e, weights_obj)) {
        Py_DECREF(cfs);
        Py_DECREF(self);
        return nullptr;
    }
    Py_DECREF(cfs);
    return reinterpret_cast<PyObject *>(self);
}

void engine_dealloc(PyObject *obj) {
    EngineObject *self = reinterpret_cast<EngineObject *>(obj);
    PyTypeObject *type = Py_TYPE(obj);
    engine_free(self->engine);
    type->tp_free(obj);
    Py_DECREF(type);
}

// The storage of an output block: a writable, aligned float64 array of shape
// (lanes, >= columns) whose rows are contiguous.  None gives no output.
bool output_block(PyObject *obj, const char *name, int lanes, Py_ssize_t columns, Out *out) {
    *out = Out();
    if (obj == Py_None)
        return true;
    if (!PyArray_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be a numpy.ndarray or None, not %.200s", name,
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    PyArrayObject *a = reinterpret_cast<PyArrayObject *>(obj);
    if (PyArray_TYPE(a) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(a)) {
        PyErr_Format(PyExc_TypeError, "%s must have dtype float64", name);
        return false;
    }
    if (PyArray_NDIM(a) != 2 || PyArray_DIM(a, 0) != lanes || PyArray_DIM(a, 1) < columns) {
        PyErr_Format(PyExc_ValueError, "%s must have shape (%d, >= %zd)", name, lanes, columns);
        return false;
    }
    if (!PyArray_ISALIGNED(a) || !PyArray_ISWRITEABLE(a) ||
        (PyArray_DIM(a, 1) > 1 && PyArray_STRIDE(a, 1) != sizeof(double)) ||
        PyArray_STRIDE(a, 0) % static_cast<Py_ssize_t>(sizeof(double)) != 0) {
        PyErr_Format(PyExc_ValueError, "%s must be writable and aligned, with contiguous rows", name);
        return false;
    }
    out->data = static_cast<double *>(PyArray_DATA(a));
    out->stride = PyArray_STRIDE(a, 0) / static_cast<Py_ssize_t>(sizeof(double));
    return true;
}

// The bytes an array's elements span, as [lo, hi).
void extent(PyArrayObject *a, std::uintptr_t *lo, std::uintptr_t *hi) {
    std::intptr_t first = 0, last = 0;
    for (int d = 0; d < PyArray_NDIM(a); d++) {
        const std::intptr_t span = static_cast<std::intptr_t>(PyArray_DIM(a, d) - 1) * PyArray_STRIDE(a, d);
        if (PyArray_DIM(a, d) == 0) {
            *lo = *hi = 0;
            return;
        }
        (span < 0 ? first : last) += span;
    }
    const auto base = reinterpret_cast<std::uintptr_t>(PyArray_DATA(a));
    *lo = base + first;
    *hi = base + last + PyArray_ITEMSIZE(a);
}

// Whether the memory spanned by any two of the arrays overlaps (None skipped).
bool overlapping(PyObject *const *objs, int count) {
    for (int i = 0; i < count; i++) {
        for (int j = 0; j < i; j++) {
            if (!PyArray_Check(objs[i]) || !PyArray_Check(objs[j]))
                continue;
            std::uintptr_t lo_i, hi_i, lo_j, hi_j;
            extent(reinterpret_cast<PyArrayObject *>(objs[i]), &lo_i, &hi_i);
            extent(reinterpret_cast<PyArrayObject *>(objs[j]), &lo_j, &hi_j);
            if (lo_i < hi_j && lo_j < hi_i)
                return true;
        }
    }
    return false;
}

// The input: a 1-D C-contiguous signal shared by every lane, or a 2-D array
// with one row per signal (read by each of its channels) or one row per lane,
// with any strides that are whole doubles (a reversed view reads the rows
// backwards).
bool input_block(PyObject *obj, const Engine &e, Input *in) {
    PyArrayObject *a = reinterpret_cast<PyArrayObject *>(obj);
    if (!PyArray_Check(obj) || PyArray_TYPE(a) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(a) ||
        !PyArray_ISALIGNED(a) || (PyArray_NDIM(a) != 1 && PyArray_NDIM(a) != 2)) {
        PyErr_SetString(PyExc_TypeError, "x must be a 1-D or 2-D aligned float64 ndarray");
        return false;
    }
    *in = Input();
    in->data = static_cast<const double *>(PyArray_DATA(a));
    if (PyArray_NDIM(a) == 1) {
        if (!PyArray_ISCARRAY_RO(a)) {
            PyErr_SetString(PyExc_TypeError, "a 1-D x must be C-contiguous");
            return false;
        }
        in->n = PyArray_SIZE(a);
        return true;
    }
    const Py_ssize_t d = static_cast<Py_ssize_t>(sizeof(double)), rows = PyArray_DIM(a, 0);
    if ((rows != e.signals && rows != e.lanes) || PyArray_STRIDE(a, 0) % d != 0 || PyArray_STRIDE(a, 1) % d != 0) {
        PyErr_Format(PyExc_ValueError,
                     "a 2-D x must have %d rows (one per signal) or %d rows (one per channel of each signal), "
                     "with whole-double strides", e.signals, e.lanes);
        return false;
    }
    // With one channel both readings are the same.
    in->per_row = rows == e.signals ? e.channels : 1;
    in->row_step = PyArray_STRIDE(a, 0) / d;
    in->col_step = PyArray_STRIDE(a, 1) / d;
    in->n = PyArray_DIM(a, 1);
    return true;
}

bool check_groups(const Engine &e, Py_ssize_t g0, Py_ssize_t g1) {
    if (g0 < 0 || g1 > e.ngroups || g0 > g1) {
        PyErr_Format(PyExc_ValueError, "groups must satisfy 0 <= g0 <= g1 <= %d, got %zd, %zd", e.ngroups, g0, g1);
        return false;
    }
    for (Py_ssize_t g = g0; g < g1; g++) {
        if (e.busy[g]) {
            PyErr_SetString(PyExc_RuntimeError, "a channel group is in use by another thread");
            return false;
        }
        if (e.samples[g] != e.samples[g0]) {
            PyErr_SetString(PyExc_ValueError, "groups have filtered different numbers of samples");
            return false;
        }
    }
    return true;
}

// Frames whose last sample lies in [t, t + n): they complete in this call.
long long frames_completing(const Engine &e, long long t, long long n) {
    if (e.frame_len == 0)
        return 0;
    auto completed = [&](long long upto) {
        return upto < e.frame_len ? 0 : (upto - e.frame_len) / e.hop_len + 1;
    };
    return completed(t + n) - completed(t);
}

PyObject *engine_process(PyObject *obj, PyObject *args, PyObject *kwargs) {
    EngineObject *self = reinterpret_cast<EngineObject *>(obj);
    Engine &e = *self->engine;
    // x, g0 and g1 by position; the outputs by name, each None when not wanted.
    static const char *kwlist[] = {"", "", "", "bm", "env", "instp", "instf", "frames", "analytic", "weighted",
                                   "ihc", nullptr};
    PyObject *x_obj, *objs[8] = {Py_None, Py_None, Py_None, Py_None, Py_None, Py_None, Py_None, Py_None};
    Py_ssize_t g0, g1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Onn|$OOOOOOOO", const_cast<char **>(kwlist), &x_obj, &g0, &g1,
                                     &objs[0], &objs[1], &objs[2], &objs[3], &objs[4], &objs[5], &objs[6],
                                     &objs[7]))
        return nullptr;
    if (!check_groups(e, g0, g1))
        return nullptr;
    Job job;
    job.e = &e;
    if (!input_block(x_obj, e, &job.in))
        return nullptr;
    const Py_ssize_t n = job.in.n;
    const long long t = g0 < g1 ? e.samples[g0] : 0;
    job.g0 = static_cast<int>(g0);
    job.g1 = static_cast<int>(g1);
    const Py_ssize_t instf_columns = n == 0 ? 0 : (t == 0 ? n - 1 : n);
    static const char *const names[8] = {"bm", "env", "instp", "instf", "frames", "analytic", "weighted", "ihc"};
    const Py_ssize_t columns[8] = {n, n, n, instf_columns, frames_completing(e, t, n), 2 * n, n, n};
    Out *outs[8] = {&job.bm, &job.env, &job.instp, &job.instf, &job.frames, &job.analytic, &job.weighted, &job.ihc};
    for (int i = 0; i < 8; i++) {
        if (!output_block(objs[i], names[i], e.lanes, columns[i], outs[i]))
            return nullptr;
    }
    if (e.ihc != IHC_NONE) {
        for (int i = 0; i < 7; i++) {
            if (objs[i] != Py_None)
                return PyErr_Format(PyExc_ValueError, "an engine with a lowpass writes ihc only, not %s", names[i]);
        }
        if (n > 0 && job.ihc.data == nullptr)
            return PyErr_Format(PyExc_ValueError, "ihc is required by an engine with a lowpass");
    } else if (job.ihc.data != nullptr) {
        return PyErr_Format(PyExc_ValueError, "ihc needs an engine made with a lowpass");
    }
    if ((job.instp.data || job.instf.data) && !e.phase) {
        PyErr_SetString(PyExc_ValueError, "instp and instf need an engine made with phase=True");
        return nullptr;
    }
    if (e.frame_len > 0 && job.frames.data == nullptr) {
        PyErr_SetString(PyExc_ValueError, "frames is required by an engine that sums frames");
        return nullptr;
    }
    PyObject *all[9] = {x_obj, objs[0], objs[1], objs[2], objs[3], objs[4], objs[5], objs[6], objs[7]};
    if (overlapping(all, 9)) {
        PyErr_SetString(PyExc_ValueError, "x and the outputs must not share memory");
        return nullptr;
    }
    // The arrays stay referenced by the argument tuple while the lock is off.
    // Checking and marking the groups happens under the lock, so concurrent
    // calls on overlapping groups are refused rather than raced.
    for (Py_ssize_t g = g0; g < g1; g++)
        e.busy[g] = 1;
    Py_BEGIN_ALLOW_THREADS
    TARGETS[self->target].run(job);
    Py_END_ALLOW_THREADS
    for (Py_ssize_t g = g0; g < g1; g++)
        e.busy[g] = 0;
    Py_RETURN_NONE;
}

// The open frame of each channel at the end of the stream, if there is one:
// it started before the end, and the frame before it stopped short of it.
PyObject *engine_partial(PyObject *obj, PyObject *args) {
    EngineObject *self = reinterpret_cast<EngineObject *>(obj);
    Engine &e = *self->engine;
    PyObject *frames_obj;
    Py_ssize_t g0, g1;
    if (!PyArg_ParseTuple(args, "nnO", &g0, &g1, &frames_obj))
        return nullptr;
    if (!check_groups(e, g0, g1))
        return nullptr;
    if (e.frame_len == 0 || g0 == g1)
        return PyLong_FromLong(0);
    const long long t = e.samples[g0], k = e.done[g0];
    const bool open = t > 0 && k * e.hop_len < t && (k == 0 || (k - 1) * e.hop_len + e.frame_len < t);
    if (!open)
        return PyLong_FromLong(0);
    Out frames;
    if (!output_block(frames_obj, "frames", e.lanes, 1, &frames))
        return nullptr;
    if (frames.data == nullptr) {
        PyErr_SetString(PyExc_ValueError, "frames is required");
        return nullptr;
    }
    for (Py_ssize_t g = g0; g < g1; g++) {
        const double *slot = e.ring_slot(static_cast<int>(g), k);
        for (int l = 0; l < e.width && g * e.width + l < e.lanes; l++)
            frames.row(static_cast<int>(g * e.width + l))[0] = slot[l];
    }
    return PyLong_FromLong(1);
}

// A new engine in this one's state: the same channels, target and weights,
// every group's recursion, oscillator, phase tracker and open frames as they
// stand.  Fed the same continuation, the copy gives the bits this engine
// would give, so a long signal can be rerun from any point it passed.
PyObject *engine_copy(PyObject *obj, PyObject *) {
    EngineObject *self = reinterpret_cast<EngineObject *>(obj);
    const Engine &e = *self->engine;
    for (int g = 0; g < e.ngroups; g++) {
        if (e.busy[g]) {
            PyErr_SetString(PyExc_ValueError, "the engine is in use by another call: copy it between calls");
            return nullptr;
        }
    }
    EngineObject *copy = reinterpret_cast<EngineObject *>(Py_TYPE(obj)->tp_alloc(Py_TYPE(obj), 0));
    if (copy == nullptr)
        return nullptr;
    copy->target = self->target;
    Engine *c = new (std::nothrow) Engine;
    if (c == nullptr) {
        Py_DECREF(copy);
        return PyErr_NoMemory();
    }
    try {
        *c = e;
    } catch (const std::bad_alloc &) {
        delete c;
        Py_DECREF(copy);
        return PyErr_NoMemory();
    }
    // At least one group, as engine_new allocates.
    const std::size_t ngroups = e.ngroups > 0 ? e.ngroups : 1;
    c->groups = static_cast<Group *>(std::aligned_alloc(alignof(Group), sizeof(Group) * ngroups));
    copy->engine = c;
    if (c->groups == nullptr) {
        Py_DECREF(copy);
        return PyErr_NoMemory();
    }
    std::memcpy(static_cast<void *>(c->groups), static_cast<const void *>(e.groups), sizeof(Group) * ngroups);
    return reinterpret_cast<PyObject *>(copy);
}

PyObject *engine_get_simd(PyObject *obj, void *) {
    return PyUnicode_FromString(TARGETS[reinterpret_cast<EngineObject *>(obj)->target].name);
}
PyObject *engine_get_width(PyObject *obj, void *) {
    return PyLong_FromLong(reinterpret_cast<EngineObject *>(obj)->engine->width);
}
PyObject *engine_get_signals(PyObject *obj, void *) {
    return PyLong_FromLong(reinterpret_cast<EngineObject *>(obj)->engine->signals);
}
PyObject *engine_get_groups(PyObject *obj, void *) {
    return PyLong_FromLong(reinterpret_cast<EngineObject *>(obj)->engine->ngroups);
}
PyObject *engine_get_samples(PyObject *obj, void *) {
    const Engine &e = *reinterpret_cast<EngineObject *>(obj)->engine;
    return PyLong_FromLongLong(e.ngroups ? e.samples[0] : 0);
}

PyMethodDef engine_methods[] = {
    {"process", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(engine_process)),
     METH_VARARGS | METH_KEYWORDS,
     "process(x, g0, g1, /, *, bm=None, env=None, instp=None, instf=None, frames=None, analytic=None,\n"
     "        weighted=None)\n--\n\n"
     "Filter x (1-D and shared, one row per signal, or one row per lane) through\n"
     "lane groups g0 .. g1-1, carrying their state on.  Outputs have one row per\n"
     "lane (signal s, channel c at row s * channels + c).  analytic: a float64 view\n"
     "of complex rows, 2 n doubles each; weighted: Re(weights * analytic) per lane."},
    {"partial", engine_partial, METH_VARARGS,
     "partial(g0, g1, frames)\n--\n\n"
     "Write the open frame's sum of each lane of groups g0 .. g1-1 to frames[:, 0];\n"
     "return how many frames were written (0 or 1)."},
    {"copy", engine_copy, METH_NOARGS,
     "copy()\n--\n\n"
     "A new engine in this one's state, which continues a signal with the bits this one would give."},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyGetSetDef engine_getset[] = {
    {"simd", engine_get_simd, nullptr, "the SIMD target in use", nullptr},
    {"width", engine_get_width, nullptr, "lanes per vector", nullptr},
    {"signals", engine_get_signals, nullptr, "signals filtered side by side", nullptr},
    {"groups", engine_get_groups, nullptr, "groups of width lanes", nullptr},
    {"samples", engine_get_samples, nullptr, "samples filtered so far (by group 0)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr} /* sentinel */
};

PyType_Slot engine_slots[] = {
    {Py_tp_doc, const_cast<char *>(
        "Engine(fs, cfs, *, phase=False, frame_len=0, hop_len=0, simd=None, weights=None, signals=1)\n--\n\n"
        "The state of one gammatone channel per centre frequency in cfs, for each of\n"
        "`signals` signals, carried from one process() call to the next.")},
    {Py_tp_new, reinterpret_cast<void *>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(engine_dealloc)},
    {Py_tp_methods, engine_methods},
    {Py_tp_getset, engine_getset},
    {0, nullptr},
};

PyType_Spec engine_spec = {
    "gammatone_bank._engine.Engine", sizeof(EngineObject), 0, Py_TPFLAGS_DEFAULT, engine_slots,
};

PyObject *py_targets(PyObject *, PyObject *) {
    PyObject *out = PyList_New(0);
    if (out == nullptr)
        return nullptr;
    for (const Target &t : TARGETS) {
        if (!t.available())
            continue;
        PyObject *name = PyUnicode_FromString(t.name);
        if (name == nullptr || PyList_Append(out, name) < 0) {
            Py_XDECREF(name);
            Py_DECREF(out);
            return nullptr;
        }
        Py_DECREF(name);
    }
    PyObject *tuple = PyList_AsTuple(out);
    Py_DECREF(out);
    return tuple;
}

PyObject *py_simd(PyObject *, PyObject *) {
    const int target = default_target();
    if (target < 0)
        return nullptr;
    return PyUnicode_FromString(TARGETS[target].name);
}

PyObject *py_timings(PyObject *, PyObject *) {
    const Timing &measured = timing();
    PyObject *out = PyDict_New();
    for (int t = 0; out != nullptr && t < NTARGETS; t++) {
        if (measured.score[t] == 0.0)
            continue;
        PyObject *score = PyFloat_FromDouble(measured.score[t]);
        if (score == nullptr || PyDict_SetItemString(out, TARGETS[t].name, score) < 0)
            Py_CLEAR(out);
        Py_XDECREF(score);
    }
    return out;
}


// A (rows x n) block to run along: y as output_block takes it, of any row count.
bool row_block(PyObject *obj, const char *name, RowBlock *y) {
    if (!PyArray_Check(obj) || PyArray_NDIM(reinterpret_cast<PyArrayObject *>(obj)) != 2) {
        PyErr_Format(PyExc_TypeError, "%s must be a 2-D numpy.ndarray", name);
        return false;
    }
    PyArrayObject *a = reinterpret_cast<PyArrayObject *>(obj);
    const Py_ssize_t rows = PyArray_DIM(a, 0);
    if (rows > (1 << 20)) {
        PyErr_Format(PyExc_ValueError, "%s has too many rows", name);
        return false;
    }
    Out out;
    if (!output_block(obj, name, static_cast<int>(rows), PyArray_DIM(a, 1), &out))
        return false;
    *y = RowBlock{out.data, out.stride, PyArray_DIM(a, 1), static_cast<int>(rows)};
    return true;
}

// A C-contiguous writable float64 array of exactly rows x columns.
bool state_block(PyObject *obj, const char *name, Py_ssize_t rows, Py_ssize_t columns, double **data) {
    PyArrayObject *a = reinterpret_cast<PyArrayObject *>(obj);
    if (!PyArray_Check(obj) || PyArray_TYPE(a) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(a) ||
        !PyArray_ISCARRAY(a) || PyArray_NDIM(a) != 2 || PyArray_DIM(a, 0) != rows ||
        PyArray_DIM(a, 1) != columns) {
        PyErr_Format(PyExc_ValueError, "%s must be a writable C-contiguous float64 array of shape (%zd, %zd)",
                     name, rows, columns);
        return false;
    }
    *data = static_cast<double *>(PyArray_DATA(a));
    return true;
}

PyObject *py_integrate(PyObject *, PyObject *args) {
    PyObject *y_obj, *state_obj, *sums_obj, *out_obj;
    double a, c;
    long long t0, flen, hop;
    if (!PyArg_ParseTuple(args, "OOddOLLLO", &y_obj, &state_obj, &a, &c, &sums_obj, &t0, &flen, &hop, &out_obj))
        return nullptr;
    RowBlock y;
    if (!row_block(y_obj, "y", &y))
        return nullptr;
    if (t0 < 0 || flen < 1 || hop < 1 || flen / hop > MAX_OPEN_FRAMES) {
        PyErr_SetString(PyExc_ValueError, "t0 must be >= 0, frame_len and hop_len >= 1");
        return nullptr;
    }
    Framing f;
    f.t0 = t0;
    f.flen = flen;
    f.hop = hop;
    f.ring = static_cast<int>(flen / hop + 2);
    double *state;
    if (!state_block(state_obj, "state", y.rows, 1, &state) ||
        !state_block(sums_obj, "sums", y.rows, f.ring, &f.sums))
        return nullptr;
    const long long k = completed_by(t0 + y.n, flen, hop) - completed_by(t0, flen, hop);
    if (!output_block(out_obj, "out", y.rows, static_cast<Py_ssize_t>(k), &f.out))
        return nullptr;
    if (k > 0 && f.out.data == nullptr) {
        PyErr_SetString(PyExc_ValueError, "out is required when frames complete");
        return nullptr;
    }
    PyObject *all[4] = {y_obj, state_obj, sums_obj, out_obj};
    if (overlapping(all, 4)) {
        PyErr_SetString(PyExc_ValueError, "y, state, sums and out must not share memory");
        return nullptr;
    }
    const int target = default_target();
    if (target < 0)
        return nullptr;
    Py_BEGIN_ALLOW_THREADS
    TARGETS[target].integrate(y, state, a, c, f);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyObject *py_project(PyObject *, PyObject *args) {
    PyObject *m_obj, *e_obj, *out_obj;
    if (!PyArg_ParseTuple(args, "OOO", &m_obj, &e_obj, &out_obj))
        return nullptr;
    PyArrayObject *m = reinterpret_cast<PyArrayObject *>(m_obj), *e = reinterpret_cast<PyArrayObject *>(e_obj);
    auto matrix = [](PyObject *obj) {
        PyArrayObject *a = reinterpret_cast<PyArrayObject *>(obj);
        return PyArray_Check(obj) && PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a) &&
               PyArray_ISCARRAY_RO(a) && PyArray_NDIM(a) == 2;
    };
    if (!matrix(m_obj) || !matrix(e_obj) || PyArray_DIM(m, 1) != PyArray_DIM(e, 0)) {
        PyErr_SetString(PyExc_ValueError, "m and e must be C-contiguous float64 matrices, m's columns e's rows");
        return nullptr;
    }
    double *out;
    if (!state_block(out_obj, "out", PyArray_DIM(m, 0), PyArray_DIM(e, 1), &out))
        return nullptr;
    PyObject *all[3] = {m_obj, e_obj, out_obj};
    if (overlapping(all, 3)) {
        PyErr_SetString(PyExc_ValueError, "m, e and out must not share memory");
        return nullptr;
    }
    const double *mp = static_cast<const double *>(PyArray_DATA(m)), *ep = static_cast<const double *>(PyArray_DATA(e));
    const Py_ssize_t rows = PyArray_DIM(m, 0), inner = PyArray_DIM(m, 1), columns = PyArray_DIM(e, 1);
    const int target = default_target();
    if (target < 0)
        return nullptr;
    Py_BEGIN_ALLOW_THREADS
    TARGETS[target].project(mp, rows, inner, ep, columns, out);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyObject *py_delta(PyObject *, PyObject *args) {
    PyObject *c_obj, *d_obj;
    int left, right;
    if (!PyArg_ParseTuple(args, "OOpp", &c_obj, &d_obj, &left, &right))
        return nullptr;
    RowBlock c, d;
    if (!row_block(c_obj, "c", &c) || !row_block(d_obj, "d", &d))
        return nullptr;
    const Py_ssize_t columns = c.n > 0 ? std::max<Py_ssize_t>(0, c.n - 4 + 2 * left + 2 * right) : 0;
    if (d.rows != c.rows || d.n != columns) {
        PyErr_Format(PyExc_ValueError, "d must have shape (%d, %zd)", c.rows, columns);
        return nullptr;
    }
    PyObject *all[2] = {c_obj, d_obj};
    if (overlapping(all, 2)) {
        PyErr_SetString(PyExc_ValueError, "c and d must not share memory");
        return nullptr;
    }
    Py_BEGIN_ALLOW_THREADS
    delta_rows(c, d, left != 0);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyMethodDef module_methods[] = {
    {"targets", py_targets, METH_NOARGS,
     "targets()\n--\n\nThe SIMD targets this CPU can run, narrowest first."},
    {"levels", py_targets, METH_NOARGS, "levels()\n--\n\nThe same as targets(), by its former name."},
    {"simd", py_simd, METH_NOARGS,
     "simd()\n--\n\nThe target new engines use: GAMMATONE_BANK_SIMD, or the fastest on this CPU."},
    {"timings", py_timings, METH_NOARGS,
     "timings()\n--\n\nThe timing that chose the default target, {name: score}: each available\n"
     "target's time relative to the fastest's, the median over interleaved rounds\n"
     "(1.0 for the fastest).  It runs once per process, at first use."},
    {"project", py_project, METH_VARARGS,
     "project(m, e, out)\n--\n\n"
     "out[k, f] = sum over n of m[k, n] * e[n, f], added in the order of n to 0.0."},
    {"delta", py_delta, METH_VARARGS,
     "delta(c, d, left, right)\n--\n\n"
     "d[:, j] = ((c[:, t+1] - c[:, t-1]) + 2 (c[:, t+2] - c[:, t-2])) / 10 with t = j\n"
     "(left) or j + 2, the first (left) and last (right) columns of c repeated past\n"
     "its edges: d has c's columns - 4 + 2 left + 2 right, or none."},
    {"integrate", py_integrate, METH_VARARGS,
     "integrate(y, state, a, c, sums, t0, frame_len, hop_len, out)\n--\n\n"
     "y[t] = a * y[t-1] + c * y[t] along each row in place (state: (rows, 1)), and the\n"
     "sums over frames, kept open in sums (rows, frame_len // hop_len + 2), of the\n"
     "frames that complete in samples t0 .. t0 + n - 1 written to out."},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

struct PyModuleDef engine_module = {
    PyModuleDef_HEAD_INIT, "_engine", "Multi-channel gammatone engine with state kept across calls.", -1,
    module_methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__engine(void) {
    import_array();
    PyObject *m = PyModule_Create(&engine_module);
    if (m == nullptr)
        return nullptr;
    PyObject *type = PyType_FromSpec(&engine_spec);
    if (type == nullptr || PyModule_Add(m, "Engine", type) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
