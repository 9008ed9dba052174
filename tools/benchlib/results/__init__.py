"""The results files the programs write: their layout, the parser, the check of a window
against itself, runs gathered from folders, and the followers of files that grow."""
