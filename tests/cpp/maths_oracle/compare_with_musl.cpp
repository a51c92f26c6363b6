// Compares corvane::maths with musl bit for bit. Inputs come from a fixed-seed
// generator (whole-range bit patterns, the ranges the model uses, and the hard cases
// of each algorithm); the musl side is the statically linked musl_reference program,
// fed through temporary files in chunks.
//
// usage: compare_with_musl --reference PATH [--count N] [--seed S] [--functions sin,cos,...]

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "core/maths.hpp"

namespace {

using std::uint64_t;

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }
double from_bits(uint64_t b) { return std::bit_cast<double>(b); }

// splitmix64: tiny, and its output sequence is the same everywhere.
struct Rng {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    uint64_t below(uint64_t n) { return next() % n; }
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }  // [0, 1)
    double uniform(double lo, double hi) { return lo + (hi - lo) * unit(); }
    bool coin() { return (next() >> 63) != 0; }
    double signed_(double x) { return coin() ? -x : x; }
    // Moves x by up to `ulps` representable values either way.
    double jitter(double x, int ulps) {
        const auto span = static_cast<uint64_t>(2 * ulps + 1);
        const auto delta = static_cast<std::int64_t>(below(span)) - ulps;
        return from_bits(bits(x) + static_cast<uint64_t>(delta));
    }
    // Random mantissa with a biased exponent drawn from [lo, hi].
    double with_exponent(int lo, int hi) {
        const auto e = static_cast<uint64_t>(lo) + below(static_cast<uint64_t>(hi - lo + 1));
        return from_bits((e << 52) | (next() >> 12));
    }
    double any_bits() { return from_bits(next()); }
    double subnormal() { return from_bits((next() >> 12) | 1); }
};

const double special_values[] = {
    0.0,
    -0.0,
    INFINITY,
    -INFINITY,
    NAN,
    -NAN,
    from_bits(0x7ff0000000000001),  // signalling NaN
    from_bits(1),
    from_bits(0x800fffffffffffff),
    from_bits(0x0010000000000000),
    0x1.fffffffffffffp+1023,
    -0x1.fffffffffffffp+1023,
    1.0,
    -1.0,
    0.5,
    2.0,
    3.0,
    -2.0,
    0x1p-1074,
    0x1p-1022,
    0x1p-54,
    0x1p-26,
    // Doubles famously close to multiples of pi/2.
    0x1.6ac5b262ca1ffp+849,
    0x1.2b17b56a677bap+551,
    1e22,
    1e300,
    -1e300,
};

// pi/2 to 64 bits; long double is only used to place test inputs near k*pi/2.
constexpr long double pio2_long = 0xc.90fdaa22168c235p-3L;

// A double within about 2^spread ulps of k*pi/2: small spreads exercise the extra
// reduction rounds and the large-argument recomputation, wider ones the plain paths.
double near_multiple_of_pio2(Rng& rng, uint64_t k, int spread) {
    const auto x = static_cast<double>(static_cast<long double>(k) * pio2_long);
    const auto offset =
        static_cast<std::int64_t>(rng.below(uint64_t{2} << spread)) - (std::int64_t{1} << spread);
    return rng.signed_(from_bits(bits(x) + static_cast<uint64_t>(offset)));
}

// Values whose high word sits on one of the branch thresholds of sin/cos/rem_pio2.
double trig_threshold(Rng& rng) {
    static const uint64_t high_words[] = {
        0x3e46a09e, 0x3e500000, 0x3fe921fb, 0x4002d97c, 0x400f6a7a, 0x4012d97c, 0x4015fdbc,
        0x401921fb, 0x401c463b, 0x413921fb, 0x3ff921fb, 0x400921fb, 0x4012d97c, 0x7fefffff};
    const uint64_t hw = high_words[rng.below(std::size(high_words))] + rng.below(3) - 1;
    return rng.signed_(from_bits((hw << 32) | (rng.next() >> 32)));
}

