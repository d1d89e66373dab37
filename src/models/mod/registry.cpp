#include "models/mod/registry.hpp"

#include "models/contact/contact.hpp"
#include "models/convection/convection.hpp"
#include "models/dirichlet/dirichlet.hpp"
#include "models/elasticity/elasticity.hpp"
#include "models/embedded/embedded.hpp"
#include "models/frame/frame.hpp"
#include "models/frame3d/frame3d.hpp"
#include "models/heat_conduction/heat_conduction.hpp"
#include "models/mazars/mazars.hpp"
#include "models/mpc/mpc.hpp"
#include "models/plasticity/plasticity.hpp"
#include "models/timoshenko/timoshenko.hpp"
#include "models/truss/truss.hpp"
#include "store/record_reader.hpp"

namespace quenlith::models {

namespace {

using Decoder = std::unique_ptr<ModelKind> (*)(store::RecordReader&);

constexpr Decoder kDecoders[kKindCount] = {
    &HeatConduction::decode, &Convection::decode, &Dirichlet::decode,  &Mpc::decode,        &Embedded::decode,
    &Contact::decode,        &Truss::decode,      &Elasticity::decode, &Plasticity::decode, &Mazars::decode,
    &Timoshenko::decode,     &Frame::decode,      &Frame3d::decode,
};

static_assert(HeatConduction::kIndex == 0 && Convection::kIndex == 1 && Dirichlet::kIndex == 2 && Mpc::kIndex == 3 &&
              Embedded::kIndex == 4 && Contact::kIndex == 5 && Truss::kIndex == 6 && Elasticity::kIndex == 7 &&
              Plasticity::kIndex == 8 && Mazars::kIndex == 9 && Timoshenko::kIndex == 10 && Frame::kIndex == 11 &&
              Frame3d::kIndex == 12);

}  // namespace

std::unique_ptr<ModelKind> decode_kind(store::RecordReader& r) { return kDecoders[r.read_variant(kKindCount)](r); }

}  // namespace quenlith::models
