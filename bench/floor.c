/* The machine's floor for one filter channel, in ns per step.
 *
 * chain: one multiply then four dependent adds per step, the critical path of
 *        the recursion, which cannot be shortened without reassociating.
 * atan2: one libm atan2 per step on scattered arguments, the phase stage's
 *        unavoidable call.  The argument table is far longer than any branch
 *        history, so the predictor cannot learn atan2's branches for it: a
 *        short table that repeats would make atan2 look about twice as fast
 *        as it is on a real signal.
 *
 * Usage: floor STEPS  -> prints "chain NS" and "atan2 NS" (best of 7 runs).
 */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

#define TABLE (1 << 20)

int main(int argc, char **argv) {
    long steps = argc > 1 ? atol(argv[1]) : 2000000;
    /* volatile so the compiler cannot fold the constants into the loop */
    volatile double vm = 0.9990234375, vc1 = 1e-3, vc2 = -2e-3, vc3 = 3e-3, vc4 = -1.5e-3;
    const double m = vm, c1 = vc1, c2 = vc2, c3 = vc3, c4 = vc4;
    double *ys = malloc(TABLE * sizeof *ys), *xs = malloc(TABLE * sizeof *xs);
    if (!ys || !xs) return 2;
    unsigned long long s = 88172645463325252ULL;
    for (int i = 0; i < TABLE; i++) {
        s ^= s << 13; s ^= s >> 7; s ^= s << 17;
        ys[i] = (double)(s >> 11) / 9007199254740992.0 * 2.0 - 1.0;
        s ^= s << 13; s ^= s >> 7; s ^= s << 17;
        xs[i] = (double)(s >> 11) / 9007199254740992.0 * 2.0 - 1.0;
    }

    /* Each loop's result is stored to a volatile before the clock is read
     * again, so the compiler cannot move the loop past the clock call. */
    volatile double out;
    double best_chain = 1e30, best_atan2 = 1e30, sink = 0.0;
    for (int rep = 0; rep < 7; rep++) {
        double acc = 0.5, t0 = now();
        for (long i = 0; i < steps; i++)
            acc = (((acc * m + c1) + c2) + c3) + c4;
        out = acc;
        double t1 = now();
        sink += acc;
        if (t1 - t0 < best_chain) best_chain = t1 - t0;

        double sum = 0.0;
        t0 = now();
        for (long i = 0; i < steps; i++)
            sum += atan2(ys[i & (TABLE - 1)], xs[i & (TABLE - 1)]);
        out = sum;
        t1 = now();
        sink += sum;
        if (t1 - t0 < best_atan2) best_atan2 = t1 - t0;
    }
    printf("chain %.4f\natan2 %.4f\n", 1e9 * best_chain / steps, 1e9 * best_atan2 / steps);
    return sink == 12345.678 ? 1 : 0;
}