double trig_input(Rng& rng) {
    const int spread =
        static_cast<int>(rng.below(4)) + (rng.coin() ? 0 : static_cast<int>(rng.below(40)));
    switch (rng.below(12)) {
        case 0: return rng.any_bits();
        case 1:
        case 2: return rng.uniform(-1e4, 1e4);
        case 3: return rng.uniform(-1.0, 1.0);
        case 4: return rng.signed_(rng.with_exponent(0x3ff - 60, 0x3ff + 996));  // up to ~1e300
        case 5: return near_multiple_of_pio2(rng, 1 + rng.below(8), spread);
        case 6:
        case 7: return near_multiple_of_pio2(rng, 1 + rng.below(1000000), spread);
        case 8:
        case 9:
            return near_multiple_of_pio2(rng, 1 + (rng.next() >> (4 + rng.below(44))),
                                         spread);  // large k
        case 10: return trig_threshold(rng);
        default:
            return rng.coin() ? rng.signed_(rng.subnormal())
                              : rng.signed_(rng.with_exponent(1, 0x3ff - 20));
    }
}

constexpr double exp_overflow = 0x1.62e42fefa39efp+9;   // ~709.78
constexpr double exp_underflow = 0x1.74910d52d3051p+9;  // ~745.13

double exp_input(Rng& rng) {
    switch (rng.below(10)) {
        case 0: return rng.any_bits();
        case 1:
        case 2:
        case 3: return rng.uniform(-50.0, 50.0);
        case 4: return rng.jitter(exp_overflow, 1 << 20);
        case 5: return -rng.jitter(exp_underflow, 1 << 20);
        case 6: return rng.uniform(-746.0, -700.0);  // subnormal results
        case 7: return rng.uniform(700.0, 710.0);
        case 8:
            return rng.signed_(
                rng.with_exponent(0x3ff - 60, 0x3ff + 11));  // around 2^-54, 512, 1024
        default: return rng.signed_(rng.with_exponent(0x3ff - 60, 0x3ff - 50));
    }
}

double log_input(Rng& rng) {
    switch (rng.below(10)) {
        case 0: return rng.any_bits();
        case 1:
        case 2:
        case 3: return rng.uniform(0.0, 1e6);
        case 4: return rng.uniform(1.0 - 0x1p-4, 1.0 + 0x1.09p-4);  // polynomial path
        case 5: return rng.jitter(1.0, 1000);
        case 6: return rng.subnormal();
        case 7: return rng.with_exponent(1, 0x7fe);
        case 8:
            return rng.jitter(from_bits((1 + rng.below(0x7fe)) << 52), 2);  // around powers of two
        default: return -rng.with_exponent(0, 0x7ff);                       // negative, -inf, NaN
    }
}

// y so that y * log(x) lands near `target`, i.e. where pow's result leaves the normal range.
double exponent_for(Rng& rng, double x, double target) {
    const double l = corvane::maths::log(x);
    return l == 0.0 ? 1.0 : rng.jitter(target / l, 64);
}

