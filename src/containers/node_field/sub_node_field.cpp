#include "containers/node_field/sub_node_field.hpp"

#include <fmt/format.h>

#include "containers/field/components.hpp"
#include "containers/node_field/id_index.hpp"
#include "dump/debug_text.hpp"
#include "dump/dump_table.hpp"
#include "dump/number_format.hpp"
#include "store/guard.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"
#include "store/store.hpp"

namespace quenlith::containers::node_field {

using mesh::ElementType;
using mesh::SubMesh;
using store::Handle;

namespace {
constexpr std::string_view kTypeName = "SubNodeField";
}

SubNodeField::SubNodeField(Handle<SubMesh> support, std::vector<NodeId> nodes, std::vector<std::string> components,
                           std::vector<double> values)
    : support_(std::move(support)),
      nodes_(std::move(nodes)),
      components_(std::move(components)),
      values_(std::move(values)) {
  index_rows();
}

void SubNodeField::index_rows() {
  first_row_of_rank_.clear();
  rank_of_row_.clear();
  // Most supports list every node once: then a node's rank is its row and no table
  // is kept.
  if (!has_repeated_ids(nodes_)) return;
  IdIndex ranks = IdIndex::for_ids(nodes_);
  rank_of_row_.resize(nodes_.size());
  for (std::size_t row = 0; row < nodes_.size(); ++row) {
    const auto [rank, added] = ranks.try_insert(nodes_[row], static_cast<std::uint32_t>(first_row_of_rank_.size()));
    if (added) first_row_of_rank_.push_back(static_cast<std::uint32_t>(row));
    rank_of_row_[row] = rank;
  }
}

SubNodeField SubNodeField::create(const Handle<SubMesh>& support, std::vector<std::string> components) {
  return make(support, std::move(components), nullptr);
}

SubNodeField SubNodeField::create(const Handle<SubMesh>& support, std::vector<std::string> components,
                                  std::vector<double> values) {
  return make(support, std::move(components), &values);
}

SubNodeField SubNodeField::make(const Handle<SubMesh>& support, std::vector<std::string> components,
                                std::vector<double>* values) {
  field::check_component_names(components, kTypeName);
  std::vector<NodeId> nodes;
  bool sealed = false;
  {
    store::ReadGuard<SubMesh> guard = store::read(support);
    QUENLITH_VERIFY(guard->element_type() == ElementType::POI1, "SubNodeField requires a POI1 SubMesh, got {}",
                    guard->element_type());
    if (guard->is_sealed()) {
      // Sealed: the cells can no longer change, a shared guard is enough.
      const auto conn = guard->connectivity();
      nodes.assign(conn.begin(), conn.end());
      sealed = true;
    }
  }
  if (!sealed) {
    store::WriteGuard<SubMesh> guard = store::write(support);
    const auto conn = guard->connectivity();
    nodes.assign(conn.begin(), conn.end());
    guard->seal_in_place();
  }
  const std::size_t count = nodes.size() * components.size();
  std::vector<double> filled;
  if (values) {
    QUENLITH_VERIFY(values->size() == count, "SubNodeField: {} value(s) for {} node(s) × {} component(s)",
                    values->size(), nodes.size(), components.size());
    filled = std::move(*values);
  } else {
    filled.assign(count, 0.0);
  }
  return SubNodeField(support, std::move(nodes), std::move(components), std::move(filled));
}

SubNodeField SubNodeField::on_nodes_of(const Handle<SubMesh>& submesh, std::vector<std::string> components) {
  field::check_component_names(components, kTypeName);
  ElementType type;
  {
    store::ReadGuard<SubMesh> guard = store::read(submesh);
    type = guard->element_type();
  }
  if (type == ElementType::POI1) return create(submesh, std::move(components));
  // Sealed first, so that the cloud is cached and every zone on this submesh gets
  // the same support handle.
  (void)SubMesh::seal(submesh);
  Handle<SubMesh> cloud;
  {
    store::ReadGuard<SubMesh> guard = store::read(submesh);
    cloud = guard->node_cloud();
  }
  return create(cloud, std::move(components));
}

SubNodeField SubNodeField::clone() const { return with_values(values_); }

SubNodeField SubNodeField::with_values(std::vector<double> values) const {
  SubNodeField copy;
  copy.support_ = support_;
  copy.nodes_ = nodes_;
  copy.components_ = components_;
  copy.values_ = std::move(values);
  copy.first_row_of_rank_ = first_row_of_rank_;
  copy.rank_of_row_ = rank_of_row_;
  return copy;
}

SubNodeField SubNodeField::with_components(std::vector<std::string> names, std::vector<double> values) const {
  SubNodeField out = with_values(std::move(values));
  out.components_ = std::move(names);
  return out;
}

SubNodeField SubNodeField::select_components(std::span<const std::string> names) const {
  auto picked = field::select_components<std::vector<double>>(components_, values_, names);
  return SubNodeField(support_, nodes_, std::move(picked.names), std::move(picked.values));
}

void SubNodeField::check_row(std::uint64_t row) const {
  QUENLITH_VERIFY(row < nodes_.size(), "node index {} ≥ node_count {}", row, nodes_.size());
}

void SubNodeField::check_comp(std::uint64_t comp) const {
  QUENLITH_VERIFY(comp < components_.size(), "component index {} ≥ component_count {}", comp, components_.size());
}

double SubNodeField::get(std::uint64_t row, std::uint64_t comp) const {
  check_row(row);
  check_comp(comp);
  return values_[row * components_.size() + comp];
}

void SubNodeField::set(std::uint64_t row, std::uint64_t comp, double value) {
  check_row(row);
  check_comp(comp);
  values_[row * components_.size() + comp] = value;
}

std::uint64_t SubNodeField::row_of(NodeId node) const {
  const auto row = node_index(node);
  if (!row) throw Error::message("node {} not in field support", node);
  return *row;
}

double SubNodeField::get_by_node(NodeId node, std::uint64_t comp) const { return get(row_of(node), comp); }

void SubNodeField::set_by_node(NodeId node, std::uint64_t comp, double value) { set(row_of(node), comp, value); }

double SubNodeField::value(NodeId node, std::string_view component) const {
  const std::uint64_t row = row_of(node);
  const auto c = component_index(component);
  if (!c) throw Error::message("unknown component: {}", component);
  return values_[row * components_.size() + *c];
}

void SubNodeField::set_value(NodeId node, std::string_view component, double value) {
  const std::uint64_t row = row_of(node);
  const auto c = component_index(component);
  if (!c) throw Error::message("unknown component: {}", component);
  values_[row * components_.size() + *c] = value;
}

std::vector<double> SubNodeField::node_values(std::uint64_t row) const {
  check_row(row);
  const std::size_t nc = components_.size();
  return std::vector<double>(values_.begin() + static_cast<std::ptrdiff_t>(row * nc),
                             values_.begin() + static_cast<std::ptrdiff_t>(row * nc + nc));
}

std::optional<std::uint64_t> SubNodeField::node_index(NodeId node) const {
  try {
    store::ReadGuard<SubMesh> guard = store::read(support_);
    return node_index_in(*guard, node);
  } catch (const Error&) {
    return std::nullopt;  // an unreadable support holds no node
  }
}

std::optional<std::uint64_t> SubNodeField::node_index_in(const SubMesh& support, NodeId node) const {
  const mesh::NodeIndexMap& map = support.node_index_map();
  const auto it = map.find(node);
  if (it == map.end()) return std::nullopt;
  const std::uint64_t rank = it->second;
  std::uint64_t row = rank;
  if (!first_row_of_rank_.empty()) {
    if (rank >= first_row_of_rank_.size()) return std::nullopt;
    row = first_row_of_rank_[rank];
  }
  // The zone's rows are the support's cells; should a read-back record disagree
  // with its support, the node is not found rather than another node's row read.
  if (row >= nodes_.size() || nodes_[row] != node) return std::nullopt;
  return row;
}

std::optional<std::uint64_t> SubNodeField::component_index(std::string_view name) const noexcept {
  const auto c = field::find_component(components_, name);
  if (!c) return std::nullopt;
  return *c;
}

Handle<mesh::Coords> SubNodeField::coords() const {
  store::ReadGuard<SubMesh> guard = store::read(support_);
  return guard->coords();
}

SubMesh SubNodeField::support_submesh() const { return SubMesh::poi1_from_ids(coords(), nodes_); }

mesh::Mesh SubNodeField::support_mesh() const { return mesh::Mesh::from_submesh(support_submesh()); }

std::string SubNodeField::display_text() const {
  return fmt::format("SubNodeField: {} node(s), {} component(s) [{}]", nodes_.size(), components_.size(),
                     dump::join(components_, ", "));
}

std::string SubNodeField::debug_text() const {
  return dump::DebugRecord("SubNodeField")
      .field("support", support_.debug_text())
      .field("node_count", std::to_string(nodes_.size()))
      .field("components", dump::debug_quoted_list(components_))
      .finish();
}

std::string SubNodeField::dump_text(const dump::DumpOptions& options) const {
  const std::size_t nc = components_.size();
  std::vector<std::string> header;
  header.reserve(nc + 1);
  header.emplace_back("node");
  header.insert(header.end(), components_.begin(), components_.end());
  std::vector<dump::Row> rows;
  rows.reserve(nodes_.size());
  for (std::size_t r = 0; r < nodes_.size(); ++r) {
    dump::Row row;
    row.reserve(nc + 1);
    row.push_back(std::to_string(nodes_[r]));
    for (std::size_t c = 0; c < nc; ++c) row.push_back(dump::format_dump_cell(values_[r * nc + c], options));
    rows.push_back(std::move(row));
  }
  return dump::dump_titled_table(display_text(), header, rows, options);
}

void SubNodeField::encode(store::RecordWriter& w) const {
  w.write_handle(support_);
  w.write_u32_list(nodes_);
  w.write_string_list(components_);
  w.write_f64_list(values_);
}

SubNodeField SubNodeField::decode(store::RecordReader& r) {
  SubNodeField z;
  z.support_ = r.read_handle<SubMesh>();
  z.nodes_ = r.read_u32_list();
  z.components_ = r.read_string_list();
  z.values_ = r.read_f64_list();
  store::RecordReader::check(!z.components_.empty(), "SubNodeField record: no component");
  store::RecordReader::check(z.values_.size() / z.components_.size() == z.nodes_.size() &&
                                 z.values_.size() % z.components_.size() == 0,
                             "SubNodeField record: {} value(s) for {} node(s) × {} component(s)", z.values_.size(),
                             z.nodes_.size(), z.components_.size());
  z.index_rows();
  return z;
}

}  // namespace quenlith::containers::node_field
