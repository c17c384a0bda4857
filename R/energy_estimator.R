# Post-processing of the results files written by quarnel and vesktor.
#
# Usage: Rscript energy_estimator.R [--] [RESULTS_FILE ...]
#
# With no arguments it reads from ../results the default results file of each
# program built in ../executables, as "PROGRAM --print-results-file" names it
# (quarnel's and vesktor's), ../results and ../executables being taken
# relative to the directory of this script (the programs start it in R/
# beside results/); without any program there it stops (exit status 2).
# Named files are read instead when given: a plain file name (no '/') from
# ../results, a path as it is; after "--" every argument is a name, even one
# that begins with '-' (the programs pass "--" before a name).
#
# A results file is checked against the metadata its run wrote beside it
# (<stem>.json, named as the programs name it): one that differs in SHA-256 or
# rows from a complete run's metadata is an error, and nothing is written for
# it; one without such metadata gets a one-line warning and is processed.
#
# A results file has no header and one row per repetition of seven
# comma-separated numbers (the column names are in RESULT_COLUMNS below).
# Numbers may be written as "nan", "-nan", "inf" or "-inf"; rows holding a
# NaN or infinite value are counted, reported and left out of everything
# below. For a results file <stem>.csv it writes, beside it:
#   <stem>_summary.csv   count, mean, sd and the 1/10/50/90/99 % quantiles
#                        of each column; then the mean's standard error and
#                        95 % Student t interval, a distribution-free 95 %
#                        interval for each quantile, and a note naming the
#                        intervals (NA) that too few rows make impossible
#   <stem>_binned.csv    median and 10 % / 90 % quantiles of the Ginis and
#                        top 1 % shares per logarithmic bin of the mean firm
#                        size (ten bins per decade), with each bin's count;
#                        then each median's 95 % interval and a note
#   <stem>_sensitivity.csv  when a drawn exponent (column 4 or 7) varies and
#                        there are 20 rows or more: per measure (mean firm
#                        size, Ginis, top 1 % shares) and varying exponent
#                        the first-order sensitivity index with a 95 %
#                        bootstrap interval, and the rest (1 - their sum)
#   <stem>_gini.png      Gini of power and of pay against mean firm size
#   <stem>_top_share.png top 1 % shares of power and pay against mean firm size
#   <stem>_pay_gini_vs_exponent.png
#                        Gini of pay against the power-to-pay exponent (only
#                        when that exponent varies, i.e. for quarnel)
#   <stem>_sensitivity.png  the sensitivity table's indices and intervals
#   <stem>_report.html   one self-contained page: the run's metadata (from
#                        <stem>.json), the tables above with their intervals
#                        and the plots as inline SVG (at most 4000 rows drawn
#                        as points)
# A sweep table <stem>.sweep.csv (written by a run with --sweep: a header
# "point,file,<setting>,...", then one line per point) is read with every
# point's results file beside it, and gives instead:
#   <stem>.sweep_summary.csv  per point: its settings, rows used, and the 10 %,
#                        50 % and 90 % quantiles of the Ginis and top 1 % shares;
#                        then each median's 95 % interval and a note
#   <stem>.sweep_differences.csv  every point after the first against the
#                        first, per measure: the mean difference with its
#                        standard error and 95 % interval, paired by
#                        repetition where both points' metadata (<point
#                        stem>.json) show the same seed and repetitions in
#                        common (pairing "paired"; the variance ratio says
#                        how many times more repetitions an unpaired
#                        comparison would need), else Welch's unpaired
#                        interval (pairing "unpaired", the note says why)
#   <stem>.sweep_<setting>.png  for each swept setting: median and 10-90 %
#                        band of the two Ginis and two top shares against the
#                        setting's value (the rows of every point with that
#                        value pooled); below, the differences to the first
#                        point of the points differing from it in this
#                        setting alone
#   <stem>.sweep_report.html  one self-contained page: the first point's
#                        metadata, the per-point summary, the differences
#                        and the plots as inline SVG
# Every output is written under a temporary name and renamed into place.
#
# A missing or empty results file is a note. A malformed one (a line without
# exactly seven values, or a value that is not a number) is an error naming
# the file and line; the other files are still processed.
# Exit status: 0 success (notes and warnings included); 1 a results file is
# malformed, unreadable or not the one its metadata describes (or any other
# unexpected error); 2 usage error; 3 an output could not be written.
# Base R only, and coreutils' sha256sum.

RESULT_COLUMNS <- c(
  mean_firm_size        = "mean firm size",
  gini_power            = "Gini of power",
  gini_pay              = "Gini of pay",
  power_to_pay_exponent = "power-to-pay exponent",
  top1_share_power      = "top 1 % share of power",
  top1_share_pay        = "top 1 % share of pay",
  firm_size_exponent    = "firm-size exponent"
)
DEFAULT_PROGRAMS <- c("quarnel", "vesktor")
# The default results files: the name each program in ../executables gives
# when asked. Stops with a message when no program is there (nothing names
# the files) or one gives no plain .csv file name.
default_files <- function() {
  dir <- normalizePath(file.path(script_dir(), "..", "executables"), mustWork = FALSE)
  programs <- file.path(dir, DEFAULT_PROGRAMS)
  programs <- programs[file_test("-f", programs) & file_test("-x", programs)]
  if (length(programs) == 0) {
    cat(PROG, ": no program in ", dir, " to name the default results files (build ",
        paste(DEFAULT_PROGRAMS, collapse = " or "), " with scripts/setup.sh, or name the files: ",
        "Rscript ", PROG, " RESULTS_FILE ...)\n", sep = "", file = stderr())
    quit(save = "no", status = EXIT_USAGE)
  }
  vapply(programs, function(program) {
    name <- suppressWarnings(tryCatch(
      system2(program, "--print-results-file", stdout = TRUE, stderr = FALSE),
      error = function(e) character(0)))
    if (!is.null(attr(name, "status")) || length(name) != 1 || !grepl("^[^/]+[.]csv$", name)) {
      cat(PROG, ": error: ", program, " --print-results-file named no results file\n",
          sep = "", file = stderr())
      quit(save = "no", status = EXIT_MALFORMED)
    }
    name
  }, "", USE.NAMES = FALSE)
}
SUMMARY_PROBS <- c(0.01, 0.10, 0.50, 0.90, 0.99)
BINS_PER_DECADE <- 10
BINNED_MEASURES <- c("gini_power", "gini_pay", "top1_share_power", "top1_share_pay")

EXIT_MALFORMED <- 1L
EXIT_USAGE <- 2L
EXIT_OUTPUT <- 3L

PROG <- "energy_estimator.R"
COLOUR_POWER <- "#1f5fa8"
COLOUR_PAY <- "#d2620a"

# Conditions that carry the exit status of the failure they report.
failure <- function(message, status) {
  structure(class = c("estimator_failure", "error", "condition"),
            list(message = message, call = NULL, status = status))
}

# Notes go to the standard output while it takes them. When it is gone (a
# pipe whose reader has finished, as `| head` does) the notes are dropped
# and the work goes on: the outputs are what the run is for.
stdout_open <- TRUE
note <- function(...) {
  if (stdout_open) {
    tryCatch(cat(..., "\n", sep = ""), error = function(e) stdout_open <<- FALSE)
  }
  invisible(NULL)
}

warn <- function(...) cat(PROG, ": warning: ", ..., "\n", sep = "", file = stderr())

# "1 row", "2 rows"
count_of <- function(n, what) sprintf("%d %s%s", n, what, if (n == 1) "" else "s")

# Quote a token from the file for a message: printable, short, and safe for
# bytes that are not valid in the current encoding.
show_token <- function(token) {
  token <- iconv(token, from = "", to = "ASCII", sub = "?")
  if (is.na(token)) token <- "?"
  if (nchar(token) > 40) token <- paste0(substr(token, 1, 37), "...")
  encodeString(token, quote = "'")
}

# ---------------------------------------------------------------------------
# The run's metadata

# The metadata file of a results file, named as the programs name it: the
# last extension replaced by ".json" (none replaced when the only dot leads
# the name), or ".json" appended when that gives the name itself.
metadata_path <- function(path) {
  name <- basename(path)
  json <- paste0(sub("^(.+)[.][^.]*$", "\\1", name, useBytes = TRUE), ".json")
  if (json == name) json <- paste0(name, ".json")
  file.path(dirname(path), json)
}

# The text of the value of the top-level `key` in the metadata's JSON text
# (a string with its quotes, a number or null), or NA unless it occurs
# exactly once. The metadata's keys are fixed and no nested object uses
# these, and a quote inside a string is escaped, so a key is a quoted name
# after '{', ',' or a blank and before ':'.
json_value <- function(text, key) {
  pattern <- sprintf('(^|[{,[:space:]])"%s"[[:space:]]*:[[:space:]]*("([^"\\\\]|\\\\.)*"|-?[0-9]+|null)',
                     key)
  found <- regmatches(text, gregexpr(pattern, text, perl = TRUE, useBytes = TRUE))[[1]]
  if (length(found) != 1) return(NA_character_)
  sub("^[^:]*:[[:space:]]*", "", sub('^[{,[:space:]]*"[^"]*"', "", found, useBytes = TRUE), useBytes = TRUE)
}

# A file name as a JSON string (quotes and backslashes escaped).
json_string <- function(text) {
  paste0('"', gsub('(["\\\\])', "\\\\\\1", text, useBytes = TRUE), '"')
}