void pow_input(Rng& rng, double& x, double& y) {
    switch (rng.below(16)) {
        case 0:
            x = rng.any_bits();
            y = rng.any_bits();
            return;
        case 1:
        case 2:
        case 3:
        case 4:
            x = rng.uniform(0.0, 1e4);
            y = rng.uniform(-10.0, 10.0);
            return;
        case 5:  // negative base, integer exponent
            x = -rng.uniform(0.0, 100.0);
            y = static_cast<double>(static_cast<int>(rng.below(201)) - 100);
            return;
        case 6:  // negative base, non-integer or huge exponent
            x = -rng.uniform(0.0, 1e4);
            y = rng.coin() ? rng.uniform(-10.0, 10.0)
                           : rng.signed_(rng.with_exponent(0x3ff + 50, 0x3ff + 70));
            return;
        case 7:  // overflow edge, either sign of base
            x = rng.uniform(1.0, 1e4);
            y = exponent_for(rng, x, rng.jitter(exp_overflow, 1 << 16));
            if (rng.coin()) {  // negative base needs an integer exponent; either parity
                x = -x;
                y = std::floor(y) + static_cast<double>(rng.below(2));
            }
            return;
        case 8:  // underflow and subnormal results
            x = rng.uniform(0.0, 1e4);
            y = exponent_for(rng, x, -rng.uniform(exp_overflow - 1.0, exp_underflow + 1.0));
            if (rng.coin()) {
                x = -x;
                y = std::floor(y) + static_cast<double>(rng.below(2));
            }
            return;
        case 9:  // x near 1, large |y|
            x = rng.jitter(1.0, 1 << 10);
            y = rng.signed_(rng.with_exponent(0x3ff + 20, 0x3ff + 64));
            return;
        case 10:  // tiny or huge |y|
            x = rng.uniform(0.0, 4.0);
            y = rng.signed_(rng.coin() ? rng.with_exponent(0x3ff - 70, 0x3ff - 60)
                                       : rng.with_exponent(0x3ff + 60, 0x3ff + 66));
            return;
        case 11:  // subnormal base
            x = rng.signed_(rng.subnormal());
            y = rng.coin() ? rng.uniform(-2.0, 2.0)
                           : static_cast<double>(static_cast<int>(rng.below(7)) - 3);
            return;
        case 12:  // special operands against ordinary ones
            x = special_values[rng.below(std::size(special_values))];
            y = rng.coin() ? special_values[rng.below(std::size(special_values))]
                           : rng.uniform(-5.0, 5.0);
            if (rng.coin()) std::swap(x, y);
            return;
        case 13:  // exact-looking cases: integer bases, small integer and half exponents
            x = static_cast<double>(rng.below(1000)) * (rng.coin() ? -1.0 : 1.0);
            y = static_cast<double>(static_cast<int>(rng.below(41)) - 20) *
                (rng.coin() ? 0.5 : 1.0);
            return;
        case 14:  // whole range of magnitudes
            x = rng.with_exponent(1, 0x7fe);
            y = rng.signed_(rng.with_exponent(0x3ff - 30, 0x3ff + 10));
            return;
        default:
            x = rng.uniform(0.0, 1e6);
            y = rng.uniform(-100.0, 100.0);
            return;
    }
}

struct Function {
    const char* name;
    int arity;
    double (*unary)(double);
    double (*binary)(double, double);
    double (*input)(Rng&);
};

double run(const Function& f, const double* in) {
    return f.arity == 1 ? f.unary(in[0]) : f.binary(in[0], in[1]);
}

// One half of sin_cos, set beside musl's sincos.
template <bool Sine>
double sin_cos_half(double x) {
    double s = 0.0;
    double c = 0.0;
    corvane::maths::sin_cos(x, s, c);
    return Sine ? s : c;
}

bool same(double a, double b) { return bits(a) == bits(b) || (a != a && b != b); }

struct Options {
    std::string reference;
    uint64_t count = 1000000;
    uint64_t seed = 20240601;
    std::string functions = "sin,cos,exp,log,pow,sincos.sin,sincos.cos";
};

// Runs the musl reference over `in` and returns its outputs.
std::vector<double> reference_results(const Options& opt, const Function& f,
                                      const std::vector<double>& in,
                                      const std::filesystem::path& dir) {
    const auto in_path = dir / "in.bin";
    const auto out_path = dir / "out.bin";
    {
        std::ofstream os(in_path, std::ios::binary);
        os.write(reinterpret_cast<const char*>(in.data()),
                 static_cast<std::streamsize>(in.size() * sizeof(double)));
    }
    const std::string cmd = "'" + opt.reference + "' " + f.name + " < '" + in_path.string() +
                            "' > '" + out_path.string() + "'";
    if (std::system(cmd.c_str()) != 0) {
        std::cerr << "reference program failed: " << cmd << "\n";
        std::exit(2);
    }
    const std::size_t n = in.size() / static_cast<std::size_t>(f.arity);
    std::vector<double> out(n);
    std::ifstream is(out_path, std::ios::binary);
    is.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(n * sizeof(double)));
    if (static_cast<std::size_t>(is.gcount()) != n * sizeof(double)) {
        std::cerr << "short output from reference program for " << f.name << "\n";
        std::exit(2);
    }
    return out;
}

