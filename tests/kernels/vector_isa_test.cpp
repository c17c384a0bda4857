// The kernels' AVX2 and AVX-512 forms against their baseline forms: the same bits.
#include "kernels/vector_isa.hpp"

#include <cstring>
#include <gtest/gtest.h>
#include <vector>

#include "kernels/fast_random.hpp"
#include "kernels/normal_bulk.hpp"
#include "kernels/power_law_runs.hpp"
#include "kernels/sparse_shuffle.hpp"
#include "kernels/survival_steps.hpp"
#include "support/vector_forms.hpp"

namespace {

// What each form makes from the same seeds: raw twister outputs over
// several blocks, normals, noise factors by both of draw_lognormals' exps (a
// scale within the inline exp's range and one beyond it), sample positions
// by the dense and the sparse shuffle (with slots drawn twice and in the
// last k), the sampler's survival steps where their series and its test
// run, and the sampler's runs (its uniforms sorted
// out against the first table entries, its walk past the table).
std::vector<double> everything_drawn()
{
  std::vector<double> made;
  mt_bulk engine;
  mt_seed(engine, 20240611u);
  for (int i = 0; i < 3 * 624 + 5; ++i) made.push_back(mt_next(engine));
  std::vector<double> z(1001);
  draw_normals(engine, z.data(), z.size());
  made.insert(made.end(), z.begin(), z.end());
  for (double scale : {0.7, 80.0}) {
    draw_lognormals(engine, 1.0, scale, z.data(), 512);
    made.insert(made.end(), z.begin(), z.begin() + 512);
  }
  for (std::uint64_t n : {std::uint64_t{3000}, std::uint64_t{9000}, std::uint64_t{1} << 30}) {
    std::vector<std::uint32_t> positions;
    draw_positions(n, 1000, 77u, positions);
    made.insert(made.end(), positions.begin(), positions.end());
  }
  for (arma::uword c : {arma::uword{5000}, arma::uword{1500000}}) {
    survival_steps steps(1, 1.8, 1.88, 2300000, c, 0.03);
    for (int i = 0; i < 3000; ++i) made.push_back(steps.next());
  }
  for (const double alpha : {1.84, 2.5}) {
    for (const value_run& run : rpld_sorted_runs(200000, 1, alpha, 2300000, 2300000, 31u)) {
      made.push_back(static_cast<double>(run.value));
      made.push_back(static_cast<double>(run.count));
    }
  }
  return made;
}

}  // namespace

TEST(vector_isa, every_form_gives_the_bits_of_the_baseline_form)
{
  std::vector<double> baseline;
  for_each_form([&](vector_width width) {
    EXPECT_EQ(active_vectors(), width);
    const std::vector<double> made = everything_drawn();
    if (width == vector_width::baseline) {
      baseline = made;
      return;
    }
    ASSERT_EQ(baseline.size(), made.size());
    // Bit for bit (memcmp), so that a NaN or a signed zero counts too.
    EXPECT_EQ(std::memcmp(baseline.data(), made.data(), baseline.size() * sizeof(double)), 0);
  });
}
