// The project's own input tables, for tests of whole repetitions.
#pragma once

#include "records/tables.hpp"

inline input_tables data_tables()
{
  input_tables t;
  t.span.load(DATA_DIR "/s_empirical.txt");
  t.g.load(DATA_DIR "/g_empirical.txt");
  t.pay_exponent.load(DATA_DIR "/power_to_pay_exponent.txt");
  return t;
}
