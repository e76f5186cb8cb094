"""The simulated solver programs, each run as a process of its own by the
simulated host (an installed launcher imports its module)."""