sha256_of <- function(path) {
  if (exists("sha256sum", envir = asNamespace("tools"), inherits = FALSE)) {
    return(unname(get("sha256sum", envir = asNamespace("tools"))(path)))
  }
  out <- tryCatch(suppressWarnings(system2("sha256sum", stdin = path, stdout = TRUE, stderr = FALSE)),
                  error = function(e) character(0))
  if (!is.null(attr(out, "status")) || length(out) != 1 || !grepl("^[0-9a-f]{64} ", out)) {
    stop(failure(sprintf("%s: its SHA-256 could not be computed (sha256sum)", path), EXIT_MALFORMED))
  }
  substr(out, 1, 64)
}

# Checks the results file against the metadata its run wrote beside it: a
# file that differs in SHA-256 or rows from a complete run's metadata is an
# estimator_failure. A file that cannot be checked (no metadata, a run not
# complete, no checksum recorded, metadata of another file) gets a warning.
check_metadata <- function(path) {
  meta <- metadata_path(path)
  unchecked <- function(why) {
    warn(path, ": ", why, "; not checked against the run that wrote it")
  }
  if (!file.exists(meta)) return(unchecked(sprintf("no metadata %s", basename(meta))))
  text <- tryCatch(paste(readLines(meta, warn = FALSE), collapse = "\n"),
                   error = function(e) NA_character_, warning = function(w) NA_character_)
  value <- function(key) if (is.na(text)) NA_character_ else json_value(text, key)
  status <- value("status")
  file <- value("results_file")
  recorded <- value("results_file_sha256")
  rows <- gsub('"', "", value("results_file_rows"), fixed = TRUE)
  if (is.na(status) || is.na(file)) return(unchecked(sprintf("its metadata %s cannot be read", meta)))
  if (file != json_string(basename(path))) {
    return(unchecked(sprintf("its metadata %s describes %s", meta, file)))
  }
  if (status != '"complete"') {
    return(unchecked(sprintf("its metadata %s is of a run that is %s, not complete", meta,
                             gsub('"', "", status, fixed = TRUE))))
  }
  if (is.na(recorded) || !grepl('^"[0-9a-f]{64}"$', recorded) || is.na(rows) || !grepl("^[0-9]+$", rows)) {
    return(unchecked(sprintf("its metadata %s records no checksum and row count", meta)))
  }
  recorded <- substr(recorded, 2, 65)
  differs <- function(what, have, recorded) {
    stop(failure(sprintf("%s: does not match its metadata %s: %s %s, the metadata records %s",
                         path, meta, what, have, recorded), EXIT_MALFORMED))
  }
  have_rows <- format(sum(readBin(path, "raw", n = file.size(path)) == as.raw(10)), scientific = FALSE)
  if (have_rows != rows) differs("rows", have_rows, rows)
  have_sum <- sha256_of(path)
  if (have_sum != recorded) differs("SHA-256", have_sum, recorded)
  invisible(TRUE)
}

# ---------------------------------------------------------------------------
# Reading

# Returns NULL for an empty file, else the numeric matrix of its rows (row i
# is line i: a blank line among the rows is malformed). Throws an
# estimator_failure naming the file and the first bad line.
read_results <- function(path) {
  check_metadata(path)
  lines <- tryCatch(readLines(path, warn = FALSE),
                    error = function(e) stop(failure(
                      sprintf("%s: cannot be read: %s", path, conditionMessage(e)),
                      EXIT_MALFORMED)),
                    warning = function(w) stop(failure(
                      sprintf("%s: cannot be read: %s", path, conditionMessage(w)),
                      EXIT_MALFORMED)))
  lines <- sub("\r$", "", lines, useBytes = TRUE)
  if (length(lines) == 0 || all(grepl("^[[:space:]]*$", lines, useBytes = TRUE))) {
    return(NULL)
  }

  ncol <- length(RESULT_COLUMNS)
  # strsplit drops a trailing empty field ("1,2," gives two), so split with
  # a sentinel field appended and drop it again: "1,2," then has three
  # fields, the last one empty (and not a number).
  fields <- lapply(strsplit(paste0(lines, ",#"), ",", fixed = TRUE, useBytes = TRUE),
                   function(f) f[-length(f)])
  counts <- lengths(fields)
  counts[grepl("^[[:space:]]*$", lines, useBytes = TRUE)] <- 0L
  bad <- which(counts != ncol)
  if (length(bad) > 0) {
    i <- bad[1]
    stop(failure(sprintf(
      "%s line %d: expected %d comma-separated values, found %s%s",
      path, i, ncol, if (counts[i] == 0) "an empty line" else counts[i],
      if (length(bad) > 1) sprintf(" (%d such lines in all)", length(bad)) else ""),
      EXIT_MALFORMED))
  }

  tokens <- trimws(unlist(fields, use.names = FALSE))
  number <- "^[+-]?([0-9]+[.]?[0-9]*|[.][0-9]+)([eE][+-]?[0-9]+)?$"
  special <- "^[+-]?(nan|inf|infinity)$"
  is_number <- grepl(number, tokens, useBytes = TRUE)
  is_special <- grepl(special, tokens, ignore.case = TRUE, useBytes = TRUE)
  bad <- which(!(is_number | is_special))
  if (length(bad) > 0) {
    k <- bad[1] - 1L
    stop(failure(sprintf(
      "%s line %d, column %d (%s): not a number: %s%s",
      path, k %/% ncol + 1L, k %% ncol + 1L, names(RESULT_COLUMNS)[k %% ncol + 1L],
      show_token(tokens[k + 1L]),
      if (length(bad) > 1) sprintf(" (%d such values in all)", length(bad)) else ""),
      EXIT_MALFORMED))
  }

  values <- numeric(length(tokens))
  values[is_number] <- as.numeric(tokens[is_number])
  low <- tolower(tokens[is_special])
  values[is_special] <- ifelse(grepl("nan", low, fixed = TRUE), NaN,
                               ifelse(startsWith(low, "-"), -Inf, Inf))
  matrix(values, ncol = ncol, byrow = TRUE, dimnames = list(NULL, names(RESULT_COLUMNS)))
}

# ---------------------------------------------------------------------------
# Tables

fmt <- function(x) {
  out <- sprintf("%.15g", x)
  out[is.na(x)] <- "NA"
  out
}

# Writes a data frame as CSV (header, no row names, numbers to 15 digits)
# under a temporary name first, so that a reader never sees half a file.
write_table <- function(df, path) {
  text <- vapply(df, function(col) if (is.character(col)) col else fmt(as.numeric(col)),
                 character(nrow(df)))
  if (nrow(df) == 1) text <- matrix(text, nrow = 1)
  lines <- c(paste(names(df), collapse = ","),
             if (nrow(df) > 0) apply(text, 1, paste, collapse = ","))
  replace_file(path, function(tmp) writeLines(lines, tmp))
}

replace_file <- function(path, write) {
  tmp <- paste0(path, ".tmp_", Sys.getpid())
  why <- "renaming the temporary file failed"
  ok <- tryCatch({ write(tmp); suppressWarnings(file.rename(tmp, path)) },
                 error = function(e) { why <<- conditionMessage(e); FALSE })
  if (!isTRUE(ok)) {
    unlink(tmp)
    stop(failure(sprintf("%s: could not be written: %s", path, why), EXIT_OUTPUT))
  }
  invisible(path)
}

# ---------------------------------------------------------------------------
# Monte Carlo error

CONFIDENCE <- 0.95
TOO_FEW <- "too few rows for the 95 % interval of"

# Student t interval of the mean of x: c(se, low, high); NA below two values.
mean_interval <- function(x) {
  n <- length(x)
  if (n < 2) return(c(NA_real_, NA_real_, NA_real_))
  se <- sd(x) / sqrt(n)
  half <- qt(1 - (1 - CONFIDENCE) / 2, n - 1) * se
  c(se, mean(x) - half, mean(x) + half)
}

# Ranks c(l, u), 1 <= l < u <= n, of the order statistics X(l) <= X(u) that
# enclose the p-quantile of the distribution with probability at least 95 %
# whatever that (continuous) distribution is: with B ~ Binomial(n, p), the
# quantile lies below X(l) with probability P(B <= l - 1) and above X(u)
# with probability P(B >= u). l is the largest rank with P(B <= l - 1) <=
# 2.5 %, u the smallest with P(B >= u) <= 2.5 %. Where one of them falls
# outside 1..n, that end is X(1) (or X(n)) and the other end takes what is
# left of the 5 %; where that cannot reach 95 % either, c(NA, NA).
order_statistic_ranks <- function(n, p) {
  none <- c(NA_integer_, NA_integer_)
  if (n < 2) return(none)
  alpha <- 1 - CONFIDENCE
  # P(B <= k) and P(B > k) over k = a..b. For large n the tails beyond
  # a and b (each below 1e-12) cannot move either rank, and P(B = 0) <
  # 1e-12 there, so only the window is computed.
  a <- 0
  b <- n
  if (n > 1000) {
    a <- max(0, qbinom(1e-12, n, p) - 1)
    b <- min(n, qbinom(1e-12, n, p, lower.tail = FALSE) + 1)
  }
  k <- a:b
  below <- pbinom(k, n, p)                      # P(B <= k)
  above <- pbinom(k, n, p, lower.tail = FALSE)  # P(B > k) = P(B >= k + 1)
  # Rank l: one more than the largest k with P(B <= k) <= t.
  lower_rank <- function(t) a + sum(below <= t)
  # Rank u: the smallest u with P(B >= u) = P(B > u - 1) <= t.
  upper_rank <- function(t) {
    i <- which(above <= t)
    if (length(i) == 0) n + 1 else a + i[1]
  }
  l <- lower_rank(alpha / 2)
  u <- upper_rank(alpha / 2)
  if (l < 1 && u > n) return(none)
  if (l < 1) {
    l <- 1L
    u <- upper_rank(alpha - pbinom(0, n, p))
  } else if (u > n) {
    u <- n
    l <- lower_rank(alpha - pbinom(n - 1, n, p, lower.tail = FALSE))
  }
  if (l < 1 || u > n || l >= u) return(none)
  as.integer(c(l, u))
}

