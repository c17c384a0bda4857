# Post-processing of the results files written by quarnel and vesktor.
#
# Usage: Rscript energy_estimator.R [RESULTS_FILE ...]
#
# With no arguments it reads from ../results the default results file of each
# program built in ../executables, as "PROGRAM --print-results-file" names it
# (quarnel's and vesktor's), ../results and ../executables being taken
# relative to the directory of this script (the programs start it in R/
# beside results/); without any program there it stops (exit status 2).
# Named files are read instead when given: a plain file name (no '/') from
# ../results, a path as it is.
#
# A results file has no header and one row per repetition of seven
# comma-separated numbers (the column names are in RESULT_COLUMNS below).
# Numbers may be written as "nan", "-nan", "inf" or "-inf"; rows holding a
# NaN or infinite value are counted, reported and left out of everything
# below. For a results file <stem>.csv it writes, beside it:
#   <stem>_summary.csv   count, mean, sd and the 1/10/50/90/99 % quantiles
#                        of each column
#   <stem>_binned.csv    median and 10 % / 90 % quantiles of the Ginis and
#                        top 1 % shares per logarithmic bin of the mean firm
#                        size (ten bins per decade), with each bin's count
#   <stem>_gini.png      Gini of power and of pay against mean firm size
#   <stem>_top_share.png top 1 % shares of power and pay against mean firm size
#   <stem>_pay_gini_vs_exponent.png
#                        Gini of pay against the power-to-pay exponent (only
#                        when that exponent varies, i.e. for quarnel)
# A sweep table <stem>.sweep.csv (written by a run with --sweep: a header
# "point,file,<setting>,...", then one line per point) is read with every
# point's results file beside it, and gives instead:
#   <stem>.sweep_summary.csv  per point: its settings, rows used, and the 10 %,
#                        50 % and 90 % quantiles of the Ginis and top 1 % shares
#   <stem>.sweep_<setting>.png  for each swept setting: median and 10-90 %
#                        band of the two Ginis and two top shares against the
#                        setting's value (the rows of every point with that
#                        value pooled)
# Every output is written under a temporary name and renamed into place.
#
# A missing or empty results file is a note. A malformed one (a line without
# exactly seven values, or a value that is not a number) is an error naming
# the file and line; the other files are still processed.
# Exit status: 0 success (notes included); 1 a results file is malformed or
# unreadable (or any other unexpected error); 2 usage error; 3 an output
# could not be written.
# Base R only.

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

note <- function(...) cat(..., "\n", sep = "")

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
# Reading

# Returns NULL for an empty file, else the numeric matrix of its rows (row i
# is line i: a blank line among the rows is malformed). Throws an
# estimator_failure naming the file and the first bad line.
read_results <- function(path) {
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
  data.frame(column = names(RESULT_COLUMNS), stats, check.names = FALSE)
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
      size_median = median(size[sel]), count = sum(sel), per)
  })
  header <- c("size_lower", "size_upper", "size_median", "count",
              as.vector(t(outer(BINNED_MEASURES, c("_q10", "_median", "_q90"), paste0))))
  if (length(rows) == 0) {
    return(as.data.frame(setNames(rep(list(numeric(0)), length(header)), header)))
  }
  as.data.frame(do.call(rbind, rows))[, header]
}

# ---------------------------------------------------------------------------
# Plots

open_png <- function(path) {
  # Cairo needs no X server; the X11 type is only a last resort.
  type <- if (capabilities("cairo")) "cairo" else getOption("bitmapType")
  png(gsub("%", "%%", path, fixed = TRUE), width = 900, height = 650, res = 110,
      type = type)
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

# Median line and 10-90 % band of one measure over the bins.
draw_bins <- function(x, lo, mid, hi, colour) {
  if (length(x) > 1) {
    polygon(c(x, rev(x)), c(lo, rev(hi)), col = adjustcolor(colour, alpha.f = 0.18),
            border = NA)
    lines(x, mid, col = colour, lwd = 2.5)
  }
  points(x, mid, col = colour, pch = 21, bg = "white", lwd = 2, cex = 1.1)
}

BIN_NOTE <- "points: one repetition each; lines: median per bin; bands: 10 % to 90 % quantile"

no_data <- function(title, subtitle) {
  plot.new()
  title(main = title, line = 2.6)
  mtext(subtitle, side = 3, line = 0.8, cex = 0.8)
  text(0.5, 0.5, "no rows with finite values and a positive mean firm size")
}

# Two measures (power and pay) against the mean firm size on a log axis.
plot_against_size <- function(path, m, binned, cols, labels, ylab, title, subtitle) {
  open_png(path)
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
    points(x, y[, j], pch = 16, cex = point_size(nrow(m)),
           col = point_colour(colours[j], nrow(m)))
  }
  # Each bin's summary sits at the median firm size of its rows.
  for (j in 1:2) {
    draw_bins(binned$size_median, binned[[paste0(cols[j], "_q10")]],
              binned[[paste0(cols[j], "_median")]], binned[[paste0(cols[j], "_q90")]],
              colours[j])
  }
  bottom_legend(legend = labels, col = colours, pch = 16, lty = 1, lwd = 2.5)
}

