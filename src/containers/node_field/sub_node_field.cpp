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

SubNodeField::SubNodeField(Handle<SubMesh> support, std::shared_ptr<const Rows> rows,
                           std::vector<std::string> components, field::Values values)
    : support_(std::move(support)), rows_(std::move(rows)), components_(std::move(components)), values_(std::move(values)) {}

const std::shared_ptr<const SubNodeField::Rows>& SubNodeField::no_rows() {
  static const std::shared_ptr<const Rows> empty = std::make_shared<const Rows>();
  return empty;
}

std::shared_ptr<const SubNodeField::Rows> SubNodeField::make_rows(std::vector<NodeId> nodes) {
  auto rows = std::make_shared<Rows>();
  rows->nodes = std::move(nodes);
  // Most supports list every node once: then a node's rank is its row and no table
  // is kept.
  if (has_repeated_ids(rows->nodes)) {
    const std::vector<NodeId>& ids = rows->nodes;
    IdIndex ranks = IdIndex::for_ids(ids);
    rows->rank_of_row.resize(ids.size());
    for (std::size_t row = 0; row < ids.size(); ++row) {
      const auto [rank, added] =
          ranks.try_insert(ids[row], static_cast<std::uint32_t>(rows->first_row_of_rank.size()));
      if (added) rows->first_row_of_rank.push_back(static_cast<std::uint32_t>(row));
      rows->rank_of_row[row] = rank;
    }
  }
  return rows;
}

SubNodeField SubNodeField::create(const Handle<SubMesh>& support, std::vector<std::string> components) {
  return make(support, std::move(components), nullptr);
}

SubNodeField SubNodeField::create(const Handle<SubMesh>& support, std::vector<std::string> components,
                                  field::Values values) {
  return make(support, std::move(components), &values);
}

SubNodeField SubNodeField::create(const Handle<SubMesh>& support, std::vector<std::string> components,
                                  std::span<const double> values) {
  field::Values copy(values.begin(), values.end());
  return make(support, std::move(components), &copy);
}

SubNodeField SubNodeField::make(const Handle<SubMesh>& support, std::vector<std::string> components,
                                field::Values* values) {
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
  field::Values filled;
  if (values) {
    QUENLITH_VERIFY(values->size() == count, "SubNodeField: {} value(s) for {} node(s) × {} component(s)",
                    values->size(), nodes.size(), components.size());
    filled = std::move(*values);
  } else {
    filled.assign(count, 0.0);
  }
  return SubNodeField(support, make_rows(std::move(nodes)), std::move(components), std::move(filled));
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

SubNodeField SubNodeField::clone() const { return with_values(field::copy_values(values_)); }

SubNodeField SubNodeField::with_values(field::Values values) const {
  return SubNodeField(support_, rows_, components_, std::move(values));
}

SubNodeField SubNodeField::with_components(std::vector<std::string> names, field::Values values) const {
  return SubNodeField(support_, rows_, std::move(names), std::move(values));
}

SubNodeField SubNodeField::select_components(std::span<const std::string> names) const {
  auto picked = field::select_components<field::Values>(components_, values_, names);
  return SubNodeField(support_, rows_, std::move(picked.names), std::move(picked.values));
}

void SubNodeField::check_row(std::uint64_t row) const {
  QUENLITH_VERIFY(row < node_count(), "node index {} ≥ node_count {}", row, node_count());
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
  const Rows& rows = *rows_;
  if (!rows.first_row_of_rank.empty()) {
    if (rank >= rows.first_row_of_rank.size()) return std::nullopt;
    row = rows.first_row_of_rank[rank];
  }
  // The zone's rows are the support's cells; should a read-back record disagree
  // with its support, the node is not found rather than another node's row read.
  if (row >= rows.nodes.size() || rows.nodes[row] != node) return std::nullopt;
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

SubMesh SubNodeField::support_submesh() const { return SubMesh::poi1_from_ids(coords(), nodes()); }

mesh::Mesh SubNodeField::support_mesh() const { return mesh::Mesh::from_submesh(support_submesh()); }

std::string SubNodeField::display_text() const {
  return fmt::format("SubNodeField: {} node(s), {} component(s) [{}]", node_count(), components_.size(),
                     dump::join(components_, ", "));
}

std::string SubNodeField::debug_text() const {
  return dump::DebugRecord("SubNodeField")
      .field("support", support_.debug_text())
      .field("node_count", std::to_string(node_count()))
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
  const std::span<const NodeId> ids = nodes();
  rows.reserve(ids.size());
  for (std::size_t r = 0; r < ids.size(); ++r) {
    dump::Row row;
    row.reserve(nc + 1);
    row.push_back(std::to_string(ids[r]));
    for (std::size_t c = 0; c < nc; ++c) row.push_back(dump::format_dump_cell(values_[r * nc + c], options));
    rows.push_back(std::move(row));
  }
  return dump::dump_titled_table(display_text(), header, rows, options);
}

void SubNodeField::encode(store::RecordWriter& w) const {
  w.write_handle(support_);
  w.write_u32_list(nodes());
  w.write_string_list(components_);
  w.write_f64_list(values_);
}

SubNodeField SubNodeField::decode(store::RecordReader& r) {
  SubNodeField z;
  z.support_ = r.read_handle<SubMesh>();
  std::vector<NodeId> nodes = r.read_u32_list();
  z.components_ = r.read_string_list();
  {
    const std::vector<double> values = r.read_f64_list();
    z.values_.assign(values.begin(), values.end());
  }
  store::RecordReader::check(!z.components_.empty(), "SubNodeField record: no component");
  store::RecordReader::check(z.values_.size() / z.components_.size() == nodes.size() &&
                                 z.values_.size() % z.components_.size() == 0,
                             "SubNodeField record: {} value(s) for {} node(s) × {} component(s)", z.values_.size(),
                             nodes.size(), z.components_.size());
  z.rows_ = make_rows(std::move(nodes));
  return z;
}

}  // namespace quenlith::containers::node_field