# The values of those order statistics of x for each p in probs: a
# two-row matrix (low, high), NA where too few values make one impossible.
quantile_intervals <- function(x, probs) {
  s <- sort(x)
  vapply(probs, function(p) {
    r <- order_statistic_ranks(length(s), p)
    if (anyNA(r)) c(NA_real_, NA_real_) else s[r]
  }, numeric(2))
}

# "q01 q99" for the quantile names whose interval is missing, as the note
# of a table row ("" when every interval exists).
missing_note <- function(names, missing) {
  if (!any(missing)) "" else paste(TOO_FEW, paste(names[missing], collapse = " "))
}

# The Monte Carlo error of the summary of one column: the standard error
# and 95 % interval of the mean and a 95 % interval for each quantile.
summary_intervals <- function(m) {
  names_q <- sprintf("q%02d", round(100 * SUMMARY_PROBS))
  header <- c("se_mean", "mean_ci_low", "mean_ci_high",
              as.vector(t(outer(names_q, c("_ci_low", "_ci_high"), paste0))))
  rows <- lapply(seq_len(ncol(m)), function(j) {
    x <- m[, j]
    q <- quantile_intervals(x, SUMMARY_PROBS)
    list(values = c(mean_interval(x), as.vector(q)),
         note = missing_note(c("mean", names_q),
                             c(length(x) < 2, is.na(q[1, ]))))
  })
  values <- do.call(rbind, lapply(rows, `[[`, "values"))
  colnames(values) <- header
  data.frame(values, note = vapply(rows, `[[`, character(1), "note"),
             check.names = FALSE, stringsAsFactors = FALSE)
}

summary_table <- function(m) {
  one <- function(x) {
    n <- length(x)
    c(count = n,
      mean = if (n > 0) mean(x) else NA,
      sd = if (n > 1) sd(x) else NA,
      if (n > 0) quantile(x, SUMMARY_PROBS, names = FALSE, type = 7)
      else rep(NA, length(SUMMARY_PROBS)))
  }
  stats <- t(apply(m, 2, one))
  if (nrow(m) == 0) stats <- t(vapply(seq_len(ncol(m)), function(j) one(numeric(0)),
                                      numeric(3 + length(SUMMARY_PROBS))))
  colnames(stats) <- c("count", "mean", "sd",
                       sprintf("q%02d", round(100 * SUMMARY_PROBS)))
  data.frame(column = names(RESULT_COLUMNS), stats, summary_intervals(m),
             check.names = FALSE, stringsAsFactors = FALSE)
}

# Index k of the bin [10^(k/B), 10^((k+1)/B)) holding each x > 0, with the
# floating-point edge cases put on the right side of the edge.
log_bin <- function(x) {
  k <- floor(BINS_PER_DECADE * log10(x))
  k <- k - (x < 10^(k / BINS_PER_DECADE))
  k + (x >= 10^((k + 1) / BINS_PER_DECADE))
}

binned_table <- function(m) {
  size <- m[, "mean_firm_size"]
  k <- log_bin(size)
  bins <- sort(unique(k))
  rows <- lapply(bins, function(b) {
    sel <- k == b
    per <- unlist(lapply(BINNED_MEASURES, function(col) {
      q <- quantile(m[sel, col], c(0.10, 0.50, 0.90), names = FALSE, type = 7)
      setNames(q, paste0(col, c("_q10", "_median", "_q90")))
    }))
    c(size_lower = 10^(b / BINS_PER_DECADE), size_upper = 10^((b + 1) / BINS_PER_DECADE),
      size_median = median(size[sel]), count = sum(sel), per,
      median_intervals(m[sel, , drop = FALSE]))
  })
  header <- c("size_lower", "size_upper", "size_median", "count",
              as.vector(t(outer(BINNED_MEASURES, c("_q10", "_median", "_q90"), paste0))),
              median_interval_names())
  if (length(rows) == 0) {
    return(data.frame(setNames(rep(list(numeric(0)), length(header)), header),
                      note = character(0), check.names = FALSE))
  }
  binned <- as.data.frame(do.call(rbind, rows))[, header]
  binned$note <- ifelse(binned$count < min_rows_for_median(), paste(TOO_FEW, "the medians"), "")
  binned
}

median_interval_names <- function() {
  as.vector(t(outer(BINNED_MEASURES, c("_median_ci_low", "_median_ci_high"), paste0)))
}

# The 95 % intervals of the medians of the binned measures, named as above.
median_intervals <- function(m) {
  ci <- vapply(BINNED_MEASURES, function(col) {
    if (nrow(m) > 0) quantile_intervals(m[, col], 0.5) else c(NA_real_, NA_real_)
  }, numeric(2))
  setNames(as.vector(ci), median_interval_names())
}

# Fewest rows for which the median has a 95 % interval.
min_rows_for_median <- function() {
  n <- 2
  while (anyNA(order_statistic_ranks(n, 0.5))) n <- n + 1
  n
}

# ---------------------------------------------------------------------------
# Sensitivity to the drawn exponents

SENSITIVITY_INPUTS <- c("firm_size_exponent", "power_to_pay_exponent")
SENSITIVITY_OUTPUTS <- c("mean_firm_size", BINNED_MEASURES)
SENSITIVITY_RESAMPLES <- 200
MIN_SENSITIVITY_ROWS <- 20

# The drawn exponents that vary over the rows.
drawn_inputs <- function(m) {
  if (nrow(m) < 2) return(character(0))
  Filter(function(i) diff(range(m[, i])) > 0, SENSITIVITY_INPUTS)
}

# First-order sensitivity index Var(E[Y | X]) / Var(Y) of each column of
# ys to one input X, from rows sorted by X, cut by rank into groups of
# about equal size and weighted by w (the number of times each row is
# drawn); ys is a list of the columns, ys2 the matrix of their squares,
# ends the last row of each group. The share of the
# variance between the groups' means, less what the noise within them puts
# there by chance, estimates the index. With every weight 1 the chance part
# is (groups - 1) times the within-group mean square; a row drawn w times
# counts w^2 times in it. The estimate may fall slightly below 0 where the
# true index is 0; NA for a constant column.
first_order_indices <- function(ys, ys2, w, ends) {
  group_sums <- function(v) diff(c(0, cumsum(v)[ends]))
  count <- group_sums(w)
  used <- count > 0
  count <- count[used]
  n <- sum(count)
  # Expected chance between-group and within-group sums of squares, in
  # units of the noise variance.
  squares <- group_sums(w * w)[used] / count
  chance_between <- sum(squares) - sum(w * w) / n
  within_df <- n - sum(squares)
  sst <- drop(crossprod(w, ys2))
  ssb <- numeric(length(ys))
  for (k in seq_along(ys)) {
    sums <- group_sums(w * ys[[k]])[used]
    total <- sum(sums)
    sst[k] <- sst[k] - total^2 / n
    ssb[k] <- sum(sums^2 / count) - total^2 / n
  }
  index <- (ssb - chance_between * (sst - ssb) / within_df) / sst
  index[!(sst > 1e-12 * n) | !(within_df > 0)] <- NA
  index
}

# Per output column and varying drawn exponent, the first-order index with
# a 95 % percentile bootstrap interval (SENSITIVITY_RESAMPLES resamples of
# the rows, seed 1), and the rest 1 - sum of the indices: the share of the
# variance due to interactions of the exponents and to the economy's own
# randomness. The groups are floor(sqrt(rows)) rank groups of each
# exponent, kept for the resamples. NULL with fewer than
# MIN_SENSITIVITY_ROWS rows or no varying exponent.
sensitivity_table <- function(m) {
  inputs <- drawn_inputs(m)
  n <- nrow(m)
  if (length(inputs) == 0 || n < MIN_SENSITIVITY_ROWS) return(NULL)
  bins <- floor(sqrt(n))
  # Last row (in sorted order) of each of the rank groups.
  ends <- c(which(diff(((seq_len(n) - 1) * bins) %/% n) != 0), n)
  # Standardised outputs keep the sums of squares well conditioned.
  y <- apply(m[, SENSITIVITY_OUTPUTS, drop = FALSE], 2, function(v) {
    s <- sd(v)
    (v - mean(v)) / if (s > 0) s else 1
  })
  orders <- lapply(inputs, function(i) order(m[, i]))
  sorted <- lapply(orders, function(o) lapply(seq_len(ncol(y)), function(k) y[o, k]))
  y2 <- y * y
  sorted2 <- lapply(orders, function(o) y2[o, , drop = FALSE])
  estimate <- function(w) {
    s <- vapply(seq_along(inputs), function(i) {
      first_order_indices(sorted[[i]], sorted2[[i]], w[orders[[i]]], ends)
    }, numeric(length(SENSITIVITY_OUTPUTS)))
    s <- matrix(s, ncol = length(inputs))
    cbind(s, 1 - rowSums(s))
  }
  point <- estimate(rep(1, n))
  set.seed(1)
  boot <- vapply(seq_len(SENSITIVITY_RESAMPLES), function(b) {
    estimate(tabulate(sample.int(n, n, replace = TRUE), n))
  }, point)
  bound <- function(p) apply(boot, c(1, 2), function(v) {
    if (all(is.na(v))) NA_real_ else quantile(v, p, names = FALSE, na.rm = TRUE)
  })
  alpha <- 1 - CONFIDENCE
  parameters <- c(inputs, "rest")
  table <- data.frame(measure = rep(SENSITIVITY_OUTPUTS, times = length(parameters)),
                      parameter = rep(parameters, each = length(SENSITIVITY_OUTPUTS)),
                      index = as.vector(point), ci_low = as.vector(bound(alpha / 2)),
                      ci_high = as.vector(bound(1 - alpha / 2)), rows = n, bins = bins,
                      resamples = SENSITIVITY_RESAMPLES, stringsAsFactors = FALSE)
  table <- table[order(match(table$measure, SENSITIVITY_OUTPUTS)), ]
  rownames(table) <- NULL
  table
}

