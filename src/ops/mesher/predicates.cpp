// Adaptive exact predicates: a filtered floating-point evaluation, then an exact
// re-evaluation with floating-point expansions when the filter cannot decide.
//
// An expansion is a list of doubles of increasing magnitude, pairwise
// non-overlapping, whose exact sum is the value represented; its sign is the sign
// of its last (largest) component. The error-free transformations below (two_sum,
// two_diff, two_product with Dekker's split) need round-to-nearest arithmetic and
// no fused multiply-add, which the build guarantees.
#include "ops/mesher/predicates.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace quenlith::ops::mesher {
namespace {

constexpr double kEps = 0x1p-53;  // half an ulp of 1: the unit roundoff
constexpr double kSplitter = 0x1p27 + 1.0;

// An expansion's components: inline up to a small count, which most exact
// evaluations stay below (each arithmetic step makes a new expansion, so heap
// storage would cost an allocation per step), on the heap beyond it.
class Expansion {
 public:
  Expansion() = default;
  Expansion(const Expansion& o) { copy_from(o); }
  Expansion(Expansion&& o) noexcept { move_from(o); }
  Expansion& operator=(const Expansion& o) {
    if (this != &o) copy_from(o);
    return *this;
  }
  Expansion& operator=(Expansion&& o) noexcept {
    if (this != &o) move_from(o);
    return *this;
  }
  void reserve(std::size_t n) {
    if (n > capacity()) grow(n);
  }
  void push_back(double x) {
    if (size_ == capacity()) grow(2 * capacity());
    data()[size_++] = x;
  }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  double& operator[](std::size_t i) noexcept { return data()[i]; }
  double operator[](std::size_t i) const noexcept { return data()[i]; }
  double back() const noexcept { return data()[size_ - 1]; }
  double* begin() noexcept { return data(); }
  double* end() noexcept { return data() + size_; }
  const double* begin() const noexcept { return data(); }
  const double* end() const noexcept { return data() + size_; }

 private:
  static constexpr std::size_t kInline = 32;
  double* data() noexcept { return big_ ? heap_.data() : inline_; }
  const double* data() const noexcept { return big_ ? heap_.data() : inline_; }
  std::size_t capacity() const noexcept { return big_ ? heap_.size() : kInline; }
  void grow(std::size_t n) {
    if (!big_) {
      heap_.assign(inline_, inline_ + size_);
      big_ = true;
    }
    heap_.resize(n);
  }
  void copy_from(const Expansion& o) {
    size_ = 0;
    reserve(o.size_);
    std::copy(o.begin(), o.end(), data());
    size_ = o.size_;
  }
  void move_from(Expansion& o) noexcept {
    if (o.big_) {
      heap_ = std::move(o.heap_);
      big_ = true;
      o.big_ = false;
    } else {
      std::copy(o.inline_, o.inline_ + o.size_, data());
    }
    size_ = o.size_;
    o.size_ = 0;
  }

