"""Simulated aster solver program."""
import sys
sys.exit(0)
