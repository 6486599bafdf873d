// Stands in for what Wine 8's math.h lacks of the Universal C Runtime's: the long double
// functions (long double is double on this ABI), float_t and double_t, and the classification
// functions as C++ overloads in place of Wine's macros.
#pragma once
#include_next <math.h>

#undef fpclassify
#undef signbit
#undef isinf
#undef isnan
#undef isnormal
#undef isfinite
#undef isgreater
#undef isgreaterequal
#undef isless
#undef islessequal
#undef islessgreater
#undef isunordered

typedef float float_t;
typedef double double_t;

#ifdef __cplusplus
extern "C" {
#endif
double __cdecl erfc(double);
float __cdecl erfcf(float);
double __cdecl fma(double, double, double);
float __cdecl fmaf(float, float, float);
double __cdecl nan(const char*);
float __cdecl nanf(const char*);
double __cdecl nexttoward(double, long double);
float __cdecl nexttowardf(float, long double);
static inline long double acosl(long double x) {
  return acos((double)x);
}
static inline long double asinl(long double x) {
  return asin((double)x);
}
static inline long double atanl(long double x) {
  return atan((double)x);
}
static inline long double ceill(long double x) {
  return ceil((double)x);
}
static inline long double cosl(long double x) {
  return cos((double)x);
}
static inline long double coshl(long double x) {
  return cosh((double)x);
}
static inline long double expl(long double x) {
  return exp((double)x);
}
static inline long double fabsl(long double x) {
  return fabs((double)x);
}
static inline long double floorl(long double x) {
  return floor((double)x);
}
static inline long double logl(long double x) {
  return log((double)x);
}
static inline long double log10l(long double x) {
  return log10((double)x);
}
static inline long double sinl(long double x) {
  return sin((double)x);
}
static inline long double sinhl(long double x) {
  return sinh((double)x);
}
static inline long double sqrtl(long double x) {
  return sqrt((double)x);
}
static inline long double tanl(long double x) {
  return tan((double)x);
}
static inline long double tanhl(long double x) {
  return tanh((double)x);
}
static inline long double acoshl(long double x) {
  return acosh((double)x);
}
static inline long double asinhl(long double x) {
  return asinh((double)x);
}
static inline long double atanhl(long double x) {
  return atanh((double)x);
}
static inline long double cbrtl(long double x) {
  return cbrt((double)x);
}
static inline long double erfl(long double x) {
  return erf((double)x);
}
static inline long double erfcl(long double x) {
  return erfc((double)x);
}
static inline long double exp2l(long double x) {
  return exp2((double)x);
}
static inline long double expm1l(long double x) {
  return expm1((double)x);
}
static inline long double lgammal(long double x) {
  return lgamma((double)x);
}
static inline long double log1pl(long double x) {
  return log1p((double)x);
}
static inline long double log2l(long double x) {
  return log2((double)x);
}
static inline long double logbl(long double x) {
  return logb((double)x);
}
static inline long double nearbyintl(long double x) {
  return nearbyint((double)x);
}
static inline long double rintl(long double x) {
  return rint((double)x);
}
static inline long double roundl(long double x) {
  return round((double)x);
}
static inline long double tgammal(long double x) {
  return tgamma((double)x);
}
static inline long double truncl(long double x) {
  return trunc((double)x);
}
static inline long double atan2l(long double x, long double y) {
  return atan2((double)x, (double)y);
}
static inline long double fmodl(long double x, long double y) {
  return fmod((double)x, (double)y);
}
static inline long double powl(long double x, long double y) {
  return pow((double)x, (double)y);
}
static inline long double copysignl(long double x, long double y) {
  return copysign((double)x, (double)y);
}
static inline long double fdiml(long double x, long double y) {
  return fdim((double)x, (double)y);
}
static inline long double fmaxl(long double x, long double y) {
  return fmax((double)x, (double)y);
}
static inline long double fminl(long double x, long double y) {
  return fmin((double)x, (double)y);
}
static inline long double hypotl(long double x, long double y) {
  return hypot((double)x, (double)y);
}
static inline long double nextafterl(long double x, long double y) {
  return nextafter((double)x, (double)y);
}
static inline long double remainderl(long double x, long double y) {
  return remainder((double)x, (double)y);
}
static inline long double frexpl(long double x, int* e) {
  return frexp((double)x, e);
}
static inline long double ldexpl(long double x, int e) {
  return ldexp((double)x, e);
}
static inline long double modfl(long double x, long double* i) {
  double d;
  double r = modf((double)x, &d);
  *i = d;
  return r;
}
static inline long double fmal(long double x, long double y, long double z) {
  return fma((double)x, (double)y, (double)z);
}
static inline int ilogbl(long double x) {
  return ilogb((double)x);
}
static inline long long llrintl(long double x) {
  return llrint((double)x);
}
static inline long long llroundl(long double x) {
  return llround((double)x);
}
static inline long lrintl(long double x) {
  return lrint((double)x);
}
static inline long lroundl(long double x) {
  return lround((double)x);
}
static inline long double nanl(const char* t) {
  return nan(t);
}
static inline long double nexttowardl(long double x, long double y) {
  return nextafter((double)x, (double)y);
}
static inline long double remquol(long double x, long double y, int* q) {
  return remquo((double)x, (double)y, q);
}
static inline long double scalblnl(long double x, long e) {
  return scalbln((double)x, e);
}
static inline long double scalbnl(long double x, int e) {
  return scalbn((double)x, e);
}
#ifdef __cplusplus
}

extern "C++" {
inline int fpclassify(float x) {
  return _fdclass(x);
}
inline int fpclassify(double x) {
  return _dclass(x);
}
inline int fpclassify(long double x) {
  return _dclass((double)x);
}
template <class T>
inline bool signbit(T x) {
  return sizeof(x) == sizeof(float) ? _fdsign((float)x) != 0 : _dsign((double)x) != 0;
}
template <class T>
inline bool isinf(T x) {
  return fpclassify(x) == FP_INFINITE;
}
template <class T>
inline bool isnan(T x) {
  return fpclassify(x) == FP_NAN;
}
template <class T>
inline bool isnormal(T x) {
  return fpclassify(x) == FP_NORMAL;
}
template <class T>
inline bool isfinite(T x) {
  return fpclassify(x) <= 0;
}
template <class T, class U>
inline bool isunordered(T x, U y) {
  return isnan(x) || isnan(y);
}
template <class T, class U>
inline bool isgreater(T x, U y) {
  return !isunordered(x, y) && x > y;
}
template <class T, class U>
inline bool isgreaterequal(T x, U y) {
  return !isunordered(x, y) && x >= y;
}
template <class T, class U>
inline bool isless(T x, U y) {
  return !isunordered(x, y) && x < y;
}
template <class T, class U>
inline bool islessequal(T x, U y) {
  return !isunordered(x, y) && x <= y;
}
template <class T, class U>
inline bool islessgreater(T x, U y) {
  return !isunordered(x, y) && x != y;
}
}
#endif