  std::size_t size_ = 0;
  bool big_ = false;
  double inline_[kInline];
  std::vector<double> heap_;
};

inline void two_sum(double a, double b, double& x, double& y) {
  x = a + b;
  const double bv = x - a;
  const double av = x - bv;
  y = (a - av) + (b - bv);
}

inline void fast_two_sum(double a, double b, double& x, double& y) {  // |a| >= |b|
  x = a + b;
  y = b - (x - a);
}

inline void two_diff(double a, double b, double& x, double& y) {
  x = a - b;
  const double bv = a - x;
  const double av = x + bv;
  y = (a - av) + (bv - b);
}

inline void split(double a, double& hi, double& lo) {
  const double c = kSplitter * a;
  const double big = c - a;
  hi = c - big;
  lo = a - hi;
}

inline void two_product(double a, double b, double& x, double& y) {
  x = a * b;
  double ahi, alo, bhi, blo;
  split(a, ahi, alo);
  split(b, bhi, blo);
  const double err1 = x - ahi * bhi;
  const double err2 = err1 - alo * bhi;
  const double err3 = err2 - ahi * blo;
  y = alo * blo - err3;
}

// The exact difference a - b as an expansion of at most two components.
Expansion diff(double a, double b) {
  double x, y;
  two_diff(a, b, x, y);
  Expansion e;
  if (y != 0.0) e.push_back(y);
  if (x != 0.0) e.push_back(x);
  return e;
}

// e + b, zero components dropped.
Expansion grow(const Expansion& e, double b) {
  Expansion h;
  h.reserve(e.size() + 1);
  double q = b;
  for (double c : e) {
    double sum, err;
    two_sum(q, c, sum, err);
    if (err != 0.0) h.push_back(err);
    q = sum;
  }
  if (q != 0.0) h.push_back(q);
  return h;
}

Expansion add(const Expansion& e, const Expansion& f) {
  Expansion h = e;
  for (double c : f) h = grow(h, c);
  return h;
}

Expansion negate(Expansion e) {
  for (double& c : e) c = -c;
  return e;
}

Expansion sub(const Expansion& e, const Expansion& f) { return add(e, negate(f)); }

// e * b, zero components dropped.
Expansion scale(const Expansion& e, double b) {
  Expansion h;
  if (e.empty() || b == 0.0) return h;
  h.reserve(2 * e.size());
  double q, err;
  two_product(e[0], b, q, err);
  if (err != 0.0) h.push_back(err);
  for (std::size_t i = 1; i < e.size(); ++i) {
    double p1, p0, sum, x;
    two_product(e[i], b, p1, p0);
    two_sum(q, p0, sum, x);
    if (x != 0.0) h.push_back(x);
    fast_two_sum(p1, sum, q, x);
    if (x != 0.0) h.push_back(x);
  }
  if (q != 0.0) h.push_back(q);
  return h;
}

Expansion mul(const Expansion& e, const Expansion& f) {
  Expansion h;
  for (double c : f) h = add(h, scale(e, c));
  return h;
}

// An approximation of the value with the exact sign: components summed from the
// smallest, so the largest one dominates; 0 exactly when the expansion is empty.
double estimate(const Expansion& e) {
  if (e.empty()) return 0.0;
  double s = 0.0;
  for (double c : e) s += c;
  // Cancellation cannot flip the sign of a non-overlapping expansion's sum, but
  // rounding the partial sums could give 0: keep the top component's sign then.
  if (s == 0.0 || std::signbit(s) != std::signbit(e.back())) return e.back();
  return s;
}

// |u x v| parts for 2-D exact determinants: u0 v1 - u1 v0.
Expansion cross2(const Expansion& u0, const Expansion& u1, const Expansion& v0, const Expansion& v1) {
  return sub(mul(u0, v1), mul(u1, v0));
}


double incircle_exact(const Point2& a, const Point2& b, const Point2& c, const Point2& d) {
  const Expansion adx = diff(a[0], d[0]), ady = diff(a[1], d[1]);
  const Expansion bdx = diff(b[0], d[0]), bdy = diff(b[1], d[1]);
  const Expansion cdx = diff(c[0], d[0]), cdy = diff(c[1], d[1]);
  const Expansion alift = add(mul(adx, adx), mul(ady, ady));
  const Expansion blift = add(mul(bdx, bdx), mul(bdy, bdy));
  const Expansion clift = add(mul(cdx, cdx), mul(cdy, cdy));
  Expansion det = mul(alift, cross2(bdx, bdy, cdx, cdy));
  det = add(det, mul(blift, cross2(cdx, cdy, adx, ady)));
  det = add(det, mul(clift, cross2(adx, ady, bdx, bdy)));
  return estimate(det);
}

// det [a - d; b - d; c - d], the opposite sign of orient3d.
Expansion det3_exact(const Point3& a, const Point3& b, const Point3& c, const Point3& d) {
  const Expansion adx = diff(a[0], d[0]), ady = diff(a[1], d[1]), adz = diff(a[2], d[2]);
  const Expansion bdx = diff(b[0], d[0]), bdy = diff(b[1], d[1]), bdz = diff(b[2], d[2]);
  const Expansion cdx = diff(c[0], d[0]), cdy = diff(c[1], d[1]), cdz = diff(c[2], d[2]);
  Expansion det = mul(adz, cross2(bdx, bdy, cdx, cdy));
  det = add(det, mul(bdz, cross2(cdx, cdy, adx, ady)));
  det = add(det, mul(cdz, cross2(adx, ady, bdx, bdy)));
  return det;
}

double insphere_exact(const Point3& a, const Point3& b, const Point3& c, const Point3& d, const Point3& e) {
  const Expansion aex = diff(a[0], e[0]), aey = diff(a[1], e[1]), aez = diff(a[2], e[2]);
  const Expansion bex = diff(b[0], e[0]), bey = diff(b[1], e[1]), bez = diff(b[2], e[2]);
  const Expansion cex = diff(c[0], e[0]), cey = diff(c[1], e[1]), cez = diff(c[2], e[2]);
  const Expansion dex = diff(d[0], e[0]), dey = diff(d[1], e[1]), dez = diff(d[2], e[2]);
  const Expansion ab = cross2(aex, aey, bex, bey);
  const Expansion bc = cross2(bex, bey, cex, cey);
  const Expansion cd = cross2(cex, cey, dex, dey);
  const Expansion da = cross2(dex, dey, aex, aey);
  const Expansion ac = cross2(aex, aey, cex, cey);
  const Expansion bd = cross2(bex, bey, dex, dey);
  const Expansion abc = add(sub(mul(aez, bc), mul(bez, ac)), mul(cez, ab));
  const Expansion bcd = add(sub(mul(bez, cd), mul(cez, bd)), mul(dez, bc));
  const Expansion cda = add(add(mul(cez, da), mul(dez, ac)), mul(aez, cd));
  const Expansion dab = add(add(mul(dez, ab), mul(aez, bd)), mul(bez, da));
  auto lift = [](const Expansion& x, const Expansion& y, const Expansion& z) {
    return add(add(mul(x, x), mul(y, y)), mul(z, z));
  };
  const Expansion alift = lift(aex, aey, aez), blift = lift(bex, bey, bez);
  const Expansion clift = lift(cex, cey, cez), dlift = lift(dex, dey, dez);
  const Expansion det = add(sub(mul(dlift, abc), mul(clift, dab)), sub(mul(blift, cda), mul(alift, bcd)));
  // The determinant is positive for an inside point of a tetrahedron with
  // det [a - d; b - d; c - d] > 0, that is orient3d < 0: flip to our convention.
  return -estimate(det);
}

// Points whose coordinates are all integers of magnitude at most 2^20 (a
// lattice in its own units): their determinants are exact in 128-bit integers,
// far cheaper than expansions, and such points are where exact ties are common.
constexpr double kSmallInt = 0x1p20;

inline bool small_ints(const Point3& p) noexcept {
  for (double x : p)
    if (!(x >= -kSmallInt && x <= kSmallInt) || x != std::floor(x)) return false;
  return true;
}

using Wide = __int128;

inline double sign_of(Wide v) noexcept { return v > 0 ? static_cast<double>(v) : v < 0 ? static_cast<double>(v) : 0.0; }

// orient3d of small-integer points, exactly.
double orient3d_ints(const Point3& a, const Point3& b, const Point3& c, const Point3& d) {
  const auto i = [](double x) { return static_cast<std::int64_t>(x); };
  const std::int64_t adx = i(a[0]) - i(d[0]), ady = i(a[1]) - i(d[1]), adz = i(a[2]) - i(d[2]);
  const std::int64_t bdx = i(b[0]) - i(d[0]), bdy = i(b[1]) - i(d[1]), bdz = i(b[2]) - i(d[2]);
  const std::int64_t cdx = i(c[0]) - i(d[0]), cdy = i(c[1]) - i(d[1]), cdz = i(c[2]) - i(d[2]);
  const Wide det = Wide{adz} * (bdx * cdy - cdx * bdy) + Wide{bdz} * (cdx * ady - adx * cdy) +
                   Wide{cdz} * (adx * bdy - bdx * ady);
  return -sign_of(det);
}

// insphere of small-integer points, exactly (differences below 2^21: every
// product below 2^110).
double insphere_ints(const Point3& a, const Point3& b, const Point3& c, const Point3& d, const Point3& e) {
  const auto i = [](double x) { return static_cast<std::int64_t>(x); };
  const std::int64_t aex = i(a[0]) - i(e[0]), aey = i(a[1]) - i(e[1]), aez = i(a[2]) - i(e[2]);
  const std::int64_t bex = i(b[0]) - i(e[0]), bey = i(b[1]) - i(e[1]), bez = i(b[2]) - i(e[2]);
  const std::int64_t cex = i(c[0]) - i(e[0]), cey = i(c[1]) - i(e[1]), cez = i(c[2]) - i(e[2]);
  const std::int64_t dex = i(d[0]) - i(e[0]), dey = i(d[1]) - i(e[1]), dez = i(d[2]) - i(e[2]);
  const std::int64_t ab = aex * bey - bex * aey, bc = bex * cey - cex * bey, cd = cex * dey - dex * cey;
  const std::int64_t da = dex * aey - aex * dey, ac = aex * cey - cex * aey, bd = bex * dey - dex * bey;
  const Wide abc = Wide{aez} * bc - Wide{bez} * ac + Wide{cez} * ab;
  const Wide bcd = Wide{bez} * cd - Wide{cez} * bd + Wide{dez} * bc;
  const Wide cda = Wide{cez} * da + Wide{dez} * ac + Wide{aez} * cd;
  const Wide dab = Wide{dez} * ab + Wide{aez} * bd + Wide{bez} * da;
  const std::int64_t alift = aex * aex + aey * aey + aez * aez, blift = bex * bex + bey * bey + bez * bez;
  const std::int64_t clift = cex * cex + cey * cey + cez * cez, dlift = dex * dex + dey * dey + dez * dez;
  const Wide det = (dlift * abc - clift * dab) + (blift * cda - alift * bcd);
  return -sign_of(det);
}

// The floating-point evaluations of orient3d (about d) and insphere (about
// e) in T, with unit roundoff u: the value, and whether its forward error
// bound, relative to the permanent, proves its sign.
template <class T>
T orient3d_filter(const Point3& a, const Point3& b, const Point3& c, const Point3& d, T u, bool& decided) {
  auto f = [](T v) { return std::fabs(v); };
  const T adx = T(a[0]) - T(d[0]), ady = T(a[1]) - T(d[1]), adz = T(a[2]) - T(d[2]);
  const T bdx = T(b[0]) - T(d[0]), bdy = T(b[1]) - T(d[1]), bdz = T(b[2]) - T(d[2]);
  const T cdx = T(c[0]) - T(d[0]), cdy = T(c[1]) - T(d[1]), cdz = T(c[2]) - T(d[2]);
  const T bdxcdy = bdx * cdy, cdxbdy = cdx * bdy;
  const T cdxady = cdx * ady, adxcdy = adx * cdy;
  const T adxbdy = adx * bdy, bdxady = bdx * ady;
  const T det = adz * (bdxcdy - cdxbdy) + bdz * (cdxady - adxcdy) + cdz * (adxbdy - bdxady);
  const T permanent = (f(bdxcdy) + f(cdxbdy)) * f(adz) + (f(cdxady) + f(adxcdy)) * f(bdz) +
                      (f(adxbdy) + f(bdxady)) * f(cdz);
  const T bound = (7 + 56 * u) * u * permanent;
  decided = det > bound || -det > bound;
  return -det;  // det [a - d; b - d; c - d] = -orient3d
}

template <class T>
T insphere_filter(const Point3& a, const Point3& b, const Point3& c, const Point3& d, const Point3& e, T u,
                  bool& decided) {
  auto f = [](T v) { return std::fabs(v); };
  const T aex = T(a[0]) - T(e[0]), aey = T(a[1]) - T(e[1]), aez = T(a[2]) - T(e[2]);
  const T bex = T(b[0]) - T(e[0]), bey = T(b[1]) - T(e[1]), bez = T(b[2]) - T(e[2]);
  const T cex = T(c[0]) - T(e[0]), cey = T(c[1]) - T(e[1]), cez = T(c[2]) - T(e[2]);
  const T dex = T(d[0]) - T(e[0]), dey = T(d[1]) - T(e[1]), dez = T(d[2]) - T(e[2]);
  const T aexbey = aex * bey, bexaey = bex * aey;
  const T bexcey = bex * cey, cexbey = cex * bey;
  const T cexdey = cex * dey, dexcey = dex * cey;
  const T dexaey = dex * aey, aexdey = aex * dey;
  const T aexcey = aex * cey, cexaey = cex * aey;
  const T bexdey = bex * dey, dexbey = dex * bey;
  const T ab = aexbey - bexaey, bc = bexcey - cexbey, cd = cexdey - dexcey;
  const T da = dexaey - aexdey, ac = aexcey - cexaey, bd = bexdey - dexbey;
  const T abc = aez * bc - bez * ac + cez * ab;
  const T bcd = bez * cd - cez * bd + dez * bc;
  const T cda = cez * da + dez * ac + aez * cd;
  const T dab = dez * ab + aez * bd + bez * da;
  const T alift = aex * aex + aey * aey + aez * aez;
  const T blift = bex * bex + bey * bey + bez * bez;
  const T clift = cex * cex + cey * cey + cez * cez;
  const T dlift = dex * dex + dey * dey + dez * dez;
  const T det = (dlift * abc - clift * dab) + (blift * cda - alift * bcd);
  const T az = f(aez), bz = f(bez), cz = f(cez), dz = f(dez);
  const T p_ab = f(aexbey) + f(bexaey), p_bc = f(bexcey) + f(cexbey);
  const T p_cd = f(cexdey) + f(dexcey), p_da = f(dexaey) + f(aexdey);
  const T p_ac = f(aexcey) + f(cexaey), p_bd = f(bexdey) + f(dexbey);
  const T permanent = (p_cd * bz + p_bd * cz + p_bc * dz) * alift + (p_da * cz + p_ac * dz + p_cd * az) * blift +
                      (p_ab * dz + p_bd * az + p_da * bz) * clift + (p_bc * az + p_ac * bz + p_ab * cz) * dlift;
  // Twice the published bound of this evaluation order: a margin that costs
  // only a few more exact evaluations on near-degenerate input.
  const T bound = 2 * (16 + 224 * u) * u * permanent;
  decided = det > bound || -det > bound;
  // The determinant is positive for an inside point of a tetrahedron with
  // det [a - d; b - d; c - d] > 0, that is orient3d < 0: flip to our convention.
  return -det;
}

}  // namespace

