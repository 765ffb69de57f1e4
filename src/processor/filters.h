#pragma once
// Filter primitives and delay lines of the chain.
//
// Each primitive holds its coefficients and its state, both of type T: double for one channel,
// or Pair for left and right side by side. A stereo filter steps both channels at once with the
// same coefficient in both lanes, which is what two identical per-channel copies would compute,
// sample for sample, in half the instructions (the coefficients are stored already broadcast so
// the step needs no shuffles). After a step the states shift (x1 takes x, y1 takes y, and so on).

#include <cstdint>
#include <type_traits>

namespace loudara {

// Two doubles in one SSE register: lane 0 left, lane 1 right. Arithmetic is element-wise and a
// scalar operand is applied to both lanes.
typedef double Pair __attribute__((vector_size(16)));
typedef long long PairMask __attribute__((vector_size(16)));

inline Pair pairOf(double left, double right) { return Pair{left, right}; }
inline Pair pairAbs(Pair x) { return x < 0.0 ? -x : x; }
inline Pair pairMax(Pair a, Pair b) { return a > b ? a : b; }
inline Pair pairMin(Pair a, Pair b) { return a < b ? a : b; }

// y = b0*x + b1*x1 - a1*y1
template <class T>
struct OnePoleT {
    T b0{}, a1{}, b1{};
    T x1{}, y1{};
};

// Two identical first-order sections in series, sharing coefficients:
// w = b0*x + b1*x1 - a1*w1; y = b0*w + b1*w1 - a1*y1
template <class T>
struct OnePolePairT {
    T b0{}, a1{}, b1{};
    T x1{}, w1{}, y1{};
};

// y = b0*x + b1*x1 + b2*x2 - a1*y1 - a2*y2
template <class T>
struct BiquadT {
    T b0{}, a1{}, b1{}, a2{}, b2{};
    T x1{}, x2{}, y1{}, y2{};
};

// y = b0*x + b1*x1 + b2*x2 + b3*x3 - a1*y1 - a2*y2 - a3*y3
template <class T>
struct ThirdOrderT {
    T b0{}, a1{}, b1{}, a2{}, b2{}, a3{}, b3{};
    T x1{}, x2{}, x3{}, y1{}, y2{}, y3{};
};

// y = sum(b[k]*x[n-k], k = 0..5) - sum(a[k]*y[n-k], k = 1..5); a[0] is unused.
template <class T>
struct FifthOrderT {
    T b[6] = {};
    T a[6] = {};
    T x[5] = {}, y[5] = {};
};

// y = sum(c[k]*x[n-k], k = 0..22). The history is kept twice over so that the 23 newest inputs
// always lie in one contiguous run without wrapping.
template <class T>
struct Fir23T {
    static constexpr int kTaps = 23;
    T c[kTaps] = {};
    T history[2 * kTaps] = {};
    int32_t newest = 0;
};

using OnePole = OnePoleT<double>;
using OnePolePair = OnePolePairT<double>;
using Biquad = BiquadT<double>;
using ThirdOrder = ThirdOrderT<double>;
using FifthOrder = FifthOrderT<double>;
using Fir23 = Fir23T<double>;

using StereoOnePole = OnePoleT<Pair>;
using StereoOnePolePair = OnePolePairT<Pair>;
using StereoBiquad = BiquadT<Pair>;
using StereoThirdOrder = ThirdOrderT<Pair>;
using StereoFifthOrder = FifthOrderT<Pair>;
using StereoFir23 = Fir23T<Pair>;

template <class T>
inline T step(OnePoleT<T>& f, T x) {
    const T y = f.b0 * x + f.b1 * f.x1 - f.a1 * f.y1;
    f.x1 = x;
    f.y1 = y;
    return y;
}

template <class T>
inline T step(OnePolePairT<T>& f, T x) {
    const T w = f.b0 * x + f.b1 * f.x1 - f.a1 * f.w1;
    const T y = f.b0 * w + f.b1 * f.w1 - f.a1 * f.y1;
    f.x1 = x;
    f.w1 = w;
    f.y1 = y;
    return y;
}

template <class T>
inline T step(BiquadT<T>& f, T x) {
    const T y = f.b0 * x + f.b1 * f.x1 + f.b2 * f.x2 - f.a1 * f.y1 - f.a2 * f.y2;
    f.x2 = f.x1;
    f.x1 = x;
    f.y2 = f.y1;
    f.y1 = y;
    return y;
}

template <class T>
inline T step(ThirdOrderT<T>& f, T x) {
    const T y = f.b0 * x + f.b1 * f.x1 + f.b2 * f.x2 + f.b3 * f.x3 - f.a1 * f.y1 - f.a2 * f.y2 - f.a3 * f.y3;
    f.x3 = f.x2;
    f.x2 = f.x1;
    f.x1 = x;
    f.y3 = f.y2;
    f.y2 = f.y1;
    f.y1 = y;
    return y;
}

template <class T>
inline T step(FifthOrderT<T>& f, T x) {
    T y = f.b[0] * x;
#pragma GCC unroll 5
    for (int k = 0; k < 5; ++k) y += f.b[k + 1] * f.x[k];
#pragma GCC unroll 5
    for (int k = 0; k < 5; ++k) y -= f.a[k + 1] * f.y[k];
#pragma GCC unroll 4
    for (int k = 4; k > 0; --k) {
        f.x[k] = f.x[k - 1];
        f.y[k] = f.y[k - 1];
    }
    f.x[0] = x;
    f.y[0] = y;
    return y;
}

template <class T>
inline T step(Fir23T<T>& f, T x) {
    constexpr int n = Fir23T<T>::kTaps;
    int32_t i = f.newest - 1;
    if (i < 0) i = n - 1;
    f.history[i] = x;
    f.history[i + n] = x;
    f.newest = i;
    // history[i + k] is x[n-k]
    const T* h = f.history + i;
    T y = f.c[0] * h[0];
#pragma GCC unroll 23
    for (int k = 1; k < n; ++k) y += f.c[k] * h[k];
    return y;
}

// Four doubles: two consecutive frames of a Pair signal (left, right, next left, next right).
typedef double Quad __attribute__((vector_size(32)));

// n steps of a stereo FIR over x[0..n-1] in place, the same outputs and final state as n calls of
// step(f, x[i]). The inputs are laid out in time order after the 22 previous ones, so that two
// consecutive outputs are one sum over Quads; each lane adds its products in the same order as
// step does.
template <int Capacity>
inline void stepRun(Fir23T<Pair>& f, Pair (&x)[Capacity], int32_t n) {
    constexpr int taps = Fir23T<Pair>::kTaps;
    constexpr int past = taps - 1;
    Pair line[past + Capacity + 1];
    for (int k = 0; k < past; ++k) line[past - 1 - k] = f.history[f.newest + k];
    for (int32_t i = 0; i < n; ++i) line[past + i] = x[i];
    Quad c[taps];
    for (int k = 0; k < taps; ++k) c[k] = Quad{f.c[k][0], f.c[k][1], f.c[k][0], f.c[k][1]};
    int32_t i = 0;
    for (; i + 1 < n; i += 2) {
        Quad h;
        __builtin_memcpy(&h, &line[past + i], sizeof h);
        Quad y = c[0] * h;
#pragma GCC unroll 23
        for (int k = 1; k < taps; ++k) {
            __builtin_memcpy(&h, &line[past + i - k], sizeof h);
            y += c[k] * h;
        }
        __builtin_memcpy(&x[i], &y, sizeof y);
    }
    for (; i < n; ++i) {
        Pair y = f.c[0] * line[past + i];
#pragma GCC unroll 23
        for (int k = 1; k < taps; ++k) y += f.c[k] * line[past + i - k];
        x[i] = y;
    }
    // The history as step leaves it: history[newest + k] is the input k steps back.
    // Input j lands at newest - (j + 1) modulo taps; the last taps inputs fill distinct places.
    const int32_t kept = n < taps ? n : taps;
    for (int32_t j = n - kept; j < n; ++j) {
        const int32_t at = ((f.newest - (j + 1)) % taps + taps) % taps;
        f.history[at] = f.history[at + taps] = line[past + j];
    }
    f.newest = ((f.newest - n) % taps + taps) % taps;
}

// A coefficient of one filter type as another: broadcast into both lanes, or lane 0 taken.
template <class T>
inline T coefficient(double c) {
    if constexpr (std::is_same_v<T, Pair>) {
        return Pair{c, c};
    } else {
        return c;
    }
}
template <class T>
inline T coefficient(Pair c) {
    if constexpr (std::is_same_v<T, Pair>) {
        return c;
    } else {
        return c[0];
    }
}

// Copies the coefficients of `from` into `to` and clears the state of `to`: every installation
// of a filter restarts it from silence.
template <class T, class U>
inline void install(OnePoleT<T>& to, const OnePoleT<U>& from) {
    to = OnePoleT<T>{coefficient<T>(from.b0), coefficient<T>(from.a1), coefficient<T>(from.b1)};
}
template <class T, class U>
inline void install(OnePolePairT<T>& to, const OnePolePairT<U>& from) {
    to = OnePolePairT<T>{coefficient<T>(from.b0), coefficient<T>(from.a1), coefficient<T>(from.b1)};
}
template <class T, class U>
inline void install(BiquadT<T>& to, const BiquadT<U>& from) {
    to = BiquadT<T>{coefficient<T>(from.b0), coefficient<T>(from.a1), coefficient<T>(from.b1),
                    coefficient<T>(from.a2), coefficient<T>(from.b2)};
}
template <class T, class U>
inline void install(ThirdOrderT<T>& to, const ThirdOrderT<U>& from) {
    to = ThirdOrderT<T>{coefficient<T>(from.b0), coefficient<T>(from.a1), coefficient<T>(from.b1),
                        coefficient<T>(from.a2), coefficient<T>(from.b2), coefficient<T>(from.a3),
                        coefficient<T>(from.b3)};
}
template <class T, class U>
inline void install(FifthOrderT<T>& to, const FifthOrderT<U>& from) {
    to = FifthOrderT<T>{};
    for (int k = 0; k < 6; ++k) {
        to.b[k] = coefficient<T>(from.b[k]);
        to.a[k] = coefficient<T>(from.a[k]);
    }
}
template <class T, class U>
inline void install(Fir23T<T>& to, const Fir23T<U>& from) {
    to = Fir23T<T>{};
    for (int k = 0; k < Fir23T<T>::kTaps; ++k) to.c[k] = coefficient<T>(from.c[k]);
}

// Copies the coefficients of `from` into `to` and keeps the state of `to`: a running filter takes
// new settings from its next sample on, without the restart from silence that would click.
template <class T, class U>
inline void retune(OnePoleT<T>& to, const OnePoleT<U>& from) {
    to.b0 = coefficient<T>(from.b0);
    to.a1 = coefficient<T>(from.a1);
    to.b1 = coefficient<T>(from.b1);
}
template <class T, class U>
inline void retune(OnePolePairT<T>& to, const OnePolePairT<U>& from) {
    to.b0 = coefficient<T>(from.b0);
    to.a1 = coefficient<T>(from.a1);
    to.b1 = coefficient<T>(from.b1);
}
template <class T, class U>
inline void retune(BiquadT<T>& to, const BiquadT<U>& from) {
    to.b0 = coefficient<T>(from.b0);
    to.a1 = coefficient<T>(from.a1);
    to.b1 = coefficient<T>(from.b1);
    to.a2 = coefficient<T>(from.a2);
    to.b2 = coefficient<T>(from.b2);
}
template <class T, class U>
inline void retune(FifthOrderT<T>& to, const FifthOrderT<U>& from) {
    for (int k = 0; k < 6; ++k) {
        to.b[k] = coefficient<T>(from.b[k]);
        to.a[k] = coefficient<T>(from.a[k]);
    }
}
template <class T, class U>
inline void retune(Fir23T<T>& to, const Fir23T<U>& from) {
    for (int k = 0; k < Fir23T<T>::kTaps; ++k) to.c[k] = coefficient<T>(from.c[k]);
}

// Clears a filter's state, keeping its coefficients.
template <class F>
inline void clearState(F& f) {
    install(f, F(f));
}

// Delay line of length n: returns the value stored n - 1 calls before (n = 1 passes x through).
// i = (index + 1) mod n; store x at i; output the value at (i + 1) mod n.
template <class T, int Capacity>
struct DelayLine {
    T buffer[Capacity] = {};
    int32_t index = 0;
};

template <class T, int Capacity>
inline T step(DelayLine<T, Capacity>& d, T x, int32_t length) {
    int32_t i = d.index + 1;
    if (i >= length) i %= length;
    d.buffer[i] = x;
    d.index = i;
    const int32_t out = i + 1 == length ? 0 : i + 1;
    return d.buffer[out];
}

// Pure delay of n: returns the value stored n calls before.
// i = index mod n; output the value at i; store x at i; index = i + 1.
template <class T, int Capacity>
struct PureDelay {
    T buffer[Capacity] = {};
    int32_t index = 0;
};

template <class T, int Capacity>
inline T step(PureDelay<T, Capacity>& d, T x, int32_t length) {
    int32_t i = d.index;
    if (i >= length) i %= length;
    const T y = d.buffer[i];
    d.buffer[i] = x;
    d.index = i + 1;
    return y;
}

// Schroeder all-pass diffuser: w = stored value at i = index mod length; store x + g*w at i;
// output w - g*(x + g*w).
struct Diffuser {
    static constexpr int kCapacity = 2400;
    double gain = 0;
    int32_t length = 1;
    int32_t index = 0;
    double buffer[kCapacity] = {};
};

inline double step(Diffuser& d, double x) {
    int32_t i = d.index;
    if (i >= d.length) i %= d.length;
    const double w = d.buffer[i];
    const double v = x + d.gain * w;
    d.buffer[i] = v;
    d.index = i + 1;
    return w - d.gain * v;
}

// n steps of a diffuser over x[0..n-1] in place, the same outputs and final state as n calls of
// step(d, x[i]). Between two wraps of the index every step reads a place written a whole
// length before, so each such stretch is a plain loop over independent frames.
inline void stepRun(Diffuser& d, double* x, int32_t n) {
    const double g = d.gain;
    int32_t i = d.index;
    if (i >= d.length) i %= d.length;
    for (int32_t done = 0; done < n;) {
        if (i == d.length) i = 0;
        const int32_t m = n - done < d.length - i ? n - done : d.length - i;
        double* __restrict b = d.buffer + i;
        double* __restrict y = x + done;
        for (int32_t j = 0; j < m; ++j) {
            const double w = b[j];
            const double v = y[j] + g * w;
            b[j] = v;
            y[j] = w - g * v;
        }
        done += m;
        i += m;
    }
    d.index = i;
}

}  // namespace loudara
