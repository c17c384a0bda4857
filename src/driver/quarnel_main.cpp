// quarnel: the inequality simulation, with a power-to-pay exponent drawn per
// repetition.
#include "driver/driver.hpp"
#include "loops/fast_repetition.hpp"

int main(int argc, char* argv[])
{
  const program_settings program{
      "quarnel", 100000, "inequality.csv",
      "Simulates the inequality of power and pay in economies of hierarchical firms."};
  return run_program(
      program,
      [](const repetition_inputs& in, const repetition_id& id) {
        return run_repetition_fast(in, id, pay_exponent_rule::drawn);
      },
      argc, argv);
}
