// Reproduces the survival recurrence of rpld's cumulative table
// (stats/rpld.cpp) bit for bit.
//
// The survival recurrence of the discrete power-law sampler, exactly and fast.
//
// survival_steps steps(xmin, alpha, h, m, c, s) yields, call after call of
// steps.next(), the survival after entries c, c + 1, ... (each below m):
//     s = s - std::pow(double(xmin) + double(c), -alpha) / h
// with exactly the doubles that this expression gives, call for call.
//
// It calls std::pow only where it must. From x = 4096 on, a batch's terms
// follow from the first one by the binomial series of (1 + u)^-alpha, which
// stays within 2^-47 of the C library's term; the chain of subtractions is
// run on them, and a step is kept only when the subtraction's exact error,
// widened by 2^-44 of the term, stays strictly inside the rounding interval
// of its result, so that the library's term rounds to the same double. Any
// other step (about 400 / x of them) is redone with std::pow, and the chain
// continues from its result. While the survivals stay inside one binade,
// the chain is run as whole units of its last place instead: each term
// rounded to the nearest whole number of units (kept when every term within
// 2^-44 of it rounds alike), and the survivals the start less the running
// sum of those numbers, which integers add exactly and fast. Before x =
// 4096, for alpha above 16 and for a normaliser h that is not positive and
// finite, every step calls std::pow. The series, the tests and the running
// sums run in the widest vector form the processor has (vector_isa.hpp);
// every form gives the same doubles.
//
// approximate_terms(xmin, alpha, h, c, n, out) writes those series terms
// for entries c, c + 1, ... and returns how many it wrote: at most n,
// max_terms and x / 256, and 0 where the series is not used. The form that
// takes series_for(alpha) spares recomputing the series' coefficients.
#pragma once

#include <armadillo>
#include <cstddef>
#include <cstdint>

constexpr std::size_t max_terms = 1024;
constexpr int max_degree = 24;

// The coefficients of (1 + u)^-alpha's binomial series for one alpha, to
// the degree the series needs (0: the series is not used for this alpha).
struct binomial_series {
  int degree = 0;
  double a[max_degree + 2] = {};
};

binomial_series series_for(double alpha);

std::size_t approximate_terms(int xmin, double alpha, double h, arma::uword c, std::size_t n,
                              double* out);
std::size_t approximate_terms(const binomial_series& series, int xmin, double alpha, double h, arma::uword c,
                              std::size_t n, double* out);

// Whether s[0 .. n-1] never rises: s[j] <= s[j - 1] for every j >= 1, so
// false when any of s[1 .. n-1] or a neighbour of it is NaN. Runs in the
// widest vector form the processor has.
bool never_rises(const double* s, std::size_t n);

class survival_steps {
 public:
  survival_steps(int xmin, double alpha, double h, arma::uword m, arma::uword c, double s)
      : xmin_(xmin), alpha_(alpha), h_(h), m_(m), c_(c), series_(series_for(alpha)) {
    chain_[0] = s;
  }

  double next() {
    if (used_ == have_) refill();
    return chain_[++used_];
  }

  // The same survivals a batch at a time: the next count (at least 1) in
  // order, as count calls of next() would give them; valid until the next
  // call.
  const double* next_batch(std::size_t& count) {
    if (used_ == have_) refill();
    const double* first = chain_ + used_ + 1;
    count = have_ - used_;
    used_ = have_;
    return first;
  }

  // Steps so far that called std::pow.
  std::size_t exact_calls() const { return exact_; }

 private:
  static constexpr std::size_t batch = max_terms;

  void refill();
  // Takes the batch's steps from chain_[0] on as whole units of one binade
  // while it can; returns the first step it did not take (n: all).
  std::size_t steps_in_units(std::size_t n);
  double exact_step(double s, arma::uword c);

  int xmin_;
  double alpha_, h_;
  arma::uword m_, c_;  // c_: the entry whose term comes first in the next batch
  binomial_series series_;
  // chain_[0] is the survival before the batch, chain_[i + 1] the one after
  // its step i, taken with term_[i].
  double term_[batch], chain_[batch + 1];
  std::int64_t units_[batch];
  unsigned char whole_[batch];
  std::size_t have_ = 0, used_ = 0, exact_ = 0;
};
