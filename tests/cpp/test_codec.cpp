// The swap-record codec: byte layout, round trips, and the decoder messages, as a
// table of malformed records. The records here have the shapes of the stored types'
// records (a submesh, a node-field zone, a curve with nested zones).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/record_reader.hpp"
#include "store/record_writer.hpp"
#include "store/store.hpp"

namespace {

using namespace quenlith::store;
using quenlith::Error;
using Bytes = std::vector<std::uint8_t>;

struct Target {};  // only named by handles here, never stored

}  // namespace

template <>
struct quenlith::store::StoredTypeTraits<Target> {
  static constexpr std::string_view type_path = "test::Target";
  static constexpr bool writable = false;
  static void encode(const Target&, RecordWriter&) {}
  static Target decode(RecordReader&) { return {}; }
};

namespace {

// A submesh's record: element type, coords handle, connectivity, colour, sealed.
struct MeshRecord {
  std::uint32_t element_type = 0;
  Handle<Target> coords;
  std::vector<std::uint32_t> connectivity;
  std::uint8_t rgb[3] = {180, 200, 230};
  bool sealed = false;

  void encode(RecordWriter& w) const {
    w.write_variant(element_type);
    w.write_handle(coords);
    w.write_u32_list(connectivity);
    for (std::uint8_t c : rgb) w.write_u8(c);
    w.write_bool(sealed);
  }
  static MeshRecord decode(RecordReader& r) {
    MeshRecord m;
    m.element_type = r.read_variant(15);
    m.coords = r.read_handle<Target>();
    m.connectivity = r.read_u32_list();
    for (std::uint8_t& c : m.rgb) c = r.read_u8();
    m.sealed = r.read_bool();
    return m;
  }
};

// A node-field zone's record.
struct ZoneRecord {
  Handle<Target> support;
  std::vector<std::uint32_t> nodes;
  std::vector<std::string> components;
  std::vector<double> values;

  void encode(RecordWriter& w) const {
    w.write_handle(support);
    w.write_u32_list(nodes);
    w.write_string_list(components);
    w.write_f64_list(values);
  }
  static ZoneRecord decode(RecordReader& r) {
    ZoneRecord z;
    z.support = r.read_handle<Target>();
    z.nodes = r.read_u32_list();
    z.components = r.read_string_list();
    z.values = r.read_f64_list();
    return z;
  }
};

// A curve's record: abscissas, values (scalar or whole zone), policy, two optional texts.
struct CurveRecord {
  std::vector<double> abscissas;
  std::vector<std::optional<ZoneRecord>> values;  // nullopt: a scalar 0.5
  std::uint32_t out_of_range = 0;
  std::optional<std::string> abscissa_type;
  std::optional<std::string> ordinate_type;

  void encode(RecordWriter& w) const {
    w.write_f64_list(abscissas);
    w.write_list(values, [](RecordWriter& w, const std::optional<ZoneRecord>& v) {
      w.write_variant(v ? 1 : 0);
      if (v)
        v->encode(w);
      else
        w.write_f64(0.5);
    });
    w.write_variant(out_of_range);
    auto text = [](RecordWriter& w, const std::string& s) { w.write_string(s); };
    w.write_optional(abscissa_type, text);
    w.write_optional(ordinate_type, text);
  }
  static CurveRecord decode(RecordReader& r) {
    CurveRecord c;
    c.abscissas = r.read_f64_list();
    c.values = r.read_list([](RecordReader& r) -> std::optional<ZoneRecord> {
      switch (r.read_variant(3)) {
        case 0: (void)r.read_f64(); return std::nullopt;
        default: return ZoneRecord::decode(r);
      }
    });
    c.out_of_range = r.read_variant(3);
    auto text = [](RecordReader& r) { return r.read_string(); };
    c.abscissa_type = r.read_optional(text);
    c.ordinate_type = r.read_optional(text);
    return c;
  }
};

// Decoding as the store does it: handles read from a record give nothing back when
// the decoding fails (and these test handles name nothing).
template <class R>
std::string decode_message(const Bytes& bytes) {
  detail::OwnershipNeutralScope neutral;
  try {
    RecordReader reader(bytes);
    (void)R::decode(reader);
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), Error::Kind::Serialization);
    return e.payload();
  }
  return "";
}

