"""A run's results outside the run: the journal (every result on disk as its
item ends; what resume reads), reports and the results table (one row per
item), and the morning summary page. Every writer takes the results first
and the path after: ``write(results, path)``."""
from . import journal, report, summary
from .report import results_table

__all__ = ["journal", "report", "summary", "results_table"]