# ---------------------------------------------------------------------------
# Plots

# Opens the device of a plot 900 pixels wide at 110 per inch: SVG for a
# name ending in .svg, else PNG.
open_plot <- function(path, height = 650) {
  file <- gsub("%", "%%", path, fixed = TRUE)
  if (grepl("[.]svg$", path)) {
    svg(file, width = 900 / 110, height = height / 110)
  } else {
    # Cairo needs no X server; the X11 type is only a last resort.
    type <- if (capabilities("cairo")) "cairo" else getOption("bitmapType")
    png(file, width = 900, height = height, res = 110, type = type)
  }
  par(mar = c(7.2, 4.6, 4.6, 1.5))
}

# Legend of the two series below the x axis label, clear of the data.
bottom_legend <- function(legend, ...) {
  legend("bottom", legend = paste0(legend, "    "), inset = c(0, -0.33), xpd = NA,
         horiz = TRUE, bty = "n", cex = 0.9, text.width = NA, x.intersp = 0.8, ...)
}

point_size <- function(n) if (n <= 2000) 0.8 else 0.45

point_colour <- function(colour, n) {
  adjustcolor(colour, alpha.f = max(0.06, min(0.7, 150 / max(n, 1))))
}

# Median line and 10-90 % band of one measure over the bins, and the 95 %
# interval of each median (ci_lo, ci_hi; NA where a bin has too few rows)
# as a darker band.
draw_bins <- function(x, lo, mid, hi, colour, ci_lo = NULL, ci_hi = NULL) {
  if (length(x) > 1) {
    polygon(c(x, rev(x)), c(lo, rev(hi)), col = adjustcolor(colour, alpha.f = 0.18),
            border = NA)
  }
  if (!is.null(ci_lo)) draw_band(x, ci_lo, ci_hi, adjustcolor(colour, alpha.f = 0.45))
  if (length(x) > 1) lines(x, mid, col = colour, lwd = 2.5)
  points(x, mid, col = colour, pch = 21, bg = "white", lwd = 2, cex = 1.1)
}

# A band from lo to hi over each run of consecutive x where both are known;
# a run of one x is a bar.
draw_band <- function(x, lo, hi, col) {
  known <- !is.na(lo) & !is.na(hi)
  run <- cumsum(c(TRUE, diff(known) != 0))
  for (r in unique(run[known])) {
    i <- which(run == r)
    if (length(i) > 1) {
      polygon(c(x[i], rev(x[i])), c(lo[i], rev(hi[i])), col = col, border = NA)
    } else {
      segments(x[i], lo[i], x[i], hi[i], col = col, lwd = 5, lend = 1)
    }
  }
}

BIN_NOTE <- "lines: bin medians; pale bands: 10-90 % quantiles; dark: 95 % interval of the median"

no_data <- function(title, subtitle) {
  plot.new()
  title(main = title, line = 2.6)
  mtext(subtitle, side = 3, line = 0.8, cex = 0.8)
  text(0.5, 0.5, "no rows with finite values and a positive mean firm size")
}

# Two measures (power and pay) against the mean firm size on a log axis.
# Only the rows `shown` are drawn as points.
plot_against_size <- function(path, m, binned, cols, labels, ylab, title, subtitle,
                              shown = seq_len(nrow(m))) {
  open_plot(path)
  on.exit(dev.off())
  if (nrow(m) == 0) return(no_data(title, subtitle))
  x <- m[, "mean_firm_size"]
  y <- m[, cols, drop = FALSE]
  colours <- c(COLOUR_POWER, COLOUR_PAY)
  plot(range(x), range(y), type = "n", log = "x", xlab = "", ylab = ylab, las = 1)
  title(main = title, line = 2.6)
  title(xlab = "mean firm size (members per firm, log scale)", line = 2.5)
  mtext(paste0(subtitle, "\n", BIN_NOTE, sprintf(" (%d bins per decade)", BINS_PER_DECADE)),
        side = 3, line = 0.3, cex = 0.8)
  grid(equilogs = FALSE, col = "grey88", lty = 1)
  for (j in 1:2) {
    points(x[shown], y[shown, j], pch = 16, cex = point_size(length(shown)),
           col = point_colour(colours[j], length(shown)))
  }
  # Each bin's summary sits at the median firm size of its rows.
  for (j in 1:2) {
    col <- function(suffix) binned[[paste0(cols[j], suffix)]]
    draw_bins(binned$size_median, col("_q10"), col("_median"), col("_q90"), colours[j],
              col("_median_ci_low"), col("_median_ci_high"))
  }
  bottom_legend(legend = labels, col = colours, pch = 16, lty = 1, lwd = 2.5)
}

# Classes of mean firm size for colouring the points of the exponent plot:
# how strongly the exponent drives pay inequality depends on firm size.
SIZE_CLASSES <- c(0, 1.1, 2, 10, Inf)
SIZE_CLASS_LABELS <- c("mean firm size < 1.1", "1.1 to 2", "2 to 10", "10 or more")
SIZE_CLASS_COLOURS <- c("#7AC36A", "#2A9D8F", "#2F5DA8", "#5B1A6B")

plot_pay_gini_vs_exponent <- function(path, m, title, subtitle, shown = seq_len(nrow(m))) {
  open_plot(path)
  on.exit(dev.off())
  e <- m[, "power_to_pay_exponent"]
  g <- m[, "gini_pay"]
  plot(range(e), range(g), type = "n", xlab = "", ylab = "Gini of pay (0 = equal pay)",
       las = 1)
  title(main = title, line = 2.6)
  title(xlab = "power-to-pay exponent e (pay = power^e x log-normal noise)", line = 2.5)
  grid(col = "grey88", lty = 1)
  class <- pmax(1L, findInterval(m[, "mean_firm_size"], SIZE_CLASSES))
  alpha <- max(0.15, min(0.85, 300 / length(shown)))
  points(e[shown], g[shown], pch = 16, cex = point_size(length(shown)),
         col = adjustcolor(SIZE_CLASS_COLOURS, alpha.f = alpha)[class[shown]])
  # Equal-width bins of the exponent, about sixteen over its range.
  breaks <- pretty(range(e), n = 16)
  k <- findInterval(e, breaks, rightmost.closed = TRUE)
  bins <- sort(unique(k))
  centre <- (breaks[bins] + breaks[bins + 1]) / 2
  q <- vapply(bins, function(b) {
    c(quantile(g[k == b], c(0.10, 0.50, 0.90), names = FALSE), quantile_intervals(g[k == b], 0.5))
  }, numeric(5))
  draw_bins(centre, q[1, ], q[2, ], q[3, ], "grey20", q[4, ], q[5, ])
  mtext(paste0(subtitle, "\n", BIN_NOTE, sprintf(" (bins of width %g)", diff(breaks)[1])),
        side = 3, line = 0.3, cex = 0.8)
  present <- sort(unique(class))
  legend("bottom", inset = c(0, -0.4), xpd = NA, bty = "n", cex = 0.85, ncol = 3,
         legend = c(SIZE_CLASS_LABELS[present], "median per exponent bin",
                    "10 % to 90 % quantile", "95 % interval of the median"),
         col = c(SIZE_CLASS_COLOURS[present], "grey20", adjustcolor("grey20", alpha.f = 0.2),
                 adjustcolor("grey20", alpha.f = 0.45)),
         pch = c(rep(16, length(present)), NA, 15, 15),
         lty = c(rep(NA, length(present)), 1, NA, NA),
         lwd = c(rep(NA, length(present)), 2.5, NA, NA),
         pt.cex = c(rep(1, length(present)), NA, 2, 2))
}

SENSITIVITY_LABELS <- c(firm_size_exponent = "firm-size exponent",
                        power_to_pay_exponent = "power-to-pay exponent",
                        rest = "rest: interactions and own randomness")
SENSITIVITY_COLOURS <- c(firm_size_exponent = "#5B1A6B", power_to_pay_exponent = "#2A9D8F",
                         rest = "grey70")
MEASURE_LABELS <- c(mean_firm_size = "mean firm size", gini_power = "Gini of power",
                    gini_pay = "Gini of pay", top1_share_power = "top 1 % power",
                    top1_share_pay = "top 1 % pay")