double detail::orient2d_exact(const Point2& a, const Point2& b, const Point2& c) {
  return estimate(cross2(diff(b[0], a[0]), diff(b[1], a[1]), diff(c[0], a[0]), diff(c[1], a[1])));
}

double incircle(const Point2& a, const Point2& b, const Point2& c, const Point2& d) {
  const detail::Filtered f = detail::incircle_filter(a, b, c, d);
  if (f.det > f.bound || -f.det > f.bound) return f.det;
  return incircle_exact(a, b, c, d);
}

double orient3d(const Point3& a, const Point3& b, const Point3& c, const Point3& d) {
  bool decided;
  const double o = orient3d_filter(a, b, c, d, kEps, decided);
  if (decided) return o;
  if (small_ints(a) && small_ints(b) && small_ints(c) && small_ints(d)) return orient3d_ints(a, b, c, d);
  return -estimate(det3_exact(a, b, c, d));
}

double orient3d_sum(std::span<const std::array<const Point3*, 4>> quads, std::span<const double> weights) {
  Expansion sum;
  for (std::size_t k = 0; k < quads.size(); ++k) {
    if (weights[k] == 0.0) continue;
    const auto& q = quads[k];
    // det3_exact is det [a - d; b - d; c - d] = -orient3d.
    sum = sub(sum, scale(det3_exact(*q[0], *q[1], *q[2], *q[3]), weights[k]));
  }
  return estimate(sum);
}

