"""bench-run: the command line, the plan, the one run path across one or more hosts, the build
lookup, run.json and the progress line."""
