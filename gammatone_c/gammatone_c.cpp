// gammatone_c: a fourth-order gammatone filter over one channel of float64
// samples, with its envelope, unwrapped instantaneous phase and instantaneous
// frequency.
//
// The filter works on the frequency-shifted signal.  Each input sample is
// multiplied by a complex oscillator turning at -cf, the product runs through
//
//        1 + 4a z^-1 + a^2 z^-2
//     ---------------------------        a = exp(-2 pi ERB(cf) 1.019 / fs)
//          (1 - a z^-1)^4
//
// on its real and imaginary parts (the coefficients are real), and the
// complex result u is turned back up by cf.  The output is
// gain * Re(u e^{+i 2 pi cf t / fs})
// with gain = tptbw^4 / 3, the envelope is gain * |u|, and the phase is the
// unwrapped angle of u itself.
//
// Every result is defined bit for bit by a fixed order of double operations,
// each rounded on its own.  The build turns floating-point contraction off,
// and nothing below reassociates; the faster forms used here perform the very
// same roundings as the plain per-sample definition.

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_21_API_VERSION
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/arrayobject.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#define GT_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr double PI = 3.141592653589793;
constexpr double TWO_PI = 6.283185307179586;

// Recursion values below this magnitude are flushed to +0.0 so that a decaying
// tail ends in exact zeros instead of a long run of subnormals.
constexpr double TINY = 1e-200;

// Samples are filtered in blocks of this many: the recursion runs over a
// block first, the rest of the work after it, from the block's stored
// values.  A short block lets the processor overlap that rest with the next
// block's recursion, which is bound by latency and leaves most of the
// machine idle.
constexpr int BLOCK = 32;

// ---------------------------------------------------------------------------
// A pair of doubles: the real and imaginary parts of one complex value, which
// go through the same real-coefficient arithmetic.  With SSE2 the two lanes of
// one register carry them; each lane operation rounds exactly as the scalar
// one would.

#if defined(__SSE2__)

struct Pair {
    __m128d v;
};

inline Pair pair(double re, double im) { return {_mm_set_pd(im, re)}; }
inline Pair splat(double a) { return {_mm_set1_pd(a)}; }
inline Pair operator+(Pair a, Pair b) { return {_mm_add_pd(a.v, b.v)}; }
inline Pair operator*(Pair a, Pair b) { return {_mm_mul_pd(a.v, b.v)}; }
inline Pair swapped(Pair a) { return {_mm_shuffle_pd(a.v, a.v, 1)}; }
inline double re(Pair a) { return _mm_cvtsd_f64(a.v); }
inline double im(Pair a) { return _mm_cvtsd_f64(_mm_unpackhi_pd(a.v, a.v)); }
inline void store(double *dst, Pair a) { _mm_storeu_pd(dst, a.v); }

// Lanes with |a| < TINY as all-ones masks (false for NaN).
inline __m128d tiny_mask(Pair a) {
    const __m128d abs = _mm_andnot_pd(_mm_set1_pd(-0.0), a.v);
    return _mm_cmplt_pd(abs, _mm_set1_pd(TINY));
}
inline Pair cleared(Pair a) { return {_mm_andnot_pd(tiny_mask(a), a.v)}; }
// Non-zero bits exactly where clearing would change a (a tiny non-+0.0 lane).
inline Pair clearing_change(Pair a) { return {_mm_and_pd(tiny_mask(a), a.v)}; }
inline Pair bits_or(Pair a, Pair b) { return {_mm_or_pd(a.v, b.v)}; }
inline bool any_bits(Pair a) {
    const __m128i eq = _mm_cmpeq_epi32(_mm_castpd_si128(a.v), _mm_setzero_si128());
    return _mm_movemask_epi8(eq) != 0xFFFF;
}

#else

struct Pair {
    double r, i;
};

inline Pair pair(double re, double im) { return {re, im}; }
inline Pair splat(double a) { return {a, a}; }
inline Pair operator+(Pair a, Pair b) { return {a.r + b.r, a.i + b.i}; }
inline Pair operator*(Pair a, Pair b) { return {a.r * b.r, a.i * b.i}; }
inline Pair swapped(Pair a) { return {a.i, a.r}; }
inline double re(Pair a) { return a.r; }
inline double im(Pair a) { return a.i; }
inline void store(double *dst, Pair a) { dst[0] = a.r; dst[1] = a.i; }

