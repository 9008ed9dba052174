"""Shared code of the benchmark tools (bench-run, bench-report)."""
