"""A plain, sample-by-sample Python model of the filter's arithmetic.

Python floats are IEEE doubles and every operation below rounds on its own,
in the order written, so this model gives the exact bits the extension must
produce.  It is deliberately naive: one loop, scalars only, the phase read
back from the phase buffer, no blocks and no vectors.
"""

import math

PI = 3.141592653589793
TWO_PI = 6.283185307179586


def gammatone(x, fs, cf, hrect=0, want_env=True, want_instp=True, want_instf=True):
    """Return (bm, env, instp, instf) as lists; outputs not wanted are None."""
    n = len(x)
    tpt = TWO_PI / float(fs)
    tptbw = ((((0.00437 * cf) + 1.0) * 24.7) * tpt) * 1.019
    a = math.exp(-tptbw)
    gain = (((tptbw * tptbw) * tptbw) * tptbw) / 3.0
    a1 = 4.0 * a
    a2 = (-6.0 * a) * a
    a3 = ((4.0 * a) * a) * a
    a4 = (((-a) * a) * a) * a
    a5 = a * a
    coscf = math.cos(tpt * cf)
    sincf = math.sin(tpt * cf)

    p1r = p2r = p3r = p4r = 0.0
    p1i = p2i = p3i = p4i = 0.0
    qcos, qsin = 1.0, 0.0
    oldphase = 0.0
    bm = [0.0] * n
    env = [0.0] * n if want_env else None
    # The frequency is formed from stored phases, so keep them even when the
    # caller only wants the frequency.
    instp = [0.0] * n if (want_instp or want_instf) else None
    instf = [0.0] * n if want_instf else None

    for t in range(n):
        xt = float(x[t])
        p0r = xt * qcos + a1 * p1r + a2 * p2r + a3 * p3r + a4 * p4r
        p0i = xt * qsin + a1 * p1i + a2 * p2i + a3 * p3i + a4 * p4i
        if abs(p0r) < 1e-200:
            p0r = 0.0
        if abs(p0i) < 1e-200:
            p0i = 0.0
        u0r = p0r + a1 * p1r + a5 * p2r
        u0i = p0i + a1 * p1i + a5 * p2i
        p4r, p3r, p2r, p1r = p3r, p2r, p1r, p0r
        p4i, p3i, p2i, p1i = p3i, p2i, p1i, p0i

        v = (u0r * qcos + u0i * qsin) * gain
        if hrect == 1 and v < 0:
            v = 0.0
        bm[t] = v
        if env is not None:
            env[t] = math.sqrt(u0r * u0r + u0i * u0i) * gain
        if instp is not None:
            phase = math.atan2(u0i, u0r)
            dp = phase - oldphase
            if abs(dp) > PI:
                w = dp + PI
                dps = (w - TWO_PI * math.floor(w / TWO_PI)) - PI
                if dps == -PI and dp > 0:
                    dps = PI
                phase = (phase + dps) - dp
            instp[t] = phase
            oldphase = phase
            if instf is not None and t > 0:
                instf[t - 1] = ((instp[t] - instp[t - 1]) / tpt) + cf

        oldcs = qcos
        qcos = coscf * oldcs + sincf * qsin
        qsin = coscf * qsin - sincf * oldcs

    if instf is not None and n > 0:
        instf[n - 1] = cf
    if not want_instp:
        instp = None
    return bm, env, instp, instf