inline double cleared(double a) { return std::fabs(a) < TINY ? 0.0 : a; }
inline Pair cleared(Pair a) { return {cleared(a.r), cleared(a.i)}; }
inline std::uint64_t change(double a) {
    std::uint64_t bits;
    std::memcpy(&bits, &a, sizeof bits);
    return std::fabs(a) < TINY ? bits : 0;
}
inline Pair clearing_change(Pair a) {
    std::uint64_t r = change(a.r), i = change(a.i);
    Pair out;
    std::memcpy(&out.r, &r, sizeof r);
    std::memcpy(&out.i, &i, sizeof i);
    return out;
}
inline Pair bits_or(Pair a, Pair b) {
    std::uint64_t x[4];
    std::memcpy(x, &a, sizeof a);
    std::memcpy(x + 2, &b, sizeof b);
    x[0] |= x[2];
    x[1] |= x[3];
    std::memcpy(&a, x, sizeof a);
    return a;
}
inline bool any_bits(Pair a) {
    std::uint64_t x[2];
    std::memcpy(x, &a, sizeof a);
    return (x[0] | x[1]) != 0;
}

#endif

// ---------------------------------------------------------------------------
// Per-call set-up.

struct Filter {
    double tpt;    // 2 pi / fs: radians per sample per Hz
    double gain;   // tptbw^4 / 3
    Pair a1, a2, a3, a4, a5;
    Pair rot_c;    // (coscf, coscf)
    Pair rot_s;    // (sincf, -sincf)
};

Filter make_filter(int fs, double cf) {
    Filter f;
    f.tpt = TWO_PI / static_cast<double>(fs);
    const double tptbw = ((((0.00437 * cf) + 1.0) * 24.7) * f.tpt) * 1.019;
    const double a = std::exp(-tptbw);
    f.gain = (((tptbw * tptbw) * tptbw) * tptbw) / 3.0;
    f.a1 = splat(4.0 * a);
    f.a2 = splat((-6.0 * a) * a);
    f.a3 = splat(((4.0 * a) * a) * a);
    f.a4 = splat((((-a) * a) * a) * a);
    f.a5 = splat(a * a);
    const double coscf = std::cos(f.tpt * cf);
    const double sincf = std::sin(f.tpt * cf);
    f.rot_c = splat(coscf);
    // (-s) * c rounds to exactly -(s * c), and q + -(s * c) is q - s * c, so
    // one lane-wise multiply-add gives both rotated components.
    f.rot_s = pair(sincf, -sincf);
    return f;
}

// Recursion history (p1 newest) and the oscillator (qcos, qsin).
struct State {
    Pair p1, p2, p3, p4;
    Pair q;
};

// ---------------------------------------------------------------------------
// The recursion over one block: reads x[0..n), leaves the two products
// u0r * qcos and u0i * qsin of bm in out_shift, the envelope in out_env (when
// ENV) and the complex output u0 in out_u (when PHASE).  It writes none of the
// caller's buffers.
//
// The flush of tiny values sits on the recursion's critical path (one multiply
// and four dependent adds per sample).  With EXACT false the block runs
// without it and only records whether a flush would have changed any value;
// the caller then reruns the block with EXACT true from the same state.  Up to
// the first value a flush would change, both runs compute the same bits.
// Returns true when the block's results are final.

template <bool EXACT, bool ENV, bool PHASE>
bool recurse(const Filter &f, State &s, const double *x, int n,
             double *out_shift, double *out_env, double *out_u) {
    Pair p1 = s.p1, p2 = s.p2, p3 = s.p3, p4 = s.p4, q = s.q;
    Pair changes = splat(0.0);
    for (int t = 0; t < n; t++) {
        const Pair a1p1 = f.a1 * p1;
        Pair p0 = splat(x[t]) * q + a1p1 + f.a2 * p2 + f.a3 * p3 + f.a4 * p4;
        if (EXACT)
            p0 = cleared(p0);
        else
            changes = bits_or(changes, clearing_change(p0));
        const Pair u0 = p0 + a1p1 + f.a5 * p2;
        p4 = p3;
        p3 = p2;
        p2 = p1;
        p1 = p0;

        store(out_shift + 2 * t, u0 * q);
        if (ENV) {
            const Pair sq = u0 * u0;
            out_env[t] = std::sqrt(re(sq) + im(sq)) * f.gain;
        }
        if (PHASE)
            store(out_u + 2 * t, u0);

        q = f.rot_c * q + f.rot_s * swapped(q);
    }
    if (!EXACT && any_bits(changes))
        return false;
    s = {p1, p2, p3, p4, q};
    return true;
}

