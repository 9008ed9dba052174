"""bench-report: the command line, the table, frames.csv and summary.json, comparisons and
plots."""
