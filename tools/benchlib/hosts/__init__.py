"""What runs on each host of a run: its Xvfb, the X window watcher, the window driver, the
agent, hostfiles and launch lines, processes and the limits of a host."""
