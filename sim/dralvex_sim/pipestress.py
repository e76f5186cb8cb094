"""The namespace of the simulated host's pipestress assembly."""
__all__ = []