double insphere(const Point3& a, const Point3& b, const Point3& c, const Point3& d, const Point3& e) {
  bool decided;
  const double s = insphere_filter(a, b, c, d, e, kEps, decided);
  if (decided) return s;
  if (small_ints(a) && small_ints(b) && small_ints(c) && small_ints(d) && small_ints(e))
    return insphere_ints(a, b, c, d, e);
  return insphere_exact(a, b, c, d, e);
}

namespace {

// Expansions of bounded length on the stack, for the staged signs: the
// arithmetic of the general exact evaluation without its allocations and
// copies. Every routine drops zero components but keeps at least one.

// h = e + f, both non-overlapping with components in increasing magnitude;
// h holds at most elen + flen components.
int sum_fixed(int elen, const double* e, int flen, const double* f, double* h) {
  int i = 0, j = 0, n = 0;
  double q;
  auto take_e = [&](double fnow) {
    const double enow = e[i];
    return (fnow > enow) == (fnow > -enow);  // |e[i]| < |f[j]|, ties to e
  };
  if (take_e(f[0])) {
    q = e[i++];
  } else {
    q = f[j++];
  }
  double sum, err;
  if (i < elen && j < flen) {
    if (take_e(f[j])) {
      fast_two_sum(e[i++], q, sum, err);
    } else {
      fast_two_sum(f[j++], q, sum, err);
    }
    q = sum;
    if (err != 0.0) h[n++] = err;
    while (i < elen && j < flen) {
      if (take_e(f[j])) {
        two_sum(q, e[i++], sum, err);
      } else {
        two_sum(q, f[j++], sum, err);
      }
      q = sum;
      if (err != 0.0) h[n++] = err;
    }
  }
  while (i < elen) {
    two_sum(q, e[i++], sum, err);
    q = sum;
    if (err != 0.0) h[n++] = err;
  }
  while (j < flen) {
    two_sum(q, f[j++], sum, err);
    q = sum;
    if (err != 0.0) h[n++] = err;
  }
  if (q != 0.0 || n == 0) h[n++] = q;
  return n;
}

// h = e * b; h holds at most 2 * elen components.
int scale_fixed(int elen, const double* e, double b, double* h) {
  int n = 0;
  double q, err;
  two_product(e[0], b, q, err);
  if (err != 0.0) h[n++] = err;
  for (int i = 1; i < elen; ++i) {
    double p1, p0, sum;
    two_product(e[i], b, p1, p0);
    two_sum(q, p0, sum, err);
    if (err != 0.0) h[n++] = err;
    fast_two_sum(p1, sum, q, err);
    if (err != 0.0) h[n++] = err;
  }
  if (q != 0.0 || n == 0) h[n++] = q;
  return n;
}

// h = a * b - c * d exactly: at most 4 components.
int cross_fixed(double a, double b, double c, double d, double* h) {
  double x[2], y[2];
  two_product(a, b, x[1], x[0]);
  two_product(c, d, y[1], y[0]);
  y[0] = -y[0], y[1] = -y[1];
  return sum_fixed(2, x, 2, y, h);
}

// h = (a * x + b * y + c * z), the 4-component expansions x, y, z: at most
// 24 components.
int combine3_fixed(double a, const double* x, int xn, double b, const double* y, int yn, double c, const double* z,
                   int zn, double* h) {
  double u[8], v[8], w[8], uv[16];
  const int un = scale_fixed(xn, x, a, u), vn = scale_fixed(yn, y, b, v), wn = scale_fixed(zn, z, c, w);
  const int uvn = sum_fixed(un, u, vn, v, uv);
  return sum_fixed(uvn, uv, wn, w, h);
}

// h = lift * m with lift = x^2 + y^2 + z^2, m of at most 24 components: at
// most 288 components.
int lift_times_fixed(double x, double y, double z, const double* m, int mn, double* h) {
  double t1[48], t2[96], a[96], b[96], ab[192];
  int n1 = scale_fixed(mn, m, x, t1);
  const int an = scale_fixed(n1, t1, x, a);
  n1 = scale_fixed(mn, m, y, t1);
  const int bn = scale_fixed(n1, t1, y, b);
  const int abn = sum_fixed(an, a, bn, b, ab);
  n1 = scale_fixed(mn, m, z, t1);
  const int cn = scale_fixed(n1, t1, z, t2);
  return sum_fixed(abn, ab, cn, t2, h);
}

// Differences whose rounding error is zero, all twelve (or nine) of them.
template <std::size_t N>
bool exact_differences(const std::array<const Point3*, N>& p, const Point3& base, std::array<double, 3 * N>& out) {
  for (std::size_t i = 0; i < N; ++i)
    for (int d = 0; d < 3; ++d) {
      double x, y;
      two_diff((*p[i])[d], base[d], x, y);
      if (y != 0.0) return false;
      out[3 * i + static_cast<std::size_t>(d)] = x;
    }
  return true;
}

}  // namespace