template <bool ENV, bool PHASE>
void recurse_block(const Filter &f, State &s, const double *x, int n,
                   double *out_shift, double *out_env, double *out_u) {
    if (!recurse<false, ENV, PHASE>(f, s, x, n, out_shift, out_env, out_u))
        recurse<true, ENV, PHASE>(f, s, x, n, out_shift, out_env, out_u);
}

// ---------------------------------------------------------------------------
// The phase tracker over one block of complex outputs u (interleaved re, im),
// samples t0 .. t0+n-1 of the call.  The unwrapped phase goes to instp[t],
// the forward difference, in Hz, to instf[t-1].  The tracker's state lives in
// Tracker, so the frequency needs no phase buffer of its own.
//
// A step beyond pi is folded by a floored modulo 2 pi: with v = dp + pi,
// dps = (v - 2 pi floor(v / 2 pi)) - pi.  The unwrapped phase feeds the next
// sample's step, so this is a loop-carried chain, and the divide and floor
// would dominate it.  The whole-turn count floor(v / 2 pi) almost never
// changes from one sample to the next (the phase drifts slowly), so the chain
// uses the previous count and the fresh count is only compared with it; the
// comparison runs beside the chain, and a branch (not a select, which would
// put the divide back on the chain) takes the fresh count when they differ.
// Either way dps is computed from the same count, so the bits are the same.

struct Tracker {
    double oldphase = 0.0;
    double turns = 0.0;         // floor(v / 2 pi) of the last folded step
    double turns_2pi = 0.0;     // 2 pi * turns
};

// Stops the compiler from turning a rarely taken branch into a select.
inline void keep_branch() {
#if defined(__GNUC__)
    __asm__ volatile("");
#endif
}

template <bool INSTP, bool INSTF>
void track_phase(const Filter &f, double cf, const double *u, int t0, int n,
                 Tracker &tr, double *instp, double *instf) {
    double old = tr.oldphase, turns = tr.turns, turns_2pi = tr.turns_2pi;
    for (int k = 0; k < n; k++) {
        const int t = t0 + k;
        double phase = std::atan2(u[2 * k + 1], u[2 * k]);
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
        if (INSTP)
            instp[t] = phase;
        if (INSTF && t > 0)
            instf[t - 1] = ((phase - old) / f.tpt) + cf;
        old = phase;
    }
    tr = {old, turns, turns_2pi};
}

template <bool ENV, bool PHASE>
void run(const Filter &f, const double *x, int nsamples, double cf, bool rectify,
         double *bm, double *env, double *instp, double *instf) {
    double blk_shift[2 * BLOCK];
    double blk_env[ENV ? BLOCK : 1];
    double blk_u[PHASE ? 2 * BLOCK : 1];
    State s = {splat(0.0), splat(0.0), splat(0.0), splat(0.0), pair(1.0, 0.0)};
    Tracker tracker;

    // t0 + n never exceeds nsamples, so the index cannot overflow.
    for (int t0 = 0, n; t0 < nsamples; t0 += n) {
        n = nsamples - t0 < BLOCK ? nsamples - t0 : BLOCK;
        // The whole block of x is read before any output of it is written,
        // so x may be the very buffer of any output.
        recurse_block<ENV, PHASE>(f, s, x + t0, n, blk_shift, blk_env, blk_u);

        // bm = (u0r * qcos + u0i * qsin) * gain, finished here, two samples
        // to a vector, rather than in the recursion loop.
        for (int k = 0; k < n; k++) {
            const double v = (blk_shift[2 * k] + blk_shift[2 * k + 1]) * f.gain;
            bm[t0 + k] = rectify && v < 0.0 ? 0.0 : v;
        }
        if (ENV)
            std::memcpy(env + t0, blk_env, n * sizeof(double));
        if (PHASE) {
            if (instp && instf)
                track_phase<true, true>(f, cf, blk_u, t0, n, tracker, instp, instf);
            else if (instp)
                track_phase<true, false>(f, cf, blk_u, t0, n, tracker, instp, instf);
            else
                track_phase<false, true>(f, cf, blk_u, t0, n, tracker, instp, instf);
        }
    }
    if (instf)
        instf[nsamples - 1] = cf;
}

}  // namespace

