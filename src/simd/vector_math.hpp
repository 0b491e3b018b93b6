#pragma once

// VectorExp and VectorLog: exp and log of N doubles side by side (N = 2, 4, 8)
// whose every lane is bit for bit what the platform's std::exp and std::log
// return on x86-64 with glibc >= 2.28 on a CPU with FMA. There the platform
// picks, at load time, a build of the table-driven algorithms below compiled
// with fused multiply-adds; these functions reproduce that build operation by
// operation, each fused multiply-add where the compiled library has one
// (read off its disassembly), every other operation rounded on its own.
//
//   exp: x = k ln2/128 + r, |r| <= ln2/256; exp(x) = 2^(k/128) exp(r), with
//        2^(j/128) from a 128-entry table of (low-order correction, high bits
//        minus j<<45) and exp(r) - 1 a degree-5 polynomial; the result is
//        scale + scale*tmp, one fused operation.
//   log: x = 2^k z, z near a table point c; log(x) = k ln2 + log(c) +
//        log1p(z/c - 1) from a 128-entry table of (1/c, log c) and a degree-6
//        polynomial; for x within about 1/16 of 1 a degree-12 polynomial in
//        x - 1 with a split product instead.
//
// The fast path covers exp for 2^-54 <= |x| < 1024 with a normal finite
// result (below 2^-54 it is 1 + x, as the platform computes it) and log for
// positive normal finite x. Any other lane -- overflow, a subnormal or zero
// result, 0, negative, infinite, NaN or subnormal arguments -- is computed by
// std::exp / std::log for that lane alone, so it is exact by construction.
//
// Constants: the tables, polynomial coefficients and ln2 splits are the
// published data of the exp and log of Arm's optimized-routines (MIT licence),
// the same numbers glibc ships; transcribed from this machine's libm, the
// coefficients and sampled table entries checked against the published ones.
//
// Identity: tools/vector_math_identity.cpp compares every lane with the
// platform functions for each kernel (2 lanes baseline, 4 lanes AVX2+FMA,
// 8 lanes AVX-512) on random arguments uniform in bits and in value over the
// whole fast path, every table boundary and its neighbours, integers and
// halves, every ulp within 1e5 ulps of 1 for log, the fast-path edges and the
// special values. Measured on glibc 2.36, AVX-512 + FMA: 10^9
// arguments per function on each of the three kernels (6*10^9 comparisons,
// 7 minutes on 2 shared cores), zero mismatches; the default run takes 10^7
// (self-check: 40-160 us; a contracting build also matches).
// VectorMathMatchesPlatform() repeats a small fixed battery of that at run
// time; callers use the fast path only when it returns true.
//
// The including unit: every fused multiply-add is explicit, and no unfused
// step is left in a form a contracting compiler could fuse, but the project's
// -ffp-contract=off is assumed all the same. Fused multiply-adds are single
// instructions when the unit is compiled with -mfma (2 and 4 lanes) or
// -mavx512f (8 lanes), per-lane std::fma calls otherwise: exact, but slow.
// Table lookups are gathers with -mavx2 (per-lane loads measured no faster).
// The code lives in an inline namespace named after the unit's target, so
// units compiled for different targets never share a definition (the two
// out-of-line helpers for rare lanes included). The tables are
// constant-initialised data: no code runs at load time.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <new>
#include <type_traits>

#if defined(__SSE2__) || defined(__AVX__)
#include <immintrin.h>
#endif

#include "lanes.hpp"
#include "target.hpp"

#if defined(__AVX512F__) && defined(__FMA__)
#define KV_VECTOR_MATH_TARGET vector_math_avx512_fma
#elif defined(__AVX512F__)
#define KV_VECTOR_MATH_TARGET vector_math_avx512
#elif defined(__AVX2__) && defined(__FMA__)
#define KV_VECTOR_MATH_TARGET vector_math_avx2_fma
#elif defined(__FMA__)
#define KV_VECTOR_MATH_TARGET vector_math_fma
#elif defined(__AVX2__)
#define KV_VECTOR_MATH_TARGET vector_math_avx2
#else
#define KV_VECTOR_MATH_TARGET vector_math_generic
#endif