template <class R>
Bytes encode(const R& record) {
  RecordWriter w;
  record.encode(w);
  return w.take();
}

Handle<Target> handle(std::uint32_t idx, std::uint32_t gen) {
  RecordWriter w;
  w.write_u32(idx);
  w.write_u32(gen);
  RecordReader r(w.bytes());
  detail::OwnershipNeutralScope neutral;
  return r.read_handle<Target>();
}

Bytes le64(std::uint64_t v) {
  Bytes out;
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  return out;
}
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kEmptyMesh = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xB4, 0xC8, 0xE6, 0};

TEST(CodecLayout, EmptyPoi1SubmeshIsTwentyFourBytes) {
  detail::OwnershipNeutralScope neutral;
  MeshRecord m;
  m.coords = handle(0, 1);
  EXPECT_EQ(encode(m), kEmptyMesh);
  RecordReader r(kEmptyMesh);
  const MeshRecord back = MeshRecord::decode(r);
  EXPECT_EQ(back.coords, m.coords);
  EXPECT_TRUE(back.connectivity.empty());
  EXPECT_EQ(back.rgb[2], 230);
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(CodecLayout, OptionalsStringsAndLists) {
  RecordWriter w;
  w.write_optional(std::optional<std::vector<std::uint32_t>>{},
                   [](RecordWriter& w, const std::vector<std::uint32_t>& v) { w.write_u32_list(v); });
  EXPECT_EQ(w.bytes(), (Bytes{0}));
  w.write_optional(std::optional<std::vector<std::uint32_t>>{std::vector<std::uint32_t>{}},
                   [](RecordWriter& w, const std::vector<std::uint32_t>& v) { w.write_u32_list(v); });
  EXPECT_EQ(w.bytes(), (Bytes{0, 1, 0, 0, 0, 0, 0, 0, 0, 0}));

  RecordWriter s;
  s.write_string("");
  s.write_string("ux");
  s.write_f64(1.0);
  s.write_u64(0x0102030405060708ull);
  s.write_bool_list({true, false});
  EXPECT_EQ(s.bytes(), cat({le64(0), le64(2), {'u', 'x'}, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F},
                           {8, 7, 6, 5, 4, 3, 2, 1}, le64(2), {1, 0}}));
  RecordReader r(s.bytes());
  EXPECT_EQ(r.read_string(), "");
  EXPECT_EQ(r.read_string(), "ux");
  EXPECT_EQ(r.read_f64(), 1.0);
  EXPECT_EQ(r.read_u64(), 0x0102030405060708ull);
  EXPECT_EQ(r.read_bool_list(), (std::vector<bool>{true, false}));
}

TEST(CodecLayout, NestedRecordsRoundTripAndTrailingBytesAreIgnored) {
  detail::OwnershipNeutralScope neutral;
  CurveRecord c;
  c.abscissas = {0.0, 1.0, 2.0};
  ZoneRecord z;
  z.support = handle(3, 7);
  z.nodes = {4, 5};
  z.components = {"ux", "uy"};
  z.values = {1, 2, 3, 4};
  c.values = {std::nullopt, z, std::nullopt};
  c.out_of_range = 2;
  c.ordinate_type = "é";
  Bytes bytes = encode(c);
  for (Bytes data : {bytes, cat({bytes, {1, 2, 3}})}) {
    RecordReader r(data);
    const CurveRecord back = CurveRecord::decode(r);
    EXPECT_EQ(back.abscissas, c.abscissas);
    ASSERT_EQ(back.values.size(), 3u);
    ASSERT_TRUE(back.values[1].has_value());
    EXPECT_EQ(back.values[1]->support, z.support);
    EXPECT_EQ(back.values[1]->components, z.components);
    EXPECT_EQ(back.values[1]->values, z.values);
    EXPECT_EQ(back.out_of_range, 2u);
    EXPECT_FALSE(back.abscissa_type.has_value());
    EXPECT_EQ(back.ordinate_type, "é");
  }
}

// ---------------------------------------------------------------------------
// Decoder messages

enum class Shape { Mesh, Zone, Curve };

struct BadRecord {
  const char* name;
  Shape shape;
  Bytes bytes;
  std::string message;  // empty: decodes
};

void PrintTo(const BadRecord& c, std::ostream* os) { *os << c.name; }

