// Runs a check in each instruction-set form of the kernels.
#pragma once

#include <gtest/gtest.h>

#include "kernels/vector_isa.hpp"

// Calls check(width) with the kernels limited to each form in turn, the
// narrowest first, and lifts the limit after. At the first form that cannot
// run (the processor lacks it, or QUARNEL_VECTORS rules it out) it stops and
// reports the test skipped, with the reason: the forms it ran still fail the
// test if they failed.
template <typename Check>
void for_each_form(Check check)
{
  struct lift_limit {
    ~lift_limit() { limit_vectors(vector_width::avx512); }
  } lift;
  limit_vectors(vector_width::avx512);
  const vector_width widest = active_vectors();
  for (const vector_width width : {vector_width::baseline, vector_width::avx2, vector_width::avx512}) {
    if (widest < width)
      GTEST_SKIP() << (cpu_vectors() < width ? "this processor has no " : "QUARNEL_VECTORS rules out ")
                   << vector_name(width) << ": that form is not compared";
    limit_vectors(width);
    SCOPED_TRACE(vector_name(width));
    check(width);
  }
}
