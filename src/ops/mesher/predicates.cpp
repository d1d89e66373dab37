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
#include <vector>

namespace quenlith::ops::mesher {
namespace {

constexpr double kEps = 0x1p-53;  // half an ulp of 1: the unit roundoff
constexpr double kSplitter = 0x1p27 + 1.0;
// Forward error bounds of the filters, relative to the permanent (the same
// determinant with every term taken in absolute value).
constexpr double kOrient3dBound = (7.0 + 56.0 * kEps) * kEps;
// Twice the published bound of this evaluation order: a margin that costs only
// a few more exact evaluations on near-degenerate input.
constexpr double kInsphereBound = 2.0 * (16.0 + 224.0 * kEps) * kEps;

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
  // Evaluated about d, as det [a - d; b - d; c - d] = -orient3d.
  const double adx = a[0] - d[0], ady = a[1] - d[1], adz = a[2] - d[2];
  const double bdx = b[0] - d[0], bdy = b[1] - d[1], bdz = b[2] - d[2];
  const double cdx = c[0] - d[0], cdy = c[1] - d[1], cdz = c[2] - d[2];
  const double bdxcdy = bdx * cdy, cdxbdy = cdx * bdy;
  const double cdxady = cdx * ady, adxcdy = adx * cdy;
  const double adxbdy = adx * bdy, bdxady = bdx * ady;
  const double det = adz * (bdxcdy - cdxbdy) + bdz * (cdxady - adxcdy) + cdz * (adxbdy - bdxady);
  const double permanent = (std::fabs(bdxcdy) + std::fabs(cdxbdy)) * std::fabs(adz) +
                           (std::fabs(cdxady) + std::fabs(adxcdy)) * std::fabs(bdz) +
                           (std::fabs(adxbdy) + std::fabs(bdxady)) * std::fabs(cdz);
  const double bound = kOrient3dBound * permanent;
  if (det > bound || -det > bound) return -det;
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
  const double aex = a[0] - e[0], aey = a[1] - e[1], aez = a[2] - e[2];
  const double bex = b[0] - e[0], bey = b[1] - e[1], bez = b[2] - e[2];
  const double cex = c[0] - e[0], cey = c[1] - e[1], cez = c[2] - e[2];
  const double dex = d[0] - e[0], dey = d[1] - e[1], dez = d[2] - e[2];
  const double aexbey = aex * bey, bexaey = bex * aey;
  const double bexcey = bex * cey, cexbey = cex * bey;
  const double cexdey = cex * dey, dexcey = dex * cey;
  const double dexaey = dex * aey, aexdey = aex * dey;
  const double aexcey = aex * cey, cexaey = cex * aey;
  const double bexdey = bex * dey, dexbey = dex * bey;
  const double ab = aexbey - bexaey, bc = bexcey - cexbey, cd = cexdey - dexcey;
  const double da = dexaey - aexdey, ac = aexcey - cexaey, bd = bexdey - dexbey;
  const double abc = aez * bc - bez * ac + cez * ab;
  const double bcd = bez * cd - cez * bd + dez * bc;
  const double cda = cez * da + dez * ac + aez * cd;
  const double dab = dez * ab + aez * bd + bez * da;
  const double alift = aex * aex + aey * aey + aez * aez;
  const double blift = bex * bex + bey * bey + bez * bez;
  const double clift = cex * cex + cey * cey + cez * cez;
  const double dlift = dex * dex + dey * dey + dez * dez;
  const double det = (dlift * abc - clift * dab) + (blift * cda - alift * bcd);
  const double az = std::fabs(aez), bz = std::fabs(bez), cz = std::fabs(cez), dz = std::fabs(dez);
  const double p_ab = std::fabs(aexbey) + std::fabs(bexaey), p_bc = std::fabs(bexcey) + std::fabs(cexbey);
  const double p_cd = std::fabs(cexdey) + std::fabs(dexcey), p_da = std::fabs(dexaey) + std::fabs(aexdey);
  const double p_ac = std::fabs(aexcey) + std::fabs(cexaey), p_bd = std::fabs(bexdey) + std::fabs(dexbey);
  const double permanent = (p_cd * bz + p_bd * cz + p_bc * dz) * alift + (p_da * cz + p_ac * dz + p_cd * az) * blift +
                           (p_ab * dz + p_bd * az + p_da * bz) * clift + (p_bc * az + p_ac * bz + p_ab * cz) * dlift;
  const double bound = kInsphereBound * permanent;
  if (det > bound || -det > bound) return -det;
  if (small_ints(a) && small_ints(b) && small_ints(c) && small_ints(d) && small_ints(e))
    return insphere_ints(a, b, c, d, e);
  return insphere_exact(a, b, c, d, e);
}

}  // namespace quenlith::ops::mesher