Bytes mesh_with(std::size_t at, std::uint8_t byte) {
  Bytes b = kEmptyMesh;
  b[at] = byte;
  return b;
}

Bytes zone_prefix() {
  // support (0, 1), nodes [9], components count 2, first "ux"
  return cat({{0, 0, 0, 0, 1, 0, 0, 0}, le64(1), {9, 0, 0, 0}, le64(2), le64(2), {'u', 'x'}});
}

Bytes zone_with_component(Bytes text_bytes) {
  return cat({{0, 0, 0, 0, 1, 0, 0, 0}, le64(0), le64(1), le64(text_bytes.size()), text_bytes, le64(0)});
}

Bytes curve_with_tail(Bytes tail) {
  return cat({le64(1), {0, 0, 0, 0, 0, 0, 0, 0}, le64(1), {0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0xE0, 0x3F}, tail});
}

const char kEnd[] = "io error: unexpected end of file";

std::vector<BadRecord> bad_records() {
  const Bytes with_cells = cat({Bytes(kEmptyMesh.begin(), kEmptyMesh.begin() + 12), le64(3), {1, 0, 0, 0, 2, 0}});
  return {
      {"empty_mesh_decodes", Shape::Mesh, kEmptyMesh, ""},
      {"empty_input", Shape::Mesh, {}, kEnd},
      {"cut_in_handle", Shape::Mesh, Bytes(kEmptyMesh.begin(), kEmptyMesh.begin() + 6), kEnd},
      {"cut_in_connectivity", Shape::Mesh, with_cells, kEnd},
      {"cut_before_sealed", Shape::Mesh, Bytes(kEmptyMesh.begin(), kEmptyMesh.end() - 1), kEnd},
      {"sealed_byte_2", Shape::Mesh, mesh_with(23, 2), "invalid u8 while decoding bool, expected 0 or 1, found 2"},
      {"sealed_byte_255", Shape::Mesh, mesh_with(23, 255),
       "invalid u8 while decoding bool, expected 0 or 1, found 255"},
      {"element_type_15", Shape::Mesh, mesh_with(0, 15), "invalid value: integer `15`, expected variant index 0 <= i < 15"},
      {"element_type_20", Shape::Mesh, mesh_with(0, 20), "invalid value: integer `20`, expected variant index 0 <= i < 15"},
      {"element_type_14_decodes", Shape::Mesh, mesh_with(0, 14), ""},
      {"list_count_2_pow_40", Shape::Mesh,
       cat({Bytes(kEmptyMesh.begin(), kEmptyMesh.begin() + 12), le64(1ull << 40), Bytes(16, 0)}), kEnd},
      {"list_count_max", Shape::Mesh, cat({Bytes(kEmptyMesh.begin(), kEmptyMesh.begin() + 12), le64(~0ull)}), kEnd},
      {"second_component_runs_out", Shape::Zone, cat({zone_prefix(), le64(10), {'a', 'b', 'c'}}), "io error: "},
      {"component_length_cut", Shape::Zone, cat({zone_prefix(), {10, 0, 0}}), kEnd},
      {"string_count_2_pow_40", Shape::Zone,
       cat({{0, 0, 0, 0, 1, 0, 0, 0}, le64(0), le64(1ull << 40), le64(0), le64(0), le64(0), le64(0)}), kEnd},
      {"component_bad_byte", Shape::Zone, zone_with_component({'a', 0x80}),
       "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 1"},
      {"component_cut_sequence", Shape::Zone, zone_with_component({'a', 'b', 0xE2, 0x82}),
       "string is not valid utf8: incomplete utf-8 byte sequence from index 2"},
      {"component_bad_third_byte", Shape::Zone, zone_with_component({0xE2, 0x82, 'x'}),
       "string is not valid utf8: invalid utf-8 sequence of 2 bytes from index 0"},
      {"values_cut", Shape::Zone, cat({{0, 0, 0, 0, 1, 0, 0, 0}, le64(0), le64(0), le64(2), Bytes(15, 0)}), kEnd},
      {"curve_decodes", Shape::Curve, curve_with_tail({0, 0, 0, 0, 0, 0}), ""},
      {"curve_value_variant_3", Shape::Curve,
       cat({le64(1), Bytes(8, 0), le64(1), {3, 0, 0, 0}}), "invalid value: integer `3`, expected variant index 0 <= i < 3"},
      {"curve_policy_7", Shape::Curve, curve_with_tail({7, 0, 0, 0, 0, 0}),
       "invalid value: integer `7`, expected variant index 0 <= i < 3"},
      {"curve_option_tag_2", Shape::Curve, curve_with_tail({0, 0, 0, 0, 2, 0}), "tag for enum is not valid, found 2"},
      {"curve_second_option_missing", Shape::Curve, curve_with_tail({0, 0, 0, 0, 0}), kEnd},
      {"curve_nested_zone_cut", Shape::Curve, cat({le64(1), Bytes(8, 0), le64(1), {1, 0, 0, 0}, {0, 0, 0, 0, 1, 0}}),
       kEnd},
  };
}