namespace kv {

// ---- constants, shared by every target --------------------------------------

namespace vector_math_data {

// exp: k = round(x * 128/ln2) by adding a shift of 1.5*2^52; r = x - k ln2/128
// with ln2/128 split in two so that k * hi is exact.
inline constexpr double kExpInvLn2N = 0x1.71547652b82fep+7;
inline constexpr double kExpShift = 0x1.8p+52;
inline constexpr double kExpNegLn2HiN = -0x1.62e42fefa0000p-8;
inline constexpr double kExpNegLn2LoN = -0x1.cf79abc9e3b3ap-47;
inline constexpr double kExpC2 = 0x1.ffffffffffdbdp-2;
inline constexpr double kExpC3 = 0x1.555555555543cp-3;
inline constexpr double kExpC4 = 0x1.55555cf172b91p-5;
inline constexpr double kExpC5 = 0x1.1111167a4d017p-7;

// Entry 2j: the low-order correction t of 2^(j/128) = h (1 + t); entry 2j+1:
// h with j<<45 taken off its bits, so that adding k<<45 yields 2^(k/128)'s.
alignas(64) inline constexpr double kExpTable[256] = {
    0.0,
    0x1.0000000000000p+0,
    0x1.b3b4f1a88bf6ep-54,
    0x1.ff63da9fb3335p-1,
    -0x1.160139cd8dc5dp-56,
    0x1.fec9a3e778061p-1,
    -0x1.05e7a108766d1p-54,
    0x1.fe315e86e7f85p-1,
    0x1.cd2523567f613p-55,
    0x1.fd9b0d3158574p-1,
    -0x1.bce8023f98efap-55,
    0x1.fd06b29ddf6dep-1,
    0x1.0f74e61e6c861p-57,
    0x1.fc74518759bc8p-1,
    0x1.0a3e45b33d399p-54,
    0x1.fbe3ecac6f383p-1,
    0x1.79aa65d837b6dp-54,
    0x1.fb5586cf9890fp-1,
    0x1.eb51a92fdeffcp-55,
    0x1.fac922b7247f7p-1,
    0x1.ebe3d702f9cd1p-60,
    0x1.fa3ec32d3d1a2p-1,
    -0x1.a033489906e0bp-57,
    0x1.f9b66affed31bp-1,
    -0x1.556522a2fbd0ep-54,
    0x1.f9301d0125b51p-1,
    -0x1.080ef8c4eea55p-58,
    0x1.f8abdc06c31ccp-1,
    -0x1.1c923b9d5f416p-54,
    0x1.f829aaea92de0p-1,
    0x1.0d3e3e95c55afp-55,
    0x1.f7a98c8a58e51p-1,
    -0x1.01b15eaa59348p-55,
    0x1.f72b83c7d517bp-1,
    -0x1.f1ff055de323dp-55,
    0x1.f6af9388c8deap-1,
    0x1.b898c3f1353bfp-55,
    0x1.f635beb6fcb75p-1,
    -0x1.6d99c7611eb26p-54,
    0x1.f5be084045cd4p-1,
    0x1.aecf73e3a2f60p-54,
    0x1.f54873168b9aap-1,
    -0x1.fe782cb86389dp-55,
    0x1.f4d5022fcd91dp-1,
    0x1.a6f4144a6c38dp-55,
    0x1.f463b88628cd6p-1,
    0x1.07a05b0e4047dp-55,
    0x1.f3f49917ddc96p-1,
    0x1.68efde3a8a894p-54,
    0x1.f387a6e756238p-1,
    0x1.75e18f274487dp-55,
    0x1.f31ce4fb2a63fp-1,
    0x1.0472b981fe7f2p-55,
    0x1.f2b4565e27cddp-1,
    -0x1.6b87b3f71085ep-54,
    0x1.f24dfe1f56381p-1,
    0x1.2f7e16d09ab31p-55,
    0x1.f1e9df51fdee1p-1,
    -0x1.d219b1a6fbffap-60,
    0x1.f187fd0dad990p-1,
    0x1.b3782720c0ab4p-55,
    0x1.f1285a6e4030bp-1,
    0x1.e149289cecb8fp-57,
    0x1.f0cafa93e2f56p-1,
    0x1.34d754db0abb6p-55,
    0x1.f06fe0a31b715p-1,
    0x1.64201e2ac744cp-55,
    0x1.f0170fc4cd831p-1,
    0x1.fdd395dd3f84ap-55,
    0x1.efc08b26416ffp-1,
    -0x1.6a3803b8e5b04p-55,
    0x1.ef6c55f929ff1p-1,
    -0x1.24aedcc4b5068p-54,
    0x1.ef1a7373aa9cbp-1,
    -0x1.907f81b512d8ep-54,
    0x1.eecae6d05d866p-1,
    -0x1.1d1e83e9436d2p-56,
    0x1.ee7db34e59ff7p-1,
    -0x1.91919b3ce1b15p-54,
    0x1.ee32dc313a8e5p-1,
    0x1.59f48a72a4c6dp-55,
    0x1.edea64c123422p-1,
    -0x1.312607a28698ap-54,
    0x1.eda4504ac801cp-1,
    -0x1.8a78f4817895bp-58,
    0x1.ed60a21f72e2ap-1,
    -0x1.c2c9b67499a1bp-56,
    0x1.ed1f5d950a897p-1,
    0x1.363ed60c2ac11p-59,
    0x1.ece086061892dp-1,
    0x1.666093b0664efp-54,
    0x1.eca41ed1d0057p-1,
    0x1.ecce1daa10379p-57,
    0x1.ec6a2b5c13cd0p-1,
    0x1.3ff8e3f0f1230p-54,
    0x1.ec32af0d7d3dep-1,
    0x1.690cebb7aafb0p-56,
    0x1.ebfdad5362a27p-1,
    0x1.31dbdeb54e077p-54,
    0x1.ebcb299fddd0dp-1,
    -0x1.f94340071a38ep-55,
    0x1.eb9b2769d2ca7p-1,
    -0x1.7deccdc93a349p-55,
    0x1.eb6daa2cf6642p-1,
    -0x1.8dec6bd0f385fp-56,
    0x1.eb42b569d4f82p-1,
    -0x1.61246ec7b5cf6p-55,
    0x1.eb1a4ca5d920fp-1,
    0x1.3350518fdd78ep-54,
    0x1.eaf4736b527dap-1,
    0x1.b98b72f8a9b05p-56,
    0x1.ead12d497c7fdp-1,
    0x1.063e1e21c5409p-54,
    0x1.eab07dd485429p-1,
    0x1.4c7855019c6eap-60,
    0x1.ea9268a5946b7p-1,
    0x1.432e62b64c035p-54,
    0x1.ea76f15ad2148p-1,
    -0x1.ce44a6199769fp-55,
    0x1.ea5e1b976dc09p-1,
    -0x1.c33c53bef4da8p-55,
    0x1.ea47eb03a5585p-1,
    -0x1.45378892be9aep-55,
    0x1.ea34634ccc320p-1,
    -0x1.3cedd78565858p-54,
    0x1.ea23882552225p-1,
    0x1.710aa807e1964p-58,
    0x1.ea155d44ca973p-1,
    -0x1.3b3efbf5e2228p-54,
    0x1.ea09e667f3bcdp-1,
    -0x1.a12ad8734b982p-57,
    0x1.ea012750bdabfp-1,
    -0x1.367efb86da9eep-57,
    0x1.e9fb23c651a2fp-1,
    -0x1.0dc3d54e08851p-55,
    0x1.e9f7df9519484p-1,
    -0x1.81f647e5a3ecfp-56,
    0x1.e9f75e8ec5f74p-1,
    -0x1.6ee4ac08b7db0p-55,
    0x1.e9f9a48a58174p-1,
    -0x1.619321e55e68ap-55,
    0x1.e9feb564267c9p-1,
    0x1.09ccb5e09d4d3p-54,
    0x1.ea0694fde5d3fp-1,
    -0x1.b32dcb94da51dp-56,
    0x1.ea11473eb0187p-1,
    0x1.4ecfd5467c06bp-54,
    0x1.ea1ed0130c132p-1,
    0x1.5ebe1abd66c55p-57,
    0x1.ea2f336cf4e62p-1,
    -0x1.8a1c52fb3cf42p-55,
    0x1.ea427543e1a12p-1,
    -0x1.369b6f13b3734p-54,
    0x1.ea589994cce13p-1,
    -0x1.05e843a19ff1ep-55,
    0x1.ea71a4623c7adp-1,
    -0x1.4d450d872576ep-54,
    0x1.ea8d99b4492edp-1,
    0x1.0ad675b0e8a00p-54,
    0x1.eaac7d98a6699p-1,
    0x1.db72fc1f0eab4p-55,
    0x1.eace5422aa0dbp-1,
    -0x1.5b6609cc5e7ffp-57,
    0x1.eaf3216b5448cp-1,
    0x1.bf68359f35f44p-56,
    0x1.eb1ae99157736p-1,
    -0x1.3091fa71e3d83p-54,
    0x1.eb45b0b91ffc6p-1,
    -0x1.da9b88b6c1e29p-58,
    0x1.eb737b0cdc5e5p-1,
    -0x1.c23f97c90b959p-57,
    0x1.eba44cbc8520fp-1,
    -0x1.2434322f4f9aap-54,
    0x1.ebd829fde4e50p-1,
    -0x1.5ca6cd7668e4bp-55,
    0x1.ec0f170ca07bap-1,
    0x1.1affc2b91ce27p-56,
    0x1.ec49182a3f090p-1,
    0x1.dd235e10a73bbp-57,
    0x1.ec86319e32323p-1,
    -0x1.7c50422622263p-55,
    0x1.ecc667b5de565p-1,
    0x1.b1c86e3e231d5p-55,
    0x1.ed09bec4a2d33p-1,
    -0x1.1bbd1d3bcbb15p-54,
    0x1.ed503b23e255dp-1,
    0x1.0cc319cee31d2p-54,
    0x1.ed99e1330b358p-1,
    0x1.469846e735ab3p-55,
    0x1.ede6b5579fdbfp-1,
    -0x1.2dfcd978e9db4p-55,
    0x1.ee36bbfd3f37ap-1,
    0x1.c1a7792cb3387p-55,
    0x1.ee89f995ad3adp-1,
    -0x1.07b8f4ad1d9fap-54,
    0x1.eee07298db666p-1,
    -0x1.5c3d956dcaebap-58,
    0x1.ef3a2b84f15fbp-1,
    -0x1.0a40e3da6f640p-54,
    0x1.ef9728de5593ap-1,
    -0x1.8d6f438ad9334p-57,
    0x1.eff76f2fb5e47p-1,
    -0x1.1eee26b588a35p-54,
    0x1.f05b030a1064ap-1,
    0x1.4ffd70a5fddcdp-56,
    0x1.f0c1e904bc1d2p-1,
    -0x1.1bdfbfa9298acp-54,
    0x1.f12c25bd71e09p-1,
    0x1.36eae30af0cb3p-56,
    0x1.f199bdd85529cp-1,
    0x1.ee3325c9ffd94p-55,
    0x1.f20ab5fffd07ap-1,
    0x1.4e08fd10959acp-55,
    0x1.f27f12e57d14bp-1,
    0x1.3cdaf384e1a67p-57,
    0x1.f2f6d9406e7b5p-1,
    0x1.76b2c6c921968p-57,
    0x1.f3720dcef9069p-1,
    -0x1.08a1883ccb5d2p-55,
    0x1.f3f0b555dc3fap-1,
    -0x1.fad5d3ffffa6fp-55,
    0x1.f472d4a07897cp-1,
    -0x1.00dae3875a949p-54,
    0x1.f4f87080d89f2p-1,
    0x1.4a385a63d07a7p-56,
    0x1.f5818dcfba487p-1,
    -0x1.2919e2040220fp-55,
    0x1.f60e316c98398p-1,
    0x1.e5a50d5c192acp-55,
    0x1.f69e603db3285p-1,
    0x1.43a59ac016b4bp-55,
    0x1.f7321f301b460p-1,
    -0x1.2d52107b43e1fp-55,
    0x1.f7c97337b9b5fp-1,
    -0x1.92ab93b470dc9p-55,
    0x1.f864614f5a129p-1,
    0x1.4b604603a88d3p-56,
    0x1.f902ee78b3ff6p-1,
    0x1.3c5ec519d7271p-55,
    0x1.f9a51fbc74c83p-1,
    -0x1.ff7128fd391f0p-55,
    0x1.fa4afa2a490dap-1,
    -0x1.dae98e223747dp-55,
    0x1.faf482d8e67f1p-1,
    0x1.ec3bc41aa2008p-55,
    0x1.fba1bee615a27p-1,
    0x1.42b94c3a9eb32p-55,
    0x1.fc52b376bba97p-1,
    0x1.a64a931d185eep-55,
    0x1.fd0765b6e4540p-1,
    -0x1.e37bae43be3edp-55,
    0x1.fdbfdad9cbe14p-1,
    0x1.7893b4d91cd9dp-56,
    0x1.fe7c1819e90d8p-1,
    0x1.305c14160cc89p-58,
    0x1.ff3c22b8f71f1p-1,
};

// log: x = 2^k z with z in [0x1.6p-1, 0x1.6p+0), split into 128 intervals.
inline constexpr std::uint64_t kLogOff = 0x3fe6000000000000;
inline constexpr double kLogLn2Hi = 0x1.62e42fefa3800p-1;
inline constexpr double kLogLn2Lo = 0x1.ef35793c76730p-45;
// log1p(r) - r for |r| < 1/256: A0 r^2 + ... + A4 r^6.
inline constexpr double kLogA[5] = {-0x1.0000000000001p-1, 0x1.555555551305bp-2,
                                    -0x1.fffffffeb459p-3, 0x1.999b324f10111p-3,
                                    -0x1.55575e506c89fp-3};
// log1p(r) for x = 1 + r within about 1/16 of 1: r + B0 r^2 + ... + B10 r^12.
inline constexpr double kLogB[11] = {
    -0x1p-1,
    0x1.5555555555577p-2,
    -0x1.ffffffffffdcbp-3,
    0x1.999999995dd0cp-3,
    -0x1.55555556745a7p-3,
    0x1.24924a344de3p-3,
    -0x1.fffffa4423d65p-4,
    0x1.c7184282ad6cap-4,
    -0x1.999eb43b068ffp-4,
    0x1.78182f7afd085p-4,
    -0x1.5521375d145cdp-4,
};
// The near-1 path's range: bits of 1 - 2^-4 up to (excluding) 1 + 0x1.09p-4.
inline constexpr std::uint64_t kLogNearLo = 0x3fee000000000000;
inline constexpr std::uint64_t kLogNearHi = 0x3ff1090000000000;

// Entry 2i: 1/c of interval i; entry 2i+1: log(c).
alignas(64) inline constexpr double kLogTable[256] = {
    0x1.734f0c3e0de9fp+0, -0x1.7cc7f79e69000p-2, 0x1.713786a2ce91fp+0, -0x1.76feec20d0000p-2,
    0x1.6f26008fab5a0p+0, -0x1.713e31351e000p-2, 0x1.6d1a61f138c7dp+0, -0x1.6b85b38287800p-2,
    0x1.6b1490bc5b4d1p+0, -0x1.65d5590807800p-2, 0x1.69147332f0cbap+0, -0x1.602d076180000p-2,
    0x1.6719f18224223p+0, -0x1.5a8ca86909000p-2, 0x1.6524f99a51ed9p+0, -0x1.54f4356035000p-2,
    0x1.63356aa8f24c4p+0, -0x1.4f637c36b4000p-2, 0x1.614b36b9ddc14p+0, -0x1.49da7fda85000p-2,
    0x1.5f66452c65c4cp+0, -0x1.445923989a800p-2, 0x1.5d867b5912c4fp+0, -0x1.3edf439b0b800p-2,
    0x1.5babccb5b90dep+0, -0x1.396ce448f7000p-2, 0x1.59d61f2d91a78p+0, -0x1.3401e17bda000p-2,
    0x1.5805612465687p+0, -0x1.2e9e2ef468000p-2, 0x1.56397cee76bd3p+0, -0x1.2941b3830e000p-2,
    0x1.54725e2a77f93p+0, -0x1.23ec58cda8800p-2, 0x1.52aff42064583p+0, -0x1.1e9e129279000p-2,
    0x1.50f22dbb2bddfp+0, -0x1.1956d2b48f800p-2, 0x1.4f38f4734ded7p+0, -0x1.141679ab9f800p-2,
    0x1.4d843cfde2840p+0, -0x1.0edd094ef9800p-2, 0x1.4bd3ec078a3c8p+0, -0x1.09aa518db1000p-2,
    0x1.4a27fc3e0258ap+0, -0x1.047e65263b800p-2, 0x1.4880524d48434p+0, -0x1.feb224586f000p-3,
    0x1.46dce1b192d0bp+0, -0x1.f474a7517b000p-3, 0x1.453d9d3391854p+0, -0x1.ea4443d103000p-3,
    0x1.43a2744b4845ap+0, -0x1.e020d44e9b000p-3, 0x1.420b54115f8fbp+0, -0x1.d60a22977f000p-3,
    0x1.40782da3ef4b1p+0, -0x1.cc00104959000p-3, 0x1.3ee8f5d57fe8fp+0, -0x1.c202956891000p-3,
    0x1.3d5d9a00b4ce9p+0, -0x1.b81178d811000p-3, 0x1.3bd60c010c12bp+0, -0x1.ae2c9ccd3d000p-3,
    0x1.3a5242b75dab8p+0, -0x1.a45402e129000p-3, 0x1.38d22cd9fd002p+0, -0x1.9a877681df000p-3,
    0x1.3755bc5847a1cp+0, -0x1.90c6d69483000p-3, 0x1.35dce49ad36e2p+0, -0x1.87120a645c000p-3,
    0x1.34679984dd440p+0, -0x1.7d68fb4143000p-3, 0x1.32f5cceffcb24p+0, -0x1.73cb83c627000p-3,
    0x1.3187775a10d49p+0, -0x1.6a39a9b376000p-3, 0x1.301c8373e3990p+0, -0x1.60b3154b7a000p-3,
    0x1.2eb4ebb95f841p+0, -0x1.5737d76243000p-3, 0x1.2d50a0219a9d1p+0, -0x1.4dc7b8fc23000p-3,
    0x1.2bef9a8b7fd2ap+0, -0x1.4462c51d20000p-3, 0x1.2a91c7a0c1babp+0, -0x1.3b08abc830000p-3,
    0x1.293726014b530p+0, -0x1.31b996b490000p-3, 0x1.27dfa5757a1f5p+0, -0x1.2875490a44000p-3,
    0x1.268b39b1d3bbfp+0, -0x1.1f3b9f879a000p-3, 0x1.2539d838ff5bdp+0, -0x1.160c8252ca000p-3,
    0x1.23eb7aac9083bp+0, -0x1.0ce7f57f72000p-3, 0x1.22a012ba940b6p+0, -0x1.03cdc49fea000p-3,
    0x1.2157996cc4132p+0, -0x1.f57bdbc4b8000p-4, 0x1.201201dd2fc9bp+0, -0x1.e370896404000p-4,
    0x1.1ecf4494d480bp+0, -0x1.d17983ef94000p-4, 0x1.1d8f5528f6569p+0, -0x1.bf9674ed8a000p-4,
    0x1.1c52311577e7cp+0, -0x1.adc79202f6000p-4, 0x1.1b17c74cb26e9p+0, -0x1.9c0c3e7288000p-4,
    0x1.19e010c2c1ab6p+0, -0x1.8a646b372c000p-4, 0x1.18ab07bb670bdp+0, -0x1.78d01b3ac0000p-4,
    0x1.1778a25efbcb6p+0, -0x1.674f145380000p-4, 0x1.1648d354c31dap+0, -0x1.55e0e6d878000p-4,
    0x1.151b990275fddp+0, -0x1.4485cdea1e000p-4, 0x1.13f0ea432d24cp+0, -0x1.333d94d6aa000p-4,
    0x1.12c8b7210f9dap+0, -0x1.22079f8c56000p-4, 0x1.11a3028ecb531p+0, -0x1.10e4698622000p-4,
    0x1.107fbda8434afp+0, -0x1.ffa6c6ad20000p-5, 0x1.0f5ee0f4e6bb3p+0, -0x1.dda8d4a774000p-5,
    0x1.0e4065d2a9fcep+0, -0x1.bbcece4850000p-5, 0x1.0d244632ca521p+0, -0x1.9a1894012c000p-5,
    0x1.0c0a77ce2981ap+0, -0x1.788583302c000p-5, 0x1.0af2f83c636d1p+0, -0x1.5715e67d68000p-5,
    0x1.09ddb98a01339p+0, -0x1.35c8a49658000p-5, 0x1.08cabaf52e7dfp+0, -0x1.149e364154000p-5,
    0x1.07b9f2f4e28fbp+0, -0x1.e72c082eb8000p-6, 0x1.06ab58c358f19p+0, -0x1.a55f152528000p-6,
    0x1.059eea5ecf92cp+0, -0x1.63d62cf818000p-6, 0x1.04949cdd12c90p+0, -0x1.228fb8caa0000p-6,
    0x1.038c6c6f0ada9p+0, -0x1.c317b20f90000p-7, 0x1.02865137932a9p+0, -0x1.419355daa0000p-7,
    0x1.0182427ea7348p+0, -0x1.81203c2ec0000p-8, 0x1.008040614b195p+0, -0x1.0040979240000p-9,
    0x1.fe01ff726fa1ap-1, 0x1.feff384900000p-9,  0x1.fa11cc261ea74p-1, 0x1.7dc41353d0000p-7,
    0x1.f6310b081992ep-1, 0x1.3cea3c4c28000p-6,  0x1.f25f63ceeadcdp-1, 0x1.b9fc114890000p-6,
    0x1.ee9c8039113e7p-1, 0x1.1b0d8ce110000p-5,  0x1.eae8078cbb1abp-1, 0x1.58a5bd001c000p-5,
    0x1.e741aa29d0c9bp-1, 0x1.95c8340d88000p-5,  0x1.e3a91830a99b5p-1, 0x1.d276aef578000p-5,
    0x1.e01e009609a56p-1, 0x1.07598e598c000p-4,  0x1.dca01e577bb98p-1, 0x1.253f5e30d2000p-4,
    0x1.d92f20b7c9103p-1, 0x1.42edd8b380000p-4,  0x1.d5cac66fb5ccep-1, 0x1.606598757c000p-4,
    0x1.d272caa5ede9dp-1, 0x1.7da76356a0000p-4,  0x1.cf26e3e6b2ccdp-1, 0x1.9ab434e1c6000p-4,
    0x1.cbe6da2a77902p-1, 0x1.b78c7bb0d6000p-4,  0x1.c8b266d37086dp-1, 0x1.d431332e72000p-4,
    0x1.c5894bd5d5804p-1, 0x1.f0a3171de6000p-4,  0x1.c26b533bb9f8cp-1, 0x1.067152b914000p-3,
    0x1.bf583eeece73fp-1, 0x1.147858292b000p-3,  0x1.bc4fd75db96c1p-1, 0x1.2266ecdca3000p-3,
    0x1.b951e0c864a28p-1, 0x1.303d7a6c55000p-3,  0x1.b65e2c5ef3e2cp-1, 0x1.3dfc33c331000p-3,
    0x1.b374867c9888bp-1, 0x1.4ba366b7a8000p-3,  0x1.b094b211d304ap-1, 0x1.5933928d1f000p-3,
    0x1.adbe885f2ef7ep-1, 0x1.66acd2418f000p-3,  0x1.aaf1d31603da2p-1, 0x1.740f8ec669000p-3,
    0x1.a82e63fd358a7p-1, 0x1.815c0f51af000p-3,  0x1.a5740ef09738bp-1, 0x1.8e92954f68000p-3,
    0x1.a2c2a90ab4b27p-1, 0x1.9bb3602f84000p-3,  0x1.a01a01393f2d1p-1, 0x1.a8bed1c2c0000p-3,
    0x1.9d79f24db3c1bp-1, 0x1.b5b515c01d000p-3,  0x1.9ae2505c7b190p-1, 0x1.c2967ccbcc000p-3,
    0x1.9852ef297ce2fp-1, 0x1.cf635d5486000p-3,  0x1.95cbaeea44b75p-1, 0x1.dc1bd3446c000p-3,
    0x1.934c69de74838p-1, 0x1.e8c01b8cfe000p-3,  0x1.90d4f2f6752e6p-1, 0x1.f5509c0179000p-3,
    0x1.8e6528effd79dp-1, 0x1.00e6c121fb800p-2,  0x1.8bfce9fcc007cp-1, 0x1.071b80e93d000p-2,
    0x1.899c0dabec30ep-1, 0x1.0d46b9e867000p-2,  0x1.87427aa2317fbp-1, 0x1.13687334bd000p-2,
    0x1.84f00acb39a08p-1, 0x1.1980d67234800p-2,  0x1.82a49e8653e55p-1, 0x1.1f8ffe0cc8000p-2,
    0x1.8060195f40260p-1, 0x1.2595fd7636800p-2,  0x1.7e22563e0a329p-1, 0x1.2b9300914a800p-2,
    0x1.7beb377dcb5adp-1, 0x1.3187210436000p-2,  0x1.79baa679725c2p-1, 0x1.377266dec1800p-2,
    0x1.77907f2170657p-1, 0x1.3d54ffbaf3000p-2,  0x1.756cadbd6130cp-1, 0x1.432eee32fe000p-2,
};

// Arguments on which the same algorithm without fused multiply-adds gives
// other bits than the platform (found by tools/vector_math_identity.cpp
// --fma-sensitive): the self-check fails on a build that loses the fusion.
inline constexpr double kExpFmaSensitive[] = {
    0x1.678f896bc48fp+8,   -0x1.06595930beb57p+8, 0x1.9590618cf546cp+7,  0x1.ce181f292e53p+6,
    0x1.7f395144e2ep+7,    -0x1.216b402c538a1p+8, -0x1.70f8ebae56728p+6, 0x1.ff5d0d0a5301p+7,
    -0x1.a462e57cc7b74p+7, -0x1.e03ee83fe36p+5,   0x1.c7507892a715p+8,   0x1.63800c59e0ce8p+8,
    -0x1.0e71aea3ab39ep+8, 0x1.7b22f65f010a8p+7,  0x1.051898f676172p+8,  0x1.7857094898258p+8,
    -0x1.55cc49e0d02ccp+7, 0x1.2da476a7edf6p+4,   -0x1.57fecdee4676cp+8, -0x1.ebeef7a043754p+7,
    -0x1.426151d3288fep+8, 0x1.867ed5c9c4fb8p+7,  -0x1.fcce8530c828ep+8, -0x1.b416d281f9961p+8,
    0x1.e64b33e91a45p+6,   -0x1.3fb08d8c8a5cdp+8, 0x1.eda2013c55fcp+6,   -0x1.149f82d67444p+7,
    0x1.4d5cd15581d98p+8,  0x1.c0362c370dfd4p+7,  -0x1.683bee86c9018p+6, 0x1.733b2b9f0a7ccp+8,
};
inline constexpr double kLogFmaSensitive[] = {
    0x1.5741bfb41022bp+9, 0x1.81e058174b431p+6, 0x1.51e29ed7dcdcbp-1, 0x1.64da825cf8531p+9,
    0x1.2de3efa675361p+9, 0x1.a358e0b3c03adp+4, 0x1.711a3e7aa7dd5p+7, 0x1.3179f1731aa2bp+9,
    0x1.0a6b8ec1950bbp+9, 0x1.4bf1326f2feecp+9, 0x1.efdefc4580547p+9, 0x1.b926b72c9c362p+9,
    0x1.e912a656b35ep+9,  0x1.04d7da895186ep+9, 0x1.ef54957e7bdacp+9, 0x1.eba223d59a53dp+9,
    0x1.0bb96f5841488p+0, 0x1.0c23abd5f0929p+0, 0x1.e5b37ccbe0deap-1, 0x1.1001cd9dcc66bp+0,
    0x1.1016fa7749f39p+0, 0x1.0fa3322fb7188p+0, 0x1.109007eb71a79p+0, 0x1.10902284f58b3p+0,
    0x1.10900eb7a6e9cp+0, 0x1.efdcd89c7d52fp-1, 0x1.0ed591b309492p+0, 0x1.0cd82dcc1c8c6p+0,
    0x1.109017162cd6ap+0, 0x1.1090256e5e56bp+0, 0x1.05a754e37ebd3p+0, 0x1.e23a8d3d44328p-1,
};
}  // namespace vector_math_data

inline namespace KV_TARGET {
inline namespace KV_VECTOR_MATH_TARGET {

// Raw vector types of N lanes: the same types as VectorTypes<N> in lanes.hpp
// (vector types are equal by element and size), also for N = 8.
template <int N>
struct VectorMath;
#define KV_VECTOR_MATH_TYPES(N)                                     \
  template <>                                                       \
  struct VectorMath<N> {                                            \
    typedef double Vec __attribute__((vector_size(N * 8)));         \
    typedef std::uint64_t Bits __attribute__((vector_size(N * 8))); \
    typedef std::int64_t Mask __attribute__((vector_size(N * 8)));  \
  };
KV_VECTOR_MATH_TYPES(2)
KV_VECTOR_MATH_TYPES(4)
KV_VECTOR_MATH_TYPES(8)
#undef KV_VECTOR_MATH_TYPES
static_assert(std::is_same_v<VectorMath<2>::Vec, VectorTypes<2>::Vec>);
static_assert(std::is_same_v<VectorMath<4>::Vec, VectorTypes<4>::Vec>);

// The widest vector this unit's target computes in registers.
#if defined(__AVX512F__)
inline constexpr int kVectorMathWidth = 8;
#elif defined(__AVX__)
inline constexpr int kVectorMathWidth = 4;
#else
inline constexpr int kVectorMathWidth = 2;
#endif

namespace vector_math_detail {

template <int N>
using Vec = typename VectorMath<N>::Vec;
template <int N>
using Bits = typename VectorMath<N>::Bits;
template <int N>
using Mask = typename VectorMath<N>::Mask;

template <int N>
KV_INLINE Vec<N> Splat(double x) {
  return Vec<N>{} + x;
}

template <int N>
KV_INLINE Bits<N> AsBits(Vec<N> x) {
  return (Bits<N>)x;
}

template <int N>
KV_INLINE Vec<N> AsDouble(Bits<N> x) {
  return (Vec<N>)x;
}

KV_INLINE std::uint64_t AsBits(double x) {
  std::uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

KV_INLINE double AsDouble(std::uint64_t b) {
  double x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

// a*b + c rounded once.
template <int N>
KV_INLINE Vec<N> Fma(Vec<N> a, Vec<N> b, Vec<N> c) {
#if defined(__FMA__)
  if constexpr (N == 2) return (Vec<N>)_mm_fmadd_pd((__m128d)a, (__m128d)b, (__m128d)c);
  if constexpr (N == 4) return (Vec<N>)_mm256_fmadd_pd((__m256d)a, (__m256d)b, (__m256d)c);
#endif
#if defined(__AVX512F__)
  if constexpr (N == 8) return (Vec<N>)_mm512_fmadd_pd((__m512d)a, (__m512d)b, (__m512d)c);
#endif
  Vec<N> out = c;
  for (int i = 0; i < N; ++i) out[i] = std::fma(a[i], b[i], c[i]);
  return out;
}

// Whether any lane of a comparison result is set.
template <int N>
KV_INLINE bool AnyLane(Mask<N> m) {
#if defined(__SSE2__)
  if constexpr (N == 2) return _mm_movemask_pd((__m128d)m) != 0;
#endif
#if defined(__AVX__)
  if constexpr (N == 4) return _mm256_movemask_pd((__m256d)m) != 0;
#endif
#if defined(__AVX512F__)
  if constexpr (N == 8) return _mm512_test_epi64_mask((__m512i)m, (__m512i)m) != 0;
#endif
  std::int64_t any = 0;
  for (int i = 0; i < N; ++i) any |= m[i];
  return any != 0;
}

// table[index[i]] in lane i.
template <int N>
KV_INLINE Vec<N> Gather(const double* table, Bits<N> index) {
#if defined(__AVX2__)
  if constexpr (N == 2) return (Vec<N>)_mm_i64gather_pd(table, (__m128i)index, 8);
  if constexpr (N == 4) return (Vec<N>)_mm256_i64gather_pd(table, (__m256i)index, 8);
#endif
#if defined(__AVX512F__)
  // The masked form: the plain one trips GCC 12's uninitialised-value warning.
  if constexpr (N == 8) {
    return (Vec<N>)_mm512_mask_i64gather_pd(_mm512_setzero_pd(), 0xff, (__m512i)index, table, 8);
  }
#endif
  if constexpr (N == 2) {
    return Vec<N>{table[index[0]], table[index[1]]};
  } else if constexpr (N == 4) {
    return Vec<N>{table[index[0]], table[index[1]], table[index[2]], table[index[3]]};
  } else {
    return Vec<N>{table[index[0]], table[index[1]], table[index[2]], table[index[3]],
                  table[index[4]], table[index[5]], table[index[6]], table[index[7]]};
  }
}

// table[index[i]] and table[index[i] + 1] in lane i of first and second: one
// 16-byte load per lane, the pairs then regrouped. Two gathers of the same
// lanes cost more than these loads on the processors measured.
template <int N>
KV_INLINE void GatherPairs(const double* table, Bits<N> index, Vec<N>& first, Vec<N>& second) {
  typedef double Pair __attribute__((vector_size(16)));
  const auto pair = [&](int i) {
    Pair p;
    std::memcpy(&p, table + index[i], sizeof p);
    return p;
  };
  if constexpr (N == 2) {
    const Pair a = pair(0), b = pair(1);
    first = __builtin_shufflevector(a, b, 0, 2);
    second = __builtin_shufflevector(a, b, 1, 3);
  } else if constexpr (N == 4) {
    typedef double Quad __attribute__((vector_size(32)));
    const Quad ac = __builtin_shufflevector(pair(0), pair(2), 0, 1, 2, 3);
    const Quad bd = __builtin_shufflevector(pair(1), pair(3), 0, 1, 2, 3);
    first = __builtin_shufflevector(ac, bd, 0, 4, 2, 6);
    second = __builtin_shufflevector(ac, bd, 1, 5, 3, 7);
  } else {
    static_assert(N == 8);
    typedef double Quad __attribute__((vector_size(32)));
    typedef double Oct __attribute__((vector_size(64)));
    const Quad ac = __builtin_shufflevector(pair(0), pair(2), 0, 1, 2, 3);
    const Quad bd = __builtin_shufflevector(pair(1), pair(3), 0, 1, 2, 3);
    const Quad eg = __builtin_shufflevector(pair(4), pair(6), 0, 1, 2, 3);
    const Quad fh = __builtin_shufflevector(pair(5), pair(7), 0, 1, 2, 3);
    const Oct aceg = __builtin_shufflevector(ac, eg, 0, 1, 2, 3, 4, 5, 6, 7);
    const Oct bdfh = __builtin_shufflevector(bd, fh, 0, 1, 2, 3, 4, 5, 6, 7);
    first = __builtin_shufflevector(aceg, bdfh, 0, 8, 2, 10, 4, 12, 6, 14);
    second = __builtin_shufflevector(aceg, bdfh, 1, 9, 3, 11, 5, 13, 7, 15);
  }
}

// exp for 512 <= |x| < 1024 and beyond, one lane: tmp and sbits are the fast
// path's. There the platform scales 2^(k/128) into range before the final
// step: by 2^-1009 when k > 0 (with a fused final step), by 2^1022 when k < 0
// (unfused, and with extra rounding care when the result is subnormal, which
// is left to std::exp here, as is every non-finite result).
KV_INLINE double ExpLargeLane(double x, double tmp, std::uint64_t sbits) {
  const std::uint64_t abstop = (AsBits(x) >> 52) & 0x7ff;
  if (abstop < 0x409) {
    if (x > 0) {
      const double scale = AsDouble(sbits - (1009ull << 52));
      const double y = std::fma(scale, tmp, scale) * 0x1p1009;
      if (y < std::numeric_limits<double>::infinity()) return y;
    } else {
      const double scale = AsDouble(sbits + (1022ull << 52));
      // Unfused here; the volatile keeps a contracting build from fusing it.
      const volatile double product = scale * tmp;
      const double y = scale + product;
      if (y >= 1.0) return y * 0x1p-1022;
    }
  }
  return std::exp(x);
}

// The lanes of y that `large` marks, recomputed. Out of line and by
// reference: inlined, its lane loop would cost the common call spills.
template <int N>
[[gnu::noinline, gnu::cold]] inline void ExpLargeLanes(const Vec<N>& x, const Vec<N>& tmp,
                                                       const Bits<N>& sbits, const Mask<N>& large,
                                                       Vec<N>& y) {
  for (int i = 0; i < N; ++i) {
    if (large[i]) y[i] = ExpLargeLane(x[i], tmp[i], sbits[i]);
  }
}

// log of the lanes that `special` marks, by the platform's function.
template <int N>
[[gnu::noinline, gnu::cold]] inline void LogSpecialLanes(const Vec<N>& x, const Mask<N>& special,
                                                         Vec<N>& y) {
  for (int i = 0; i < N; ++i) {
    if (special[i]) y[i] = std::log(x[i]);
  }
}

// Fused is false only to show which arguments a build without fused
// multiply-adds would get wrong (the identity tool's use).
template <int N, bool Fused = true>
KV_INLINE Vec<N> MulAdd(Vec<N> a, Vec<N> b, Vec<N> c) {
  if constexpr (Fused) {
    return Fma<N>(a, b, c);
  } else {
    return a * b + c;
  }
}

template <int N, bool Fused = true>
KV_INLINE Vec<N> Exp(Vec<N> x) {
  namespace d = vector_math_data;
  const auto splat = [](double v) { return Splat<N>(v); };
  const auto fma = [](Vec<N> a, Vec<N> b, Vec<N> c) { return MulAdd<N, Fused>(a, b, c); };
  const Bits<N> ix = AsBits<N>(x);
  const Bits<N> abstop = (ix >> 52) & 0x7ff;

  // k = round(x * 128/ln2), kept in the low bits of kd_shifted.
  const Vec<N> kd_shifted = fma(x, splat(d::kExpInvLn2N), splat(d::kExpShift));
  const Bits<N> ki = AsBits<N>(kd_shifted);
  const Vec<N> kd = kd_shifted - d::kExpShift;
  Vec<N> r = fma(kd, splat(d::kExpNegLn2HiN), x);
  r = fma(kd, splat(d::kExpNegLn2LoN), r);

  const Bits<N> index = (ki & 127) * 2;
  Vec<N> tail, high;
  GatherPairs<N>(d::kExpTable, index, tail, high);
  const Bits<N> sbits = AsBits<N>(high) + (ki << 45);

  // tmp = tail + exp(r) - 1
  const Vec<N> r2 = r * r;
  const Vec<N> low = fma(r2, fma(r, splat(d::kExpC3), splat(d::kExpC2)), tail + r);
  const Vec<N> tmp = fma(r2 * r2, fma(r, splat(d::kExpC5), splat(d::kExpC4)), low);
  const Vec<N> scale = AsDouble<N>(sbits);
  Vec<N> y = fma(scale, tmp, scale);

  // Below 2^-54 the platform returns 1 + x, rounded.
  y = (Mask<N>)(abstop < 0x3c9) ? 1.0 + x : y;
  const Mask<N> large = (Mask<N>)(abstop >= 0x408);
  if (AnyLane<N>(large)) [[unlikely]]
    ExpLargeLanes<N>(x, tmp, sbits, large, y);
  return y;
}

// log(x) for x within about 1/16 of 1: the degree-12 polynomial in r = x - 1,
// with r^2/2 taken exactly from a split r = rhi + rlo.
template <int N, bool Fused = true>
KV_INLINE Vec<N> LogNearOne(Vec<N> x) {
  namespace d = vector_math_data;
  const auto splat = [](double v) { return Splat<N>(v); };
  const auto fma = [](Vec<N> a, Vec<N> b, Vec<N> c) { return MulAdd<N, Fused>(a, b, c); };
  const Vec<N> r = x - 1.0;
  const Vec<N> r2 = r * r;
  const Vec<N> r3 = r * r2;
  const auto b = [&](int i) { return splat(d::kLogB[i]); };
  Vec<N> p = fma(r2, b(9), fma(r, b(8), b(7)));
  p = fma(r3, b(10), p);
  p = fma(p, r3, fma(r2, b(6), fma(r, b(5), b(4))));
  p = fma(p, r3, fma(r2, b(3), fma(r, b(2), b(1))));

  const Vec<N> two27 = splat(0x1p27);
  const Vec<N> rhi = fma(-r, two27, fma(r, two27, r));
  const Vec<N> rlo = r - rhi;
  const Vec<N> rhi2 = rhi * rhi;
  const Vec<N> hi = fma(rhi2, b(0), r);
  Vec<N> lo = fma(rhi2, b(0), r - hi);
  lo = fma(b(0) * rlo, r + rhi, lo);
  return fma(p, r3, lo) + hi;
}

template <int N, bool Fused = true>
KV_INLINE Vec<N> Log(Vec<N> x) {
  namespace d = vector_math_data;
  const auto splat = [](double v) { return Splat<N>(v); };
  const auto fma = [](Vec<N> a, Vec<N> b, Vec<N> c) { return MulAdd<N, Fused>(a, b, c); };
  const Bits<N> ix = AsBits<N>(x);

  // x = 2^k z, z in [0x1.6p-1, 0x1.6p+0): interval i of z, exponent k.
  const Bits<N> tmp = ix - d::kLogOff;
  const Bits<N> index = ((tmp >> 45) & 127) * 2;
  const Bits<N> k = (Bits<N>)((Mask<N>)tmp >> 52);
  const Vec<N> z = AsDouble<N>(ix - (tmp & 0xfff0000000000000));
  // (double)k, exact: k sits in the low bits of 1.5*2^52.
  const Vec<N> kd = AsDouble<N>(AsBits<N>(splat(0x1.8p52)) + k) - 0x1.8p52;
  Vec<N> invc, logc;
  GatherPairs<N>(d::kLogTable, index, invc, logc);

  // log(x) = k ln2 + log(c) + log1p(r), r = z/c - 1, as hi + lo + poly.
  const Vec<N> r = fma(z, invc, splat(-1.0));
  const Vec<N> w = fma(kd, splat(d::kLogLn2Hi), logc);
  const Vec<N> hi = w + r;
  const Vec<N> lo = fma(kd, splat(d::kLogLn2Lo), w - hi + r);
  const Vec<N> r2 = r * r;
  const Vec<N> r3 = r * r2;
  const auto a = [&](int i) { return splat(d::kLogA[i]); };
  const Vec<N> p = fma(fma(r, a(4), a(3)), r2, fma(r, a(2), a(1)));
  Vec<N> y = fma(r3, p, fma(r2, a(0), lo)) + hi;

  const Mask<N> near = (Mask<N>)(ix - d::kLogNearLo < d::kLogNearHi - d::kLogNearLo);
  if (AnyLane<N>(near)) y = near ? LogNearOne<N, Fused>(x) : y;
  // Zero, negative, subnormal, infinite and NaN arguments.
  const Mask<N> special = (Mask<N>)((ix >> 48) - 0x10 >= 0x7ff0 - 0x10);
  if (AnyLane<N>(special)) [[unlikely]]
    LogSpecialLanes<N>(x, special, y);
  return y;
}

}  // namespace vector_math_detail

// ---- the interface ------------------------------------------------------------

template <int N>
KV_INLINE Lanes<N> VectorExp(const Lanes<N>& x) {
  return {vector_math_detail::Exp<N>(x.v)};
}

template <int N>
KV_INLINE Lanes<N> VectorLog(const Lanes<N>& x) {
  return {vector_math_detail::Log<N>(x.v)};
}

// Raw vectors, for each width this unit's target holds in registers (a wider
// vector would be passed differently from how the target passes it).
KV_INLINE VectorMath<2>::Vec VectorExp(VectorMath<2>::Vec x) {
  return vector_math_detail::Exp<2>(x);
}
KV_INLINE VectorMath<2>::Vec VectorLog(VectorMath<2>::Vec x) {
  return vector_math_detail::Log<2>(x);
}
#if defined(__AVX__)
KV_INLINE VectorMath<4>::Vec VectorExp(VectorMath<4>::Vec x) {
  return vector_math_detail::Exp<4>(x);
}
KV_INLINE VectorMath<4>::Vec VectorLog(VectorMath<4>::Vec x) {
  return vector_math_detail::Log<4>(x);
}
#endif
#if defined(__AVX512F__)
KV_INLINE VectorMath<8>::Vec VectorExp(VectorMath<8>::Vec x) {
  return vector_math_detail::Exp<8>(x);
}
KV_INLINE VectorMath<8>::Vec VectorLog(VectorMath<8>::Vec x) {
  return vector_math_detail::Log<8>(x);
}
#endif

namespace vector_math_detail {

// Appends x and its n neighbours on either side (in ulps) to a battery.
struct Battery {
  static constexpr int kCapacity = 2048;
  double x[kCapacity];
  int count = 0;

  void Add(double v) {
    if (count < kCapacity) x[count++] = v;
  }
  void AddWithNeighbours(double v, int n) {
    const std::uint64_t b = AsBits(v);
    for (int i = -n; i <= n; ++i) Add(AsDouble(b + i));
  }
};

// A fixed pseudo-random sequence (xorshift64*), the same on every run.
struct Sequence {
  std::uint64_t state;
  std::uint64_t Next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545f4914f6cdd1dull;
  }
  double Uniform(double lo, double hi) {
    return lo + (hi - lo) * static_cast<double>(Next() >> 11) * 0x1p-53;
  }
};

inline void AddSpecialValues(Battery& b) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  for (double v :
       {0.0, -0.0, inf, -inf, __builtin_nan(""), -__builtin_nan(""), 0x1p-1022, 0x1p-1074,
        -0x1p-1074, 0x1.fffffffffffffp+1023, -0x1.fffffffffffffp+1023, 1.0, -1.0}) {
    b.Add(v);
  }
}

inline void FillExpBattery(Battery& b) {
  namespace d = vector_math_data;
  for (double v : d::kExpFmaSensitive) b.Add(v);
  AddSpecialValues(b);
  // The fast path's edges: 1 + x below 2^-54, scaled steps from 512, the
  // subnormal and overflow thresholds, the end at 1024.
  for (double v : {0x1p-54, -0x1p-54, 512.0, -512.0, 1024.0, -1024.0, 0x1.62e42fefa39efp+9,
                   -0x1.6232bdd7abcd2p+9, -0x1.74910d52d3051p+9}) {
    b.AddWithNeighbours(v, 2);
  }
  // Where round(x * 128/ln2) steps: (j + 1/2) ln2/128, and the table points.
  for (int j = -200; j <= 200; j += 3) {
    b.AddWithNeighbours((j + 0.5) * 0x1.62e42fefa39efp-8, 1);
    b.Add(j * 0x1.62e42fefa39efp-8);
  }
  for (int n = -40; n <= 40; ++n) b.Add(n * 0.5);
  Sequence s{0x9e3779b97f4a7c15ull};
  while (b.count < Battery::kCapacity - 256) b.Add(s.Uniform(-745.0, 710.0));
  while (b.count < Battery::kCapacity) b.Add(s.Uniform(-1.0, 1.0) * 0x1p-20);
}

inline void FillLogBattery(Battery& b) {
  namespace d = vector_math_data;
  for (double v : d::kLogFmaSensitive) b.Add(v);
  AddSpecialValues(b);
  // The near-1 path's edges and the values just around 1.
  b.AddWithNeighbours(AsDouble(d::kLogNearLo), 2);
  b.AddWithNeighbours(AsDouble(d::kLogNearHi), 2);
  b.AddWithNeighbours(1.0, 40);
  b.AddWithNeighbours(0x1.fffffffffffffp+1023, 0);
  // Interval edges of the table, in a few binades.
  for (int e : {-1020, -3, 0, 1, 7, 600}) {
    for (std::uint64_t i = 0; i < 128; i += 5) {
      b.AddWithNeighbours(AsDouble(d::kLogOff + (std::uint64_t(e) << 52) + (i << 45)), 1);
    }
  }
  for (int n = 1; n <= 40; ++n) b.Add(n * 0.5);
  Sequence s{0xd1b54a32d192ed03ull};
  while (b.count < Battery::kCapacity - 512) b.Add(s.Uniform(0.9375, 1.0664));
  while (b.count < Battery::kCapacity - 256) b.Add(AsDouble(s.Next() & 0x7fefffffffffffffull));
  while (b.count < Battery::kCapacity) b.Add(s.Uniform(0.0, 4.0));
}

// Whether f gives the platform function's bits on every battery argument.
template <int N, class Vector, class Scalar>
bool BatteryMatches(const Battery& b, Vector vector_fn, Scalar scalar_fn) {
  for (int start = 0; start + N <= b.count; start += N) {
    Vec<N> x;
    for (int i = 0; i < N; ++i) x[i] = b.x[start + i];
    const Vec<N> y = vector_fn(x);
    for (int i = 0; i < N; ++i) {
      if (AsBits(y[i]) != AsBits(scalar_fn(x[i]))) return false;
    }
  }
  return true;
}

}  // namespace vector_math_detail

// The self-check: VectorExp and VectorLog at this unit's widest vector against
// the running process's std::exp and std::log on a fixed battery of 4096
// arguments (arguments on which a build without fused multiply-adds differs,
// special values, the fast paths' edges, table boundaries, values near 1,
// pseudo-random values). True only if every bit matches; takes tens of
// microseconds, so call it once and keep the answer.
// Out of line: the kernels inline everything they call, and this runs once.
// The battery (16 KiB) lives on the heap, so that the check's frame stays
// small on whatever stack first asks for it (a thread may have 32 KiB); where
// it cannot be allocated the answer is false, and the platform functions,
// exact by definition, serve.
[[gnu::noinline, gnu::cold]] inline bool VectorMathMatchesPlatform() {
  namespace detail = vector_math_detail;
  constexpr int N = kVectorMathWidth;
  detail::Battery* const battery = new (std::nothrow) detail::Battery;
  if (battery == nullptr) return false;
  detail::FillExpBattery(*battery);
  const bool exp_ok = detail::BatteryMatches<N>(
      *battery, [](detail::Vec<N> x) { return detail::Exp<N>(x); },
      [](double x) { return std::exp(x); });
  battery->count = 0;
  detail::FillLogBattery(*battery);
  const bool log_ok = detail::BatteryMatches<N>(
      *battery, [](detail::Vec<N> x) { return detail::Log<N>(x); },
      [](double x) { return std::log(x); });
  delete battery;
  return exp_ok && log_ok;
}
}  // namespace KV_VECTOR_MATH_TARGET
}  // namespace KV_TARGET
}  // namespace kv