# Classes of mean firm size for colouring the points of the exponent plot:
# how strongly the exponent drives pay inequality depends on firm size.
SIZE_CLASSES <- c(0, 1.1, 2, 10, Inf)
SIZE_CLASS_LABELS <- c("mean firm size < 1.1", "1.1 to 2", "2 to 10", "10 or more")
SIZE_CLASS_COLOURS <- c("#7AC36A", "#2A9D8F", "#2F5DA8", "#5B1A6B")

plot_pay_gini_vs_exponent <- function(path, m, title, subtitle) {
  open_png(path)
  on.exit(dev.off())
  e <- m[, "power_to_pay_exponent"]
  g <- m[, "gini_pay"]
  plot(range(e), range(g), type = "n", xlab = "", ylab = "Gini of pay (0 = equal pay)",
       las = 1)
  title(main = title, line = 2.6)
  title(xlab = "power-to-pay exponent e (pay = power^e x log-normal noise)", line = 2.5)
  grid(col = "grey88", lty = 1)
  class <- pmax(1L, findInterval(m[, "mean_firm_size"], SIZE_CLASSES))
  alpha <- max(0.15, min(0.85, 300 / nrow(m)))
  points(e, g, pch = 16, cex = point_size(nrow(m)),
         col = adjustcolor(SIZE_CLASS_COLOURS, alpha.f = alpha)[class])
  # Equal-width bins of the exponent, about sixteen over its range.
  breaks <- pretty(range(e), n = 16)
  k <- findInterval(e, breaks, rightmost.closed = TRUE)
  bins <- sort(unique(k))
  centre <- (breaks[bins] + breaks[bins + 1]) / 2
  q <- vapply(bins, function(b) quantile(g[k == b], c(0.10, 0.50, 0.90), names = FALSE),
              numeric(3))
  draw_bins(centre, q[1, ], q[2, ], q[3, ], "grey20")
  mtext(paste0(subtitle, "\n", BIN_NOTE, sprintf(" (bins of width %g)", diff(breaks)[1])),
        side = 3, line = 0.3, cex = 0.8)
  present <- sort(unique(class))
  legend("bottom", inset = c(0, -0.4), xpd = NA, bty = "n", cex = 0.85, ncol = 3,
         legend = c(SIZE_CLASS_LABELS[present], "median per exponent bin",
                    "10 % to 90 % quantile"),
         col = c(SIZE_CLASS_COLOURS[present], "grey20", adjustcolor("grey20", alpha.f = 0.2)),
         pch = c(rep(16, length(present)), NA, 15),
         lty = c(rep(NA, length(present)), 1, NA), lwd = c(rep(NA, length(present)), 2.5, NA),
         pt.cex = c(rep(1, length(present)), NA, 2))
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
    m[rowSums(!is.finite(m)) == 0, , drop = FALSE]
  })
}

quantiles_of <- function(m) {
  unlist(lapply(BINNED_MEASURES, function(col) {
    q <- if (nrow(m) > 0) quantile(m[, col], c(0.10, 0.50, 0.90), names = FALSE, type = 7) else rep(NA, 3)
    setNames(q, paste0(col, c("_q10", "_median", "_q90")))
  }))
}