class DecoderMessages : public ::testing::TestWithParam<BadRecord> {};

TEST_P(DecoderMessages, MatchesTheLetter) {
  const BadRecord& c = GetParam();
  std::string message;
  switch (c.shape) {
    case Shape::Mesh: message = decode_message<MeshRecord>(c.bytes); break;
    case Shape::Zone: message = decode_message<ZoneRecord>(c.bytes); break;
    case Shape::Curve: message = decode_message<CurveRecord>(c.bytes); break;
  }
  EXPECT_EQ(message, c.message);
}

INSTANTIATE_TEST_SUITE_P(Codec, DecoderMessages, ::testing::ValuesIn(bad_records()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// UTF-8 validation, byte by byte

struct Utf8Case {
  const char* name;
  Bytes bytes;
  std::string message;  // empty: valid
};
void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name; }

class Utf8Errors : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Errors, LikeTheDecoder) {
  const Utf8Case& c = GetParam();
  EXPECT_EQ(utf8_error(c.bytes).value_or(""), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Codec, Utf8Errors,
    ::testing::ValuesIn(std::vector<Utf8Case>{
        {"ascii", {'a', 'b', 'c'}, ""},
        {"two_byte", {0xC3, 0xA9}, ""},
        {"four_byte", {0xF0, 0x9F, 0x98, 0x80}, ""},
        {"lone_continuation", {'a', 0x80}, "invalid utf-8 sequence of 1 bytes from index 1"},
        {"overlong_c0", {0xC0, 0x80}, "invalid utf-8 sequence of 1 bytes from index 0"},
        {"lead_f5", {0xF5, 0x80, 0x80, 0x80}, "invalid utf-8 sequence of 1 bytes from index 0"},
        {"two_byte_cut", {'x', 0xC3}, "incomplete utf-8 byte sequence from index 1"},
        {"two_byte_bad_second", {0xC3, 0x28}, "invalid utf-8 sequence of 1 bytes from index 0"},
        {"three_byte_cut", {0xE2, 0x82}, "incomplete utf-8 byte sequence from index 0"},
        {"three_byte_bad_third", {0xE2, 0x82, 0x28}, "invalid utf-8 sequence of 2 bytes from index 0"},
        {"overlong_e0", {0xE0, 0x80, 0x80}, "invalid utf-8 sequence of 1 bytes from index 0"},
        {"overlong_e0_cut", {0xE0, 0x80}, "invalid utf-8 sequence of 1 bytes from index 0"},
        {"surrogate", {0xED, 0xA0, 0x80}, "invalid utf-8 sequence of 1 bytes from index 0"},
        {"four_byte_cut", {0xF0, 0x9F, 0x98}, "incomplete utf-8 byte sequence from index 0"},
        {"four_byte_bad_fourth", {0xF0, 0x9F, 0x98, 0x28}, "invalid utf-8 sequence of 3 bytes from index 0"},
        {"past_max", {0xF4, 0x90, 0x80, 0x80}, "invalid utf-8 sequence of 1 bytes from index 0"},
        {"after_valid", {0xC3, 0xA9, 'a', 0xFF}, "invalid utf-8 sequence of 1 bytes from index 3"},
    }),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CodecChecks, CheckThrowsSerializationWithText) {
  try {
    RecordReader::check(false, "nodes has {} entries, values {}", 3, 5);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), Error::Kind::Serialization);
    EXPECT_EQ(e.text(), "serialization error: nodes has 3 entries, values 5");
  }
  RecordReader::check(true, "unused");
}

}  // namespace