double orient3d_sign(const Point3& a, const Point3& b, const Point3& c, const Point3& d) {
  bool decided;
  const double o = orient3d_filter(a, b, c, d, kEps, decided);
  if (decided) return o;
  if (small_ints(a) && small_ints(b) && small_ints(c) && small_ints(d)) return orient3d_ints(a, b, c, d);
  std::array<double, 9> x;
  if (!exact_differences<3>({&a, &b, &c}, d, x)) return -estimate(det3_exact(a, b, c, d));
  // det [a - d; b - d; c - d] on the exact differences.
  double bc[4], ca[4], ab[4], h[24];
  const int bcn = cross_fixed(x[3], x[7], x[6], x[4], bc);
  const int can = cross_fixed(x[6], x[1], x[0], x[7], ca);
  const int abn = cross_fixed(x[0], x[4], x[3], x[1], ab);
  const int n = combine3_fixed(x[2], bc, bcn, x[5], ca, can, x[8], ab, abn, h);
  return -h[n - 1];
}

double insphere_sign(const Point3& a, const Point3& b, const Point3& c, const Point3& d, const Point3& e) {
  bool decided;
  const double s = insphere_filter(a, b, c, d, e, kEps, decided);
  if (decided) return s;
  if (small_ints(a) && small_ints(b) && small_ints(c) && small_ints(d) && small_ints(e))
    return insphere_ints(a, b, c, d, e);
  // The same evaluation in extended precision, with the bound of its own unit
  // roundoff, where long double is wider than double and its arithmetic keeps
  // the extra bits (an instruction-set emulator may round it to double).
  using Long = long double;
  if constexpr (std::numeric_limits<Long>::is_iec559 && std::numeric_limits<Long>::digits > 53) {
    static const bool extended = [] {
      // (1 + 2^-30)^2 = 1 + 2^-29 + 2^-60: the last term survives only with
      // the extra bits, and it is checked in double arithmetic.
      volatile Long one = 1, small = 0x1p-30L;
      const Long square = (one + small) * (one + small);
      const double high = static_cast<double>(square);
      const double low = static_cast<double>(square - Long{high});
      return high == 1 + 0x1p-29 && low == 0x1p-60;
    }();
    if (extended) {
      const Long l = insphere_filter(a, b, c, d, e, std::numeric_limits<Long>::epsilon() / 2, decided);
      if (decided) return l > 0 ? 1.0 : -1.0;
    }
  }
  std::array<double, 12> x;
  if (!exact_differences<4>({&a, &b, &c, &d}, e, x)) return insphere_exact(a, b, c, d, e);
  const double aex = x[0], aey = x[1], aez = x[2], bex = x[3], bey = x[4], bez = x[5];
  const double cex = x[6], cey = x[7], cez = x[8], dex = x[9], dey = x[10], dez = x[11];
  double ab[4], bc[4], cd[4], da[4], ac[4], bd[4];
  const int abn = cross_fixed(aex, bey, bex, aey, ab), bcn = cross_fixed(bex, cey, cex, bey, bc);
  const int cdn = cross_fixed(cex, dey, dex, cey, cd), dan = cross_fixed(dex, aey, aex, dey, da);
  const int acn = cross_fixed(aex, cey, cex, aey, ac), bdn = cross_fixed(bex, dey, dex, bey, bd);
  double abc[24], bcd[24], cda[24], dab[24];
  const int abcn = combine3_fixed(aez, bc, bcn, -bez, ac, acn, cez, ab, abn, abc);
  const int bcdn = combine3_fixed(bez, cd, cdn, -cez, bd, bdn, dez, bc, bcn, bcd);
  const int cdan = combine3_fixed(cez, da, dan, dez, ac, acn, aez, cd, cdn, cda);
  const int dabn = combine3_fixed(dez, ab, abn, aez, bd, bdn, bez, da, dan, dab);
  // (dlift abc - clift dab) + (blift cda - alift bcd): the negated minors
  // give the differences.
  for (int i = 0; i < dabn; ++i) dab[i] = -dab[i];
  for (int i = 0; i < bcdn; ++i) bcd[i] = -bcd[i];
  double t1[288], t2[288], t3[288], t4[288], u1[576], u2[576], h[1152];
  const int n1 = lift_times_fixed(dex, dey, dez, abc, abcn, t1);
  const int n2 = lift_times_fixed(cex, cey, cez, dab, dabn, t2);
  const int n3 = lift_times_fixed(bex, bey, bez, cda, cdan, t3);
  const int n4 = lift_times_fixed(aex, aey, aez, bcd, bcdn, t4);
  const int m1 = sum_fixed(n1, t1, n2, t2, u1), m2 = sum_fixed(n3, t3, n4, t4, u2);
  const int n = sum_fixed(m1, u1, m2, u2, h);
  return -h[n - 1];
}

}  // namespace quenlith::ops::mesher
