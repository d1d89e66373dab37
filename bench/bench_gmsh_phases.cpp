// Splits the reading of gmsh files into its phases: reading the file, parsing it, and
// turning the parsed nodes and elements into nodes and cells.
//
//   build/bench/bench_gmsh_phases file.msh [...]
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "containers/mesh/coords.hpp"
#include "ops/io/gmsh/ascii.hpp"
#include "ops/io/gmsh/binary.hpp"
#include "ops/io/gmsh/reader.hpp"
#include "store/store.hpp"
#include "store/swap_file.hpp"

namespace {

using namespace quenlith::ops::io::gmsh;
using quenlith::containers::mesh::Coords;
namespace store = quenlith::store;
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

void run(const std::string& path) {
  const auto t0 = Clock::now();
  const std::vector<std::uint8_t> raw = store::read_swap_file(path);
  const auto t1 = Clock::now();
  const std::string_view bytes(reinterpret_cast<const char*>(raw.data()), raw.size());
  // The binary files of this benchmark are written by gmsh: "4.1 1 8" after $MeshFormat.
  const std::size_t header = bytes.find("\n", bytes.find("$MeshFormat")) + 1;
  const std::size_t after_header = bytes.find("\n", header) + 1;
  const bool binary = bytes.substr(header, after_header - header).find(" 1 ") != std::string_view::npos;
  const GmshMeshData data = binary ? parse_gmsh_binary(bytes, after_header, 4) : parse_gmsh_ascii(bytes);
  const auto t2 = Clock::now();
  const GmshGroups groups = read_gmsh_bytes(store::insert(Coords(3)), bytes);
  const auto t3 = Clock::now();
  const double mb = double(raw.size()) / 1e6;
  std::printf("%-40s %8.1f MB  read %6.3f s  parse %6.3f s (%7.1f MB/s)  parse+build %6.3f s (%7.1f MB/s)  %llu elements\n",
              path.c_str(), mb, seconds(t0, t1), seconds(t1, t2), mb / seconds(t1, t2), seconds(t2, t3),
              mb / seconds(t2, t3), static_cast<unsigned long long>(data.element_count()));
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) run(argv[i]);
  return 0;
}
