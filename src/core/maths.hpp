// Portable transcendental functions. Every simulated number has to come out
// bit-identical on every platform, so the core never calls the host libm for these:
// each function below returns exactly what musl 1.2.x returns on x86_64 (checked bit
// for bit against musl by the maths_matches_musl test), whatever libm, compiler or
// CPU the build uses. Special values follow C99 Annex F; errno and floating-point
// exception flags are not part of the contract.
#pragma once

namespace corvane::maths {

double sin(double x) noexcept;
double cos(double x) noexcept;
// sin(x) and cos(x), bit for bit, reducing the argument once.
void sin_cos(double x, double& sine, double& cosine) noexcept;
double exp(double x) noexcept;
double log(double x) noexcept;
double pow(double x, double y) noexcept;

}  // namespace corvane::maths