# Median and 10-90 % band of two measures against one setting's values.
plot_sweep_panel <- function(x, labels, q, cols, names, ylab, numeric_x) {
  colours <- c(COLOUR_POWER, COLOUR_PAY)
  y <- unlist(q[, paste0(rep(cols, each = 3), c("_q10", "_median", "_q90"))])
  xlim <- if (numeric_x) range(x) else c(0.5, length(x) + 0.5)
  plot(xlim, range(y, na.rm = TRUE), type = "n", xlab = "", ylab = ylab, las = 1, xaxt = "n")
  axis(1, at = x, labels = labels, gap.axis = 0)
  grid(col = "grey88", lty = 1)
  for (j in 1:2) {
    draw_bins(x, q[[paste0(cols[j], "_q10")]], q[[paste0(cols[j], "_median")]],
              q[[paste0(cols[j], "_q90")]], colours[j])
  }
  legend("topleft", legend = names, col = colours, lwd = 2.5, bty = "n", cex = 0.85)
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
  summary <- data.frame(table[, c("point", "file", settings)],
                        count = vapply(points, nrow, integer(1)),
                        do.call(rbind, lapply(points, quantiles_of)), check.names = FALSE)
  write_table(summary, out("_summary.csv"))
  written <- out("_summary.csv")
  if (capabilities("png") || capabilities("cairo")) {
    for (setting in settings) {
      values <- unique(table[[setting]])
      numbers <- suppressWarnings(as.numeric(values))
      numeric_x <- !anyNA(numbers)
      order <- if (numeric_x) order(numbers) else seq_along(values)
      values <- values[order]
      x <- if (numeric_x) numbers[order] else seq_along(values)
      q <- as.data.frame(do.call(rbind, lapply(values, function(v) {
        quantiles_of(do.call(rbind, points[table[[setting]] == v]))
      })))
      file <- out(paste0("_", setting, ".png"))
      replace_file(file, function(tmp) {
        open_png(tmp)
        on.exit(dev.off())
        par(mfrow = c(1, 2), mar = c(5, 4.6, 1.5, 1), oma = c(0, 0, 2, 0))
        plot_sweep_panel(x, values, q, c("gini_power", "gini_pay"), c("Gini of power", "Gini of pay"),
                         "Gini coefficient", numeric_x)
        title(xlab = setting, line = 3)
        plot_sweep_panel(x, values, q, c("top1_share_power", "top1_share_pay"),
                         c("top 1 % share of power", "top 1 % share of pay"), "top 1 % share", numeric_x)
        title(xlab = setting, line = 3)
        mtext(sprintf("%s: medians and 10-90 %% bands against %s (%s, %d rows)", basename(path), setting,
                      count_of(nrow(table), "point"), sum(vapply(points, nrow, integer(1)))),
              outer = TRUE, cex = 0.9)
      })
      written <- c(written, file)
    }
  }
  note("  wrote ", paste(basename(written), collapse = ", "))
  invisible(written)
}

# ---------------------------------------------------------------------------
# One results file

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

  if (nrow(m) > 0) {
    show <- summary[, c("column", "mean", "sd", "q10", "q50", "q90")]
    show[-1] <- lapply(show[-1], function(x) formatC(x, digits = 4, format = "g"))
    row <- function(v) sprintf("  %-22s%s", v[1], paste(sprintf("%11s", v[-1]), collapse = ""))
    note(row(names(show)))
    for (i in seq_len(nrow(show))) note(row(unlist(show[i, ])))
  }

  if (!capabilities("png") && !capabilities("cairo")) {
    note("  no PNG graphics device in this R; plots skipped")
  } else {
    subtitle <- sprintf("%s: %s", name, count_of(nrow(mp), "repetition"))
    plot_png <- function(suffix, draw) {
      replace_file(out(suffix), function(tmp) draw(tmp))
      written <<- c(written, out(suffix))
    }
    plot_png("_gini.png", function(p) plot_against_size(
      p, mp, binned, c("gini_power", "gini_pay"), c("Gini of power", "Gini of pay"),
      "Gini coefficient (0 = equality, 1 = maximal)",
      "Inequality of power and pay against mean firm size", subtitle))
    plot_png("_top_share.png", function(p) plot_against_size(
      p, mp, binned, c("top1_share_power", "top1_share_pay"),
      c("top 1 % share of power", "top 1 % share of pay"),
      "share held by the top 1 % of members",
      "Top 1 % shares of power and pay against mean firm size", subtitle))
    exponent <- m[, "power_to_pay_exponent"]
    if (nrow(m) > 1 && diff(range(exponent)) > 0) {
      plot_png("_pay_gini_vs_exponent.png", function(p) plot_pay_gini_vs_exponent(
        p, m, "Gini of pay against the power-to-pay exponent",
        sprintf("%s: %s", name, count_of(nrow(m), "repetition"))))
    } else {
      # Only a varying exponent (quarnel's) makes this plot; drop one left
      # from an earlier run of the same file so no stale plot remains.
      unlink(out("_pay_gini_vs_exponent.png"))
      note("  no plot against the power-to-pay exponent: it ",
           if (nrow(m) > 1) "does not vary" else "needs two or more rows")
    }
  }
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
  if (any(args %in% c("-h", "--help"))) {
    note("usage: Rscript ", PROG, " [RESULTS_FILE ...]")
    note("Summarises and plots results files; with no arguments, those of quarnel and ",
         "vesktor in ../results. A plain file name is read from ../results.")
    return(0L)
  }
  if (any(startsWith(args, "-"))) {
    cat(PROG, ": unknown option ", args[startsWith(args, "-")][1],
        " (usage: Rscript ", PROG, " [RESULTS_FILE ...])\n", sep = "", file = stderr())
    return(EXIT_USAGE)
  }
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
