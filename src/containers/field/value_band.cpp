#include "containers/field/value_band.hpp"

#include "base/error.hpp"
#include "dump/number_format.hpp"

namespace quenlith::containers::field {

ValueBand value_band(std::optional<double> ge, std::optional<double> gt, std::optional<double> le,
                     std::optional<double> lt) {
  QUENLITH_VERIFY(!(ge && gt), "value band: give at most one lower bound (`ge` or `gt`, not both)");
  ValueBand band;
  band.lower = ge ? ge : gt;
  band.lower_strict = gt.has_value();
  QUENLITH_VERIFY(band.lower || le || lt, "value band: at least one bound (`ge`/`gt`/`le`/`lt`) must be given");
  QUENLITH_VERIFY(!(le && lt), "value band: give at most one upper bound (`le` or `lt`, not both)");
  band.upper = le ? le : lt;
  band.upper_strict = lt.has_value();
  if (band.lower && band.upper && *band.upper < *band.lower)
    throw Error::message("value band: lower bound ({}) is greater than upper bound ({})",
                         dump::plain_number(*band.lower), dump::plain_number(*band.upper));
  return band;
}

ValueBand comparison_band(Comparison op, double x) noexcept {
  ValueBand band;
  switch (op) {
    case Comparison::Less:
      band.upper = x;
      band.upper_strict = true;
      break;
    case Comparison::LessEqual:
      band.upper = x;
      break;
    case Comparison::Greater:
      band.lower = x;
      band.lower_strict = true;
      break;
    case Comparison::GreaterEqual:
      band.lower = x;
      break;
  }
  return band;
}

}  // namespace quenlith::containers::field
