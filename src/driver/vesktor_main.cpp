// vesktor: the frontier simulation, in which pay is power times noise
// (power-to-pay exponent fixed at 1).
#include "driver/driver.hpp"
#include "loops/fast_repetition.hpp"

int main(int argc, char* argv[])
{
  const program_settings program{
      "vesktor", 10000, "inequality_frontier.csv",
      "Simulates the inequality frontier: pay is power times log-normal noise.", false};
  return run_program(
      program,
      [](const repetition_inputs& in, const repetition_id& id) {
        return run_repetition_fast(in, id, pay_exponent_rule::one);
      },
      argc, argv);
}