# The sensitivity table as bars with their 95 % intervals, grouped by measure.
plot_sensitivity <- function(path, sensitivity, subtitle) {
  open_plot(path)
  on.exit(dev.off())
  parameters <- unique(sensitivity$parameter)
  shape <- function(col) {
    matrix(sensitivity[[col]], nrow = length(parameters),
           dimnames = list(parameters, unique(sensitivity$measure)))
  }
  index <- shape("index")
  low <- shape("ci_low")
  high <- shape("ci_high")
  ylim <- range(0, 1, low, high, na.rm = TRUE)
  at <- barplot(index, beside = TRUE, col = SENSITIVITY_COLOURS[parameters], border = NA,
                ylim = ylim, las = 1, names.arg = MEASURE_LABELS[colnames(index)],
                ylab = "first-order index (share of the variance)", cex.names = 0.85)
  abline(h = 0, col = "grey40")
  arrows(at, low, at, high, angle = 90, code = 3, length = 0.04, lwd = 1.5)
  title(main = "Sensitivity to the drawn exponents", line = 2.6)
  mtext(paste0(subtitle, "\nbars: first-order indices; whiskers: 95 % bootstrap intervals (",
               sensitivity$resamples[1], " resamples)"), side = 3, line = 0.3, cex = 0.8)
  bottom_legend(legend = SENSITIVITY_LABELS[parameters], fill = SENSITIVITY_COLOURS[parameters],
                border = NA)
}

# ---------------------------------------------------------------------------
# Sweeps

is_sweep_table <- function(path) {
  first <- tryCatch(readLines(path, n = 1, warn = FALSE), error = function(e) "")
  length(first) == 1 && startsWith(first, "point,file")
}

# The rows with finite values of every point's results file, in a list.
read_sweep_points <- function(path, table) {
  lapply(seq_len(nrow(table)), function(k) {
    file <- file.path(dirname(path), table$file[k])
    if (!file.exists(file)) {
      stop(failure(sprintf("%s line %d: results file %s not found", path, k + 1, file), EXIT_MALFORMED))
    }
    m <- read_results(file)
    if (is.null(m)) m <- matrix(numeric(0), ncol = length(RESULT_COLUMNS),
                                dimnames = list(NULL, names(RESULT_COLUMNS)))
    finite <- rowSums(!is.finite(m)) == 0
    kept <- m[finite, , drop = FALSE]
    # Row j (from 0) of the file is the j-th repetition of the point's run.
    attr(kept, "row") <- which(finite) - 1L
    attr(kept, "rows_in_file") <- nrow(m)
    kept
  })
}

quantiles_of <- function(m) {
  unlist(lapply(BINNED_MEASURES, function(col) {
    q <- if (nrow(m) > 0) quantile(m[, col], c(0.10, 0.50, 0.90), names = FALSE, type = 7) else rep(NA, 3)
    setNames(q, paste0(col, c("_q10", "_median", "_q90")))
  }))
}

# ---------------------------------------------------------------------------
# Paired differences between the points of a sweep

DIFFERENCE_MEASURES <- c("mean_firm_size", BINNED_MEASURES)

# The value of a top-level scalar of a JSON text: a string unquoted (with
# its escapes left as written: seeds and counts hold none), a number as
# its text; NA when the key is absent or null.
json_scalar <- function(text, key) {
  pattern <- sprintf('"%s"[[:space:]]*:[[:space:]]*("([^"\\\\]|\\\\.)*"|[^,}[:space:]]+)', key)
  hit <- regmatches(text, regexpr(pattern, text))
  if (length(hit) == 0) return(NA_character_)
  value <- sub('^"[^"]*"[[:space:]]*:[[:space:]]*', "", hit)
  if (value == "null") return(NA_character_)
  sub('^"(.*)"$', "\\1", value)
}

# The metadata <stem>.json beside a results file <stem>.csv (a name without
# an extension has .json appended): the whole text, or NULL when missing or
# unreadable.
metadata_text <- function(results_path) {
  base <- basename(results_path)
  stem <- if (grepl(".", base, fixed = TRUE)) sub("[.][^.]*$", "", base) else base
  path <- file.path(dirname(results_path), paste0(stem, ".json"))
  text <- tryCatch(suppressWarnings(readLines(path, warn = FALSE)), error = function(e) NULL)
  if (is.null(text)) NULL else paste(text, collapse = "\n")
}

# What pairing needs from a point's metadata: list(seed, first, rows), or
# a character string saying why the point cannot be paired. `rows` is the
# complete file's row count, or for an unfinished run the rows done; either
# must equal the rows the file holds, or row j might not be repetition
# first + j.
pairing_key <- function(results_path, rows_in_file) {
  text <- metadata_text(results_path)
  name <- basename(results_path)
  if (is.null(text)) return(sprintf("no metadata for %s", name))
  seed <- json_scalar(text, "seed")
  first <- suppressWarnings(as.numeric(json_scalar(text, "first_repetition")))
  rows <- suppressWarnings(as.numeric(json_scalar(text, "results_file_rows")))
  if (is.na(rows)) rows <- suppressWarnings(as.numeric(json_scalar(text, "repetitions_done")))
  if (is.na(seed) || is.na(first) || is.na(rows)) {
    return(sprintf("the metadata of %s lacks its seed or repetitions", name))
  }
  if (rows != rows_in_file) {
    return(sprintf("the metadata of %s counts %.0f rows where the file holds %d",
                   name, rows, rows_in_file))
  }
  list(seed = seed, first = first, rows = rows)
}

# Difference mean(b) - mean(a) of one measure with its standard error, 95 %
# interval and what pairing bought. Paired when `pair` holds the row
# positions in a and in b of the same repetitions (two or more): the mean,
# standard error and Student t interval of the differences, and the
# variance ratio var(a) + var(b) over var(b - a) on those pairs, i.e. how
# many times more repetitions an unpaired comparison would need for the
# same precision. Otherwise unpaired over all rows, with Welch's interval.
difference_row <- function(a, b, pair) {
  if (!is.null(pair)) {
    x <- a[pair$a]
    y <- b[pair$b]
    d <- y - x
    n <- length(d)
    ci <- mean_interval(d)
    ratio <- (var(x) + var(y)) / var(d)
    return(c(rows_first = n, rows_point = n, difference = mean(d), se = ci[1],
             ci_low = ci[2], ci_high = ci[3],
             variance_ratio = if (is.nan(ratio)) NA else ratio))
  }
  na <- length(a)
  nb <- length(b)
  d <- if (na > 0 && nb > 0) mean(b) - mean(a) else NA
  if (na < 2 || nb < 2) {
    return(c(rows_first = na, rows_point = nb, difference = d, se = NA, ci_low = NA,
             ci_high = NA, variance_ratio = NA))
  }
  va <- var(a) / na
  vb <- var(b) / nb
  se <- sqrt(va + vb)
  df <- (va + vb)^2 / (va^2 / (na - 1) + vb^2 / (nb - 1))
  half <- if (se > 0) qt(1 - (1 - CONFIDENCE) / 2, df) * se else 0
  c(rows_first = na, rows_point = nb, difference = d, se = se, ci_low = d - half,
    ci_high = d + half, variance_ratio = NA)
}

# How point k pairs with the first point: list(pair = row positions of the
# common repetitions or NULL, note = why not, or what the pairs cover).
pair_with_first <- function(files, points, k) {
  key <- lapply(c(1, k), function(i) pairing_key(files[i], attr(points[[i]], "rows_in_file")))
  why <- Filter(is.character, key)
  if (length(why) > 0) return(list(pair = NULL, note = why[[1]]))
  if (key[[1]]$seed != key[[2]]$seed) {
    return(list(pair = NULL, note = sprintf("seeds differ (%s and %s)", key[[1]]$seed,
                                            key[[2]]$seed)))
  }
  # Repetition i is row i - first of each file; keep those both hold finite.
  rep_a <- key[[1]]$first + attr(points[[1]], "row")
  rep_b <- key[[2]]$first + attr(points[[k]], "row")
  common <- intersect(rep_a, rep_b)
  if (length(common) < 2) {
    return(list(pair = NULL, note = "fewer than 2 repetitions in common"))
  }
  all_common <- intersect(key[[1]]$first + seq_len(key[[1]]$rows) - 1,
                          key[[2]]$first + seq_len(key[[2]]$rows) - 1)
  note <- if (length(common) < max(key[[1]]$rows, key[[2]]$rows)) {
    sprintf("paired over the %d repetitions both hold with finite values (of %d in common)",
            length(common), length(all_common))
  } else ""
  list(pair = list(a = match(common, rep_a), b = match(common, rep_b)), note = note)
}

# Every point after the first against the first, one row per measure.
differences_table <- function(table, settings, files, points) {
  rows <- lapply(seq_len(nrow(table))[-1], function(k) {
    p <- pair_with_first(files, points, k)
    values <- t(vapply(DIFFERENCE_MEASURES, function(col) {
      difference_row(points[[1]][, col], points[[k]][, col], p$pair)
    }, numeric(7)))
    data.frame(table[rep(k, length(DIFFERENCE_MEASURES)), c("point", "file", settings),
                     drop = FALSE],
               measure = DIFFERENCE_MEASURES,
               pairing = if (is.null(p$pair)) "unpaired" else "paired",
               values, note = gsub(",", ";", p$note, fixed = TRUE),
               check.names = FALSE, stringsAsFactors = FALSE)
  })
  out <- do.call(rbind, rows)
  rownames(out) <- NULL
  out
}

