"""Simulated pipestress solver program."""
import sys
sys.exit(0)
