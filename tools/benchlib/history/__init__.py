"""The run history: every run recorded in an SQLite database (when, where, what, how it
ended, its headline and its windows' and hosts' rates), listed, followed over time and
checked against the runs before it."""
