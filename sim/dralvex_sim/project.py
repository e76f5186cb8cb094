"""The namespace of the simulated host's project assembly."""
__all__ = []