uint64_t check(const Options& opt, const Function& f, uint64_t stream,
               const std::filesystem::path& dir) {
    constexpr uint64_t chunk = 1 << 20;
    Rng rng{opt.seed * 0x100000001b3ULL + stream};
    uint64_t done = 0;
    uint64_t mismatches = 0;
    std::vector<double> in;
    while (done < opt.count) {
        const uint64_t n = std::min(chunk, opt.count - done);
        in.clear();
        for (uint64_t i = 0; i < n; i++) {
            const uint64_t index = done + i;
            if (f.arity == 1) {
                in.push_back(index < std::size(special_values) ? special_values[index]
                                                               : f.input(rng));
            } else {
                double x, y;
                constexpr uint64_t ns = std::size(special_values);
                if (index < ns * ns) {  // every pair of special values first
                    x = special_values[index / ns];
                    y = special_values[index % ns];
                } else {
                    pow_input(rng, x, y);
                }
                in.push_back(x);
                in.push_back(y);
            }
        }
        const std::vector<double> expected = reference_results(opt, f, in, dir);
        for (uint64_t i = 0; i < n; i++) {
            const double* args = &in[i * static_cast<uint64_t>(f.arity)];
            const double got = run(f, args);
            if (same(got, expected[i])) continue;
            if (++mismatches <= 20) {
                std::printf("MISMATCH %s(%a", f.name, args[0]);
                if (f.arity == 2) std::printf(", %a", args[1]);
                std::printf(") [0x%016llx", static_cast<unsigned long long>(bits(args[0])));
                if (f.arity == 2)
                    std::printf(", 0x%016llx", static_cast<unsigned long long>(bits(args[1])));
                std::printf("]: corvane %a (0x%016llx), musl %a (0x%016llx)\n", got,
                            static_cast<unsigned long long>(bits(got)), expected[i],
                            static_cast<unsigned long long>(bits(expected[i])));
            }
        }
        done += n;
    }
    std::printf("%-4s %llu inputs, %llu mismatches\n", f.name,
                static_cast<unsigned long long>(done), static_cast<unsigned long long>(mismatches));
    return mismatches;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (i + 1 >= argc) {
            std::cerr << "missing value for " << a << "\n";
            return 2;
        }
        const std::string v = argv[++i];
        if (a == "--reference")
            opt.reference = v;
        else if (a == "--count")
            opt.count = std::stoull(v);
        else if (a == "--seed")
            opt.seed = std::stoull(v);
        else if (a == "--functions")
            opt.functions = v;
        else {
            std::cerr << "unknown option " << a << "\n";
            return 2;
        }
    }
    if (opt.reference.empty()) {
        std::cerr << "usage: compare_with_musl --reference PATH [--count N] [--seed S] "
                     "[--functions sin,cos,...]\n";
        return 2;
    }

    static const Function functions[] = {
        {"sin", 1, [](double x) { return corvane::maths::sin(x); }, nullptr, trig_input},
        {"cos", 1, [](double x) { return corvane::maths::cos(x); }, nullptr, trig_input},
        {"exp", 1, [](double x) { return corvane::maths::exp(x); }, nullptr, exp_input},
        {"log", 1, [](double x) { return corvane::maths::log(x); }, nullptr, log_input},
        {"pow", 2, nullptr, [](double x, double y) { return corvane::maths::pow(x, y); }, nullptr},
        {"sincos.sin", 1, sin_cos_half<true>, nullptr, trig_input},
        {"sincos.cos", 1, sin_cos_half<false>, nullptr, trig_input},
    };

    const auto dir = std::filesystem::temp_directory_path() /
                     ("corvane_maths_oracle_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    uint64_t total = 0;
    uint64_t mismatches = 0;
    for (uint64_t k = 0; k < std::size(functions); k++) {
        const Function& f = functions[k];
        if (("," + opt.functions + ",").find(std::string(",") + f.name + ",") == std::string::npos)
            continue;
        mismatches += check(opt, f, k, dir);
        total += opt.count;
    }
    std::filesystem::remove_all(dir);
    std::printf("maths oracle: %llu inputs, %llu mismatches\n",
                static_cast<unsigned long long>(total),
                static_cast<unsigned long long>(mismatches));
    return mismatches == 0 ? 0 : 1;
}