# Median and 10-90 % band of two measures against one setting's values.
plot_sweep_panel <- function(x, labels, q, cols, names, ylab, numeric_x) {
  colours <- c(COLOUR_POWER, COLOUR_PAY)
  y <- unlist(q[, c(paste0(rep(cols, each = 3), c("_q10", "_median", "_q90")),
                    paste0(rep(cols, each = 2), c("_median_ci_low", "_median_ci_high")))])
  xlim <- if (numeric_x) range(x) else c(0.5, length(x) + 0.5)
  plot(xlim, range(y, na.rm = TRUE), type = "n", xlab = "", ylab = ylab, las = 1, xaxt = "n")
  axis(1, at = x, labels = labels, gap.axis = 0)
  grid(col = "grey88", lty = 1)
  for (j in 1:2) {
    col <- function(suffix) q[[paste0(cols[j], suffix)]]
    draw_bins(x, col("_q10"), col("_median"), col("_q90"), colours[j],
              col("_median_ci_low"), col("_median_ci_high"))
  }
  legend("topleft", legend = names, col = colours, lwd = 2.5, bty = "n", cex = 0.85)
}

# The paired differences to the first point, with their 95 % intervals, of
# two measures at the points that differ from the first in one setting
# alone (x, labels); the first point is the square at 0. Open circles are
# unpaired.
plot_difference_panel <- function(xlim, at, labels, x0, x, d, cols, names, ylab) {
  colours <- c(COLOUR_POWER, COLOUR_PAY)
  rows <- lapply(cols, function(col) d[d$measure == col, , drop = FALSE])
  y <- c(0, unlist(lapply(rows, function(r) c(r$ci_low, r$ci_high, r$difference))))
  plot(xlim, range(y, na.rm = TRUE), type = "n", xlab = "", ylab = "", las = 1, xaxt = "n")
  title(ylab = ylab, line = 4)
  axis(1, at = at, labels = labels, gap.axis = 0)
  grid(col = "grey88", lty = 1)
  abline(h = 0, col = "grey40")
  # The two measures side by side at each value.
  dodge <- diff(xlim) * c(-0.008, 0.008)
  for (j in 1:2) {
    r <- rows[[j]]
    xs <- c(x0, x) + dodge[j]
    ys <- c(0, r$difference)
    o <- order(xs)
    lines(xs[o], ys[o], col = colours[j], lwd = 1.5)
    segments(x + dodge[j], r$ci_low, x + dodge[j], r$ci_high, col = colours[j], lwd = 2.5)
    points(xs, ys, col = colours[j], lwd = 2, cex = 1.1,
           pch = c(22, ifelse(r$pairing == "paired", 16, 21)), bg = "white")
  }
  # The legend in a left corner away from the differences.
  far <- unlist(lapply(rows, `[[`, "difference"))
  corner <- if (mean(far, na.rm = TRUE) < 0) "bottomleft" else "topleft"
  legend(corner, legend = names, col = colours, lwd = 2.5, bty = "n", cex = 0.85)
}

# One swept setting: above, the medians (with their 95 % intervals) and
# 10-90 % bands of the rows of every point with each value pooled; below,
# the paired differences to the first point of the points that differ from
# it in this setting alone.
plot_sweep_setting <- function(file, name, table, settings, setting, points, differences) {
  values <- unique(table[[setting]])
  numbers <- suppressWarnings(as.numeric(values))
  numeric_x <- !anyNA(numbers)
  order <- if (numeric_x) order(numbers) else seq_along(values)
  values <- values[order]
  x <- if (numeric_x) numbers[order] else seq_along(values)
  q <- as.data.frame(do.call(rbind, lapply(values, function(v) {
    pooled <- do.call(rbind, points[table[[setting]] == v])
    c(quantiles_of(pooled), median_intervals(pooled))
  })))
  others <- setdiff(settings, setting)
  same <- vapply(seq_len(nrow(table)), function(k) {
    all(unlist(table[k, others]) == unlist(table[1, others]))
  }, logical(1))
  slice <- setdiff(which(same), 1)
  has_differences <- !is.null(differences) && length(slice) > 0
  open_plot(file, height = if (has_differences) 1050 else 650)
  on.exit(dev.off())
  par(mfrow = c(if (has_differences) 2 else 1, 2), mar = c(5, 4.6, 1.5, 1),
      oma = c(0, 0, 2, 0))
  plot_sweep_panel(x, values, q, c("gini_power", "gini_pay"), c("Gini of power", "Gini of pay"),
                   "Gini coefficient", numeric_x)
  title(xlab = setting, line = 3)
  plot_sweep_panel(x, values, q, c("top1_share_power", "top1_share_pay"),
                   c("top 1 % share of power", "top 1 % share of pay"), "top 1 % share", numeric_x)
  title(xlab = setting, line = 3)
  mtext(sprintf("%s: medians and 10-90 %% bands against %s (%s, %d rows)", name, setting,
                count_of(nrow(table), "point"), sum(vapply(points, nrow, integer(1)))),
        outer = TRUE, cex = 0.9)
  if (!has_differences) return(invisible())
  position <- function(v) x[match(v, values)]
  d <- differences[differences$point %in% table$point[slice], , drop = FALSE]
  xlim <- if (numeric_x) range(x) else c(0.5, length(x) + 0.5)
  fixed <- if (length(others) > 0) {
    paste0(", ", paste(sprintf("%s = %s", others, unlist(table[1, others])), collapse = ", "))
  } else ""
  par(mar = c(5, 5.6, 4, 1))
  for (panel in list(list(c("gini_power", "gini_pay"), c("Gini of power", "Gini of pay")),
                     list(c("top1_share_power", "top1_share_pay"),
                          c("top 1 % share of power", "top 1 % share of pay")))) {
    plot_difference_panel(xlim, x, values, position(table[[setting]][1]),
                          position(table[[setting]][slice]), d, panel[[1]], panel[[2]],
                          "difference to the first point")
    title(xlab = setting, line = 3)
  }
  mtext(sprintf("mean difference to point %s (%s = %s%s) with its 95 %% interval\n%s",
                table$point[1], setting, table[[setting]][1], fixed,
                "filled: paired by repetition, open: unpaired, square: the first point"),
        side = 3, outer = TRUE, line = -31.5, cex = 0.85)
  invisible()
}

process_sweep <- function(path) {
  table <- read.csv(path, colClasses = "character", check.names = FALSE)
  settings <- setdiff(names(table), c("point", "file"))
  if (nrow(table) == 0 || length(settings) == 0) {
    stop(failure(sprintf("%s: a sweep table needs a swept setting and a point", path), EXIT_MALFORMED))
  }
  points <- read_sweep_points(path, table)
  note(basename(path), ": sweep of ", count_of(nrow(table), "point"), " over ",
       paste(settings, collapse = ", "))
  stem <- sub("[.]csv$", "", basename(path))
  out <- function(suffix) file.path(dirname(path), paste0(stem, suffix))
  counts <- vapply(points, nrow, integer(1))
  summary <- data.frame(table[, c("point", "file", settings)], count = counts,
                        do.call(rbind, lapply(points, quantiles_of)),
                        do.call(rbind, lapply(points, median_intervals)),
                        note = ifelse(counts < min_rows_for_median(), paste(TOO_FEW, "the medians"), ""),
                        check.names = FALSE, stringsAsFactors = FALSE)
  write_table(summary, out("_summary.csv"))
  written <- out("_summary.csv")
  differences <- NULL
  if (nrow(table) > 1) {
    files <- file.path(dirname(path), table$file)
    differences <- differences_table(table, settings, files, points)
    write_table(differences, out("_differences.csv"))
    written <- c(written, out("_differences.csv"))
  } else {
    unlink(out("_differences.csv"))
  }
  plot_setting <- function(file, setting) {
    plot_sweep_setting(file, basename(path), table, settings, setting, points, differences)
  }
  if (capabilities("png") || capabilities("cairo")) {
    for (setting in settings) {
      file <- out(paste0("_", setting, ".png"))
      replace_file(file, function(tmp) plot_setting(tmp, setting))
      written <- c(written, file)
    }
  }
  write_sweep_report(out("_report.html"), path, table, settings, summary, differences,
                     plot_setting)
  written <- c(written, out("_report.html"))
  note("  wrote ", paste(basename(written), collapse = ", "))
  invisible(written)
}

# ---------------------------------------------------------------------------
# Reports: one self-contained HTML page per results file and per sweep,
# its plots inlined as SVG

# The tables' font and padding leave a ten-column table of estimates with
# unbroken intervals room in a window 1200 pixels wide.
REPORT_STYLE <- c(
  "body { font-family: sans-serif; margin: 1.5em auto; max-width: 72em; color: #222; }",
  "table { border-collapse: collapse; font-size: 0.8em; margin: 0.5em 0 1em; }",
  "th, td { border: 1px solid #ccc; padding: 0.2em 0.4em; text-align: right; }",
  "th { background: #f2f2f2; } td:first-child, th:first-child { text-align: left; }",
  "table.text td, table.text th { text-align: left; }",
  ".scroll { overflow-x: auto; } figure { margin: 1em 0; } p.note { color: #555; }")

# A no-break space: a cell of an estimate breaks only before its interval,
# never inside it nor before a percent sign.
NBSP <- "\u00a0"

