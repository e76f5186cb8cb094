"""The namespace of the simulated host's aster assembly."""
__all__ = []