// ---------------------------------------------------------------------------
// The kernel.  Checks nothing: x and bm hold nsamples elements, and so does
// each optional output that is not null.  With nsamples <= 0 nothing is
// written.  Outputs must not overlap one another; x may be any output's buffer.

GT_EXPORT void gammatone_c(const double *x, int nsamples, int fs, double cf, int hrect,
                           double *bm, double *env, double *instp, double *instf) {
    if (nsamples <= 0)
        return;
    const Filter f = make_filter(fs, cf);
    const bool rectify = hrect == 1;
    const bool phase = instp != nullptr || instf != nullptr;
    if (env) {
        if (phase)
            run<true, true>(f, x, nsamples, cf, rectify, bm, env, instp, instf);
        else
            run<true, false>(f, x, nsamples, cf, rectify, bm, env, instp, instf);
    } else {
        if (phase)
            run<false, true>(f, x, nsamples, cf, rectify, bm, env, instp, instf);
        else
            run<false, false>(f, x, nsamples, cf, rectify, bm, env, instp, instf);
    }
}

// ---------------------------------------------------------------------------
// Zero-filled blocks of rows * cols doubles, owned by the caller until
// freeMatrix.  A negative dimension gives null; the count is formed in size_t,
// so it cannot wrap, and calloc rejects a byte size that would.

GT_EXPORT double *createDoubleMatrix(int rows, int cols) {
    if (rows < 0 || cols < 0)
        return nullptr;
    const std::size_t count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    return static_cast<double *>(std::calloc(count, sizeof(double)));
}

GT_EXPORT void freeMatrix(double *matrix) { std::free(matrix); }

// ---------------------------------------------------------------------------
// Python binding.