html_escape <- function(x) {
  x <- gsub("&", "&amp;", x, fixed = TRUE)
  x <- gsub("<", "&lt;", x, fixed = TRUE)
  x <- gsub(">", "&gt;", x, fixed = TRUE)
  gsub('"', "&quot;", x, fixed = TRUE)
}

# Four significant digits, "NA" for a missing value.
num <- function(x) trimws(formatC(as.numeric(x), digits = 4, format = "g"))

# "estimate [low, high]", or "estimate [no interval]" where it is missing.
with_interval <- function(estimate, low, high) {
  paste(num(estimate), ifelse(is.na(low) | is.na(high), paste0("[no", NBSP, "interval]"),
                              sprintf("[%s,%s%s]", num(low), NBSP, num(high))))
}

# "low to high", broken, where it must be, after "to".
range_text <- function(low, high) sprintf("%s%sto %s", num(low), NBSP, num(high))

# A table of numbers, right-aligned but for the first column; with
# class "text", of left-aligned text.
html_table <- function(df, class = NULL) {
  cells <- as.matrix(df)
  if (nrow(df) == 0) cells <- matrix(character(0), ncol = ncol(df))
  cell <- function(tag, x) {
    paste0("<", tag, ">", html_escape(gsub(" %", paste0(NBSP, "%"), x, fixed = TRUE)),
           "</", tag, ">", collapse = "")
  }
  header <- paste0("<tr>", cell("th", names(df)), "</tr>")
  body <- apply(cells, 1, function(r) paste0("<tr>", cell("td", r), "</tr>"))
  c(sprintf('<div class="scroll"><table%s>', if (is.null(class)) "" else
              sprintf(' class="%s"', class)),
    header, unlist(body), "</table></div>")
}

# The settings object of a metadata text as "name = value" strings.
json_settings <- function(text) {
  block <- regmatches(text, regexpr('"settings"[[:space:]]*:[[:space:]]*[{][^}]*[}]', text))
  if (length(block) == 0) return(character(0))
  pairs <- regmatches(block, gregexpr('"[^"]*"[[:space:]]*:[[:space:]]*"[^"]*"', block))[[1]]
  sub('^"([^"]*)"[[:space:]]*:[[:space:]]*"([^"]*)"$', "\\1 = \\2", pairs)
}

# The run's metadata (<stem>.json beside the results file) as a table.
metadata_section <- function(results_path) {
  text <- metadata_text(results_path)
  if (is.null(text)) {
    return(sprintf('<p class="note">No metadata (%s.json) beside the results file.</p>',
                   html_escape(sub("[.][^.]*$", "", basename(results_path)))))
  }
  value <- function(key) { v <- json_scalar(text, key); if (is.na(v)) "" else v }
  rows <- value("results_file_rows")
  if (rows == "") rows <- paste(value("repetitions_done"), "done")
  html_table(data.frame(
    item = c("program", "version", "seed", "settings", "threads", "start", "end", "rows",
             "first repetition", "status"),
    value = c(value("program"), value("version"), value("seed"),
              paste(json_settings(text), collapse = "; "), value("threads"),
              value("start_time"), value("end_time"), rows, value("first_repetition"),
              value("status")),
    stringsAsFactors = FALSE), class = "text")
}

# An SVG drawn by draw(path), ready to inline: without its XML declaration,
# scaled to the page, and its ids prefixed so that the glyphs and clips of
# several SVGs on one page stay apart.
inline_svg <- function(draw, prefix) {
  tmp <- tempfile(fileext = ".svg")
  on.exit(unlink(tmp))
  draw(tmp)
  text <- paste(readLines(tmp, warn = FALSE), collapse = "\n")
  text <- sub("^<[?]xml[^>]*>[[:space:]]*", "", text)
  text <- gsub('id="', paste0('id="', prefix), text, fixed = TRUE)
  text <- gsub('href="#', paste0('href="#', prefix), text, fixed = TRUE)
  text <- gsub("url(#", paste0("url(#", prefix), text, fixed = TRUE)
  sub("<svg ", '<svg style="max-width:100%;height:auto" ', text, fixed = TRUE)
}

# One figure per plot (a list of function(path) by caption).
figures <- function(plots) {
  if (!capabilities("cairo")) {
    return('<p class="note">No SVG device in this R: the plots are left out.</p>')
  }
  unlist(lapply(seq_along(plots), function(i) {
    c("<figure>", inline_svg(plots[[i]], sprintf("p%d-", i)),
      sprintf("<figcaption>%s</figcaption>", html_escape(names(plots)[i])), "</figure>")
  }))
}

write_report <- function(path, title, sections) {
  html <- c("<!DOCTYPE html>", '<html lang="en">', "<head>", '<meta charset="utf-8">',
            sprintf("<title>%s</title>", html_escape(title)), "<style>", REPORT_STYLE,
            "</style>", "</head>", "<body>", sprintf("<h1>%s</h1>", html_escape(title)),
            sections, "</body>", "</html>")
  replace_file(path, function(tmp) writeLines(html, tmp, useBytes = TRUE))
}

INTERVAL_NOTE <- paste(
  "Each estimate is followed by its 95 % confidence interval (the Monte Carlo error):",
  "Student t for a mean; for a quantile the pair of order statistics enclosing it with",
  "at least 95 % probability, whatever the distribution. \"no interval\": too few rows.")

write_run_report <- function(file, results_path, summary, binned, sensitivity, plots) {
  names_q <- sprintf("q%02d", round(100 * SUMMARY_PROBS))
  shown <- data.frame(column = summary$column, count = num(summary$count),
                      mean = with_interval(summary$mean, summary$mean_ci_low, summary$mean_ci_high),
                      "standard error" = num(summary$se_mean), sd = num(summary$sd),
                      check.names = FALSE, stringsAsFactors = FALSE)
  for (q in names_q) {
    shown[[q]] <- with_interval(summary[[q]], summary[[paste0(q, "_ci_low")]],
                                summary[[paste0(q, "_ci_high")]])
  }
  bins <- data.frame("mean firm size" = range_text(binned$size_lower, binned$size_upper),
                     "median size" = num(binned$size_median), rows = num(binned$count),
                     check.names = FALSE, stringsAsFactors = FALSE)
  for (col in BINNED_MEASURES) {
    v <- function(suffix) binned[[paste0(col, suffix)]]
    bins[[paste(MEASURE_LABELS[[col]], "median")]] <-
      with_interval(v("_median"), v("_median_ci_low"), v("_median_ci_high"))
    bins[[paste(MEASURE_LABELS[[col]], "10-90 %")]] <- range_text(v("_q10"), v("_q90"))
  }
  sensitivity_html <- if (is.null(sensitivity)) {
    '<p class="note">None: it needs a varying drawn exponent and 20 or more rows.</p>'
  } else {
    c(html_table(data.frame(measure = sensitivity$measure, parameter = sensitivity$parameter,
                            "first-order index" = with_interval(sensitivity$index,
                                                                sensitivity$ci_low,
                                                                sensitivity$ci_high),
                            check.names = FALSE, stringsAsFactors = FALSE)),
      sprintf(paste('<p class="note">Share of each measure\'s variance explained by each',
                    'exponent alone, from %d rank groups of the rows; 95 %% percentile',
                    'bootstrap intervals from %d resamples. The rest is left to',
                    'interactions and the economy\'s own randomness.</p>'),
              sensitivity$bins[1], sensitivity$resamples[1]))
  }
  captions <- paste0(basename(sub("[.][^.]*$", "", results_path)), names(plots))
  svg_plots <- setNames(lapply(plots, function(draw) function(p) draw(p, TRUE)), captions)
  write_report(file, paste(basename(results_path), "- post-processing report"), c(
    "<h2>Run</h2>", metadata_section(results_path),
    "<h2>Summary</h2>", sprintf('<p class="note">%s</p>', html_escape(INTERVAL_NOTE)),
    html_table(shown),
    "<h2>By mean firm size</h2>", html_table(bins),
    "<h2>Sensitivity to the drawn exponents</h2>", sensitivity_html,
    "<h2>Plots</h2>", figures(svg_plots)))
}

write_sweep_report <- function(file, path, table, settings, summary, differences, plot_setting) {
  points <- data.frame(summary[, c("point", "file", settings)], rows = num(summary$count),
                       check.names = FALSE, stringsAsFactors = FALSE)
  for (col in BINNED_MEASURES) {
    v <- function(suffix) summary[[paste0(col, suffix)]]
    points[[paste(MEASURE_LABELS[[col]], "median")]] <-
      with_interval(v("_median"), v("_median_ci_low"), v("_median_ci_high"))
    points[[paste(MEASURE_LABELS[[col]], "10-90 %")]] <- range_text(v("_q10"), v("_q90"))
  }
  differences_html <- if (is.null(differences)) {
    '<p class="note">None: the sweep has a single point.</p>'
  } else {
    c(html_table(data.frame(
      differences[, c("point", settings, "measure", "pairing")],
      rows = ifelse(differences$pairing == "paired", num(differences$rows_point),
                    sprintf("%s and %s", num(differences$rows_first), num(differences$rows_point))),
      difference = with_interval(differences$difference, differences$ci_low, differences$ci_high),
      "standard error" = num(differences$se), "variance ratio" = num(differences$variance_ratio),
      note = differences$note, check.names = FALSE, stringsAsFactors = FALSE)),
      paste('<p class="note">Mean of each point minus the first point, with its 95 % interval.',
            'Paired: over the repetitions both points hold (same seed, so the same random',
            'numbers); the variance ratio is how many times more repetitions an unpaired',
            'comparison would need for the same precision. Unpaired: Welch\'s interval.</p>'))
  }
  svg_plots <- setNames(lapply(settings, function(s) function(p) plot_setting(p, s)),
                        sprintf("%s_%s.png", sub("[.]csv$", "", basename(path)), settings))
  write_report(file, paste(basename(path), "- sweep report"), c(
    "<h2>Run (of the first point)</h2>",
    metadata_section(file.path(dirname(path), table$file[1])),
    "<h2>Points</h2>", sprintf('<p class="note">%s</p>', html_escape(INTERVAL_NOTE)),
    html_table(points),
    "<h2>Paired differences to the first point</h2>", differences_html,
    "<h2>Plots</h2>", figures(svg_plots)))
}

# ---------------------------------------------------------------------------
# One results file

# Rows drawn as points: all, or for `thin` at most REPORT_POINTS spread
# evenly over the file (an SVG holds every point it draws).
REPORT_POINTS <- 4000
shown_rows <- function(n, thin) {
  if (!thin || n <= REPORT_POINTS) seq_len(n) else unique(round(seq(1, n, length.out = REPORT_POINTS)))
}

# The plots of one results file by file suffix, each a function(path,
# thin) drawing it; m holds the usable rows, mp those of them with a
# positive mean firm size.
run_plots <- function(name, m, mp, binned, sensitivity) {
  subtitle <- function(rows, thin) {
    n <- nrow(rows)
    paste0(name, ": ", count_of(n, "repetition"),
           if (length(shown_rows(n, thin)) < n) sprintf(" (%d drawn as points)", REPORT_POINTS) else "")
  }
  plots <- list(
    "_gini.png" = function(p, thin) plot_against_size(
      p, mp, binned, c("gini_power", "gini_pay"), c("Gini of power", "Gini of pay"),
      "Gini coefficient (0 = equality, 1 = maximal)",
      "Inequality of power and pay against mean firm size", subtitle(mp, thin),
      shown_rows(nrow(mp), thin)),
    "_top_share.png" = function(p, thin) plot_against_size(
      p, mp, binned, c("top1_share_power", "top1_share_pay"),
      c("top 1 % share of power", "top 1 % share of pay"),
      "share held by the top 1 % of members",
      "Top 1 % shares of power and pay against mean firm size", subtitle(mp, thin),
      shown_rows(nrow(mp), thin)))
  exponent <- m[, "power_to_pay_exponent"]
  if (nrow(m) > 1 && diff(range(exponent)) > 0) {
    plots[["_pay_gini_vs_exponent.png"]] <- function(p, thin) plot_pay_gini_vs_exponent(
      p, m, "Gini of pay against the power-to-pay exponent", subtitle(m, thin),
      shown_rows(nrow(m), thin))
  }
  if (!is.null(sensitivity)) {
    plots[["_sensitivity.png"]] <- function(p, thin) plot_sensitivity(
      p, sensitivity, subtitle(m, FALSE))
  }
  plots
}

process_file <- function(path) {
  if (file.exists(path) && !dir.exists(path) && is_sweep_table(path)) return(process_sweep(path))
  name <- basename(path)
  if (!file.exists(path)) {
    note(name, ": not found (", path, "), skipped")
    return(invisible(character(0)))
  }
  if (dir.exists(path)) {
    stop(failure(sprintf("%s: is a directory, not a results file", path), EXIT_MALFORMED))
  }
  all_rows <- read_results(path)
  if (is.null(all_rows)) {
    note(name, ": empty, nothing to post-process")
    return(invisible(character(0)))
  }
  finite <- rowSums(!is.finite(all_rows)) == 0
  m <- all_rows[finite, , drop = FALSE]
  note(name, ": ", count_of(nrow(all_rows), "row"), " read, ", nrow(m), " used")
  if (any(!finite)) {
    has_nan <- rowSums(is.nan(all_rows)) > 0
    bad_cols <- colSums(!is.finite(all_rows))
    bad_cols <- bad_cols[bad_cols > 0]
    note("  ", count_of(sum(!finite), "row"), " with NaN or infinite values left out (",
         sum(has_nan), " with NaN, ", sum(!finite & !has_nan), " with only infinite), ",
         "first at line ", which(!finite)[1], "; non-finite values per column: ",
         paste(sprintf("%s %d", names(bad_cols), bad_cols), collapse = ", "))
  }
  # A log axis cannot show a mean firm size <= 0; such rows (which the
  # programs never write) stay in the summary only.
  positive <- m[, "mean_firm_size"] > 0
  if (any(!positive)) {
    note("  ", count_of(sum(!positive), "row"), " with mean firm size <= 0 left out of the binned ",
         "table and the plots")
  }
  mp <- m[positive, , drop = FALSE]

  dir <- dirname(path)
  stem <- sub("[.][^.]*$", "", name)
  out <- function(suffix) file.path(dir, paste0(stem, suffix))
  written <- character(0)

  summary <- summary_table(m)
  write_table(summary, out("_summary.csv"))
  written <- c(written, out("_summary.csv"))
  binned <- binned_table(mp)
  write_table(binned, out("_binned.csv"))
  written <- c(written, out("_binned.csv"))
  sensitivity <- sensitivity_table(m)
  if (is.null(sensitivity)) {
    # Drop a table left from an earlier run of the same file.
    unlink(out(c("_sensitivity.csv", "_sensitivity.png")))
    note("  no sensitivity table: ", if (nrow(m) < MIN_SENSITIVITY_ROWS) {
      sprintf("it needs %d or more rows", MIN_SENSITIVITY_ROWS)
    } else "neither drawn exponent varies")
  } else {
    write_table(sensitivity, out("_sensitivity.csv"))
    written <- c(written, out("_sensitivity.csv"))
  }

  if (nrow(m) > 0) {
    show <- summary[, c("column", "mean", "se_mean", "sd", "q10", "q50", "q90")]
    show[-1] <- lapply(show[-1], function(x) formatC(x, digits = 4, format = "g"))
    row <- function(v) sprintf("  %-22s%s", v[1], paste(sprintf("%11s", v[-1]), collapse = ""))
    note(row(names(show)))
    for (i in seq_len(nrow(show))) note(row(unlist(show[i, ])))
  }

  plots <- run_plots(name, m, mp, binned, sensitivity)
  if (!capabilities("png") && !capabilities("cairo")) {
    note("  no PNG graphics device in this R; plots skipped")
  } else {
    for (suffix in names(plots)) {
      replace_file(out(suffix), function(tmp) plots[[suffix]](tmp, FALSE))
      written <- c(written, out(suffix))
    }
    if (is.null(plots[["_pay_gini_vs_exponent.png"]])) {
      # Only a varying exponent (quarnel's) makes this plot; drop one left
      # from an earlier run of the same file so no stale plot remains.
      unlink(out("_pay_gini_vs_exponent.png"))
      note("  no plot against the power-to-pay exponent: it ",
           if (nrow(m) > 1) "does not vary" else "needs two or more rows")
    }
  }
  write_run_report(out("_report.html"), path, summary, binned, sensitivity, plots)
  written <- c(written, out("_report.html"))
  note("  wrote ", paste(basename(written), collapse = ", "))
  invisible(written)
}

# ---------------------------------------------------------------------------

script_dir <- function() {
  arg <- grep("^--file=", commandArgs(trailingOnly = FALSE), value = TRUE)
  if (length(arg) == 0) return(".")
  # Rscript passes spaces in the script's path as "~+~".
  dirname(gsub("~+~", " ", sub("^--file=", "", arg[1]), fixed = TRUE))
}

main <- function(args) {
  # Every argument after "--" is a file name, whatever it begins with.
  end <- match("--", args, nomatch = length(args) + 1L)
  before <- args[seq_len(end - 1L)]
  if (any(before %in% c("-h", "--help"))) {
    note("usage: Rscript ", PROG, " [--] [RESULTS_FILE ...]")
    note("Summarises and plots results files; with no arguments, those of quarnel and ",
         "vesktor in ../results. A plain file name is read from ../results.")
    return(0L)
  }
  if (any(startsWith(before, "-"))) {
    cat(PROG, ": unknown option ", before[startsWith(before, "-")][1],
        " (usage: Rscript ", PROG, " [--] [RESULTS_FILE ...])\n", sep = "", file = stderr())
    return(EXIT_USAGE)
  }
  args <- c(before, args[-seq_len(end)])
  results_dir <- normalizePath(file.path(script_dir(), "..", "results"), mustWork = FALSE)
  files <- if (length(args) > 0) {
    ifelse(grepl("/", args, fixed = TRUE), args, file.path(results_dir, args))
  } else {
    file.path(results_dir, default_files())
  }
  if (length(args) == 0) note(PROG, ": post-processing the results in ", dirname(files[1]))
  status <- 0L
  for (f in files) {
    status <- tryCatch({ process_file(f); status },
      estimator_failure = function(e) {
        cat(PROG, ": error: ", conditionMessage(e), "\n", sep = "", file = stderr())
        max(status, e$status)
      },
      error = function(e) {
        cat(PROG, ": error: ", f, ": ", conditionMessage(e), "\n", sep = "", file = stderr())
        max(status, EXIT_MALFORMED)
      })
  }
  status
}

quit(save = "no", status = main(commandArgs(trailingOnly = TRUE)))