namespace {

// The storage of an output argument, or null when it is absent or None.
// Sets an exception and returns false when obj cannot take nsamples outputs.
bool output_buffer(PyObject *obj, const char *name, int nsamples, double **data) {
    *data = nullptr;
    if (obj == nullptr || obj == Py_None)
        return true;
    if (!PyArray_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be a numpy.ndarray, not %.200s", name,
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    PyArrayObject *arr = reinterpret_cast<PyArrayObject *>(obj);
    if (PyArray_TYPE(arr) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(arr)) {
        PyErr_Format(PyExc_TypeError, "%s must have dtype float64, not %R", name,
                     reinterpret_cast<PyObject *>(PyArray_DESCR(arr)));
        return false;
    }
    if (!PyArray_IS_C_CONTIGUOUS(arr) || !PyArray_ISALIGNED(arr)) {
        PyErr_Format(PyExc_ValueError, "%s must be C-contiguous and aligned", name);
        return false;
    }
    if (!PyArray_ISWRITEABLE(arr)) {
        PyErr_Format(PyExc_ValueError, "%s is read-only", name);
        return false;
    }
    if (PyArray_SIZE(arr) < nsamples) {
        PyErr_Format(PyExc_ValueError, "%s holds %zd samples, nsamples is %d", name,
                     static_cast<Py_ssize_t>(PyArray_SIZE(arr)), nsamples);
        return false;
    }
    *data = static_cast<double *>(PyArray_DATA(arr));
    return true;
}

// Whether the first n doubles at a and at b share any byte.
bool overlap(const double *a, const double *b, int n) {
    if (a == nullptr || b == nullptr || n <= 0)
        return false;
    const auto lo_a = reinterpret_cast<std::uintptr_t>(a);
    const auto lo_b = reinterpret_cast<std::uintptr_t>(b);
    const std::uintptr_t len = static_cast<std::uintptr_t>(n) * sizeof(double);
    return lo_a < lo_b + len && lo_b < lo_a + len;
}

// x as a C-contiguous, aligned float64 array (a new reference), converted like
// numpy.asarray(x, dtype=float64) with safe casting; conversion errors are
// re-raised naming the argument.
PyArrayObject *input_array(PyObject *obj) {
    if (obj == Py_None) {
        PyErr_SetString(PyExc_TypeError, "x must be array_like, not None");
        return nullptr;
    }
    PyObject *arr = PyArray_FROM_OTF(obj, NPY_DOUBLE, NPY_ARRAY_IN_ARRAY);
    if (arr != nullptr)
        return reinterpret_cast<PyArrayObject *>(arr);
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyObject *cause = PyErr_GetRaisedException();
        PyErr_Format(reinterpret_cast<PyObject *>(Py_TYPE(cause)),
                     "x cannot be converted to float64: %S", cause);
        PyObject *exc = PyErr_GetRaisedException();
        PyException_SetCause(exc, cause);  // steals cause
        PyErr_SetRaisedException(exc);
    }
    return nullptr;
}

PyObject *py_gammatone_c(PyObject *self, PyObject *args) {
    (void)self;
    PyObject *x_obj, *bm_obj;
    PyObject *env_obj = nullptr, *instp_obj = nullptr, *instf_obj = nullptr;
    int nsamples, fs;
    double cf;
    if (!PyArg_ParseTuple(args, "OiidO|OOO", &x_obj, &nsamples, &fs, &cf, &bm_obj, &env_obj,
                          &instp_obj, &instf_obj))
        return nullptr;

    if (nsamples < 0)
        return PyErr_Format(PyExc_ValueError, "nsamples must be non-negative, got %d", nsamples);
    if (fs <= 0)
        return PyErr_Format(PyExc_ValueError, "fs must be positive, got %d", fs);
    if (!std::isfinite(cf))
        return PyErr_Format(PyExc_ValueError, "cf must be finite, got %R",
                            PyTuple_GET_ITEM(args, 3));

    static const char *const names[4] = {"bm", "env", "instp", "instf"};
    PyObject *const objs[4] = {bm_obj, env_obj, instp_obj, instf_obj};
    double *out[4];
    if (bm_obj == Py_None) {
        PyErr_SetString(PyExc_TypeError, "bm must be a numpy.ndarray, not None");
        return nullptr;
    }
    for (int i = 0; i < 4; i++) {
        if (!output_buffer(objs[i], names[i], nsamples, &out[i]))
            return nullptr;
    }
    for (int i = 0; i < 4; i++) {
        for (int j = 0; j < i; j++) {
            if (overlap(out[i], out[j], nsamples))
                return PyErr_Format(PyExc_ValueError, "%s and %s overlap", names[j], names[i]);
        }
    }

    PyArrayObject *x_arr = input_array(x_obj);
    if (x_arr == nullptr)
        return nullptr;
    if (PyArray_SIZE(x_arr) < nsamples) {
        PyErr_Format(PyExc_ValueError, "x holds %zd samples, nsamples is %d",
                     static_cast<Py_ssize_t>(PyArray_SIZE(x_arr)), nsamples);
        Py_DECREF(x_arr);
        return nullptr;
    }
    // The kernel reads each block of x before writing that block of output,
    // which covers x being exactly an output's buffer.  Any other overlap
    // would feed outputs back in as input, so such an x is read from a copy.
    const double *x = static_cast<const double *>(PyArray_DATA(x_arr));
    for (int i = 0; i < 4; i++) {
        if (out[i] != x && overlap(x, out[i], nsamples)) {
            PyObject *copy = PyArray_NewCopy(x_arr, NPY_CORDER);
            Py_DECREF(x_arr);
            if (copy == nullptr)
                return nullptr;
            x_arr = reinterpret_cast<PyArrayObject *>(copy);
            x = static_cast<const double *>(PyArray_DATA(x_arr));
            break;
        }
    }

    // The arguments stay referenced by the call's tuple and x_arr is ours, so
    // the storage outlives the kernel run without the interpreter lock.
    Py_BEGIN_ALLOW_THREADS
    gammatone_c(x, nsamples, fs, cf, 0, out[0], out[1], out[2], out[3]);
    Py_END_ALLOW_THREADS

    Py_DECREF(x_arr);
    Py_RETURN_NONE;
}

PyMethodDef GammatoneMethods[] = {
    {"gammatone_c", py_gammatone_c, METH_VARARGS, "Apply gammatone filter to a signal."},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

struct PyModuleDef gammatone_module = {
    PyModuleDef_HEAD_INIT,
    "gammatone_c",
    "Gammatone filter implemented in C.",
    -1,
    GammatoneMethods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_gammatone_c(void) {
    import_array();
    return PyModule_Create2(&gammatone_module, 1013);
}
