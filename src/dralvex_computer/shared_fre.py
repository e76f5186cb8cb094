"""The warning for model documents that share one FRE input file.

The application names a model's FRE input file ``<stem>.fre`` when that file
exists, and otherwise ``conception.fre`` in the model's directory: one study
directory holds one model. Two model documents saved in one directory then
write and read the same ``conception.fre``, and solving one of them uses
whichever was written last.
"""
import os
import warnings

from .facts import MODEL_EXTENSION

__all__ = ["SharedFreFileWarning"]


class SharedFreFileWarning(UserWarning):
    """A model's FRE input file is the ``conception.fre`` of a directory that
    holds other model documents: a solve may use another model's input. Keep
    one model per directory, or create ``<name>.fre`` beside the model."""


def warn_if_shared(frefile, straleFilename):
    """Called by the native module where it writes or uses the fallback
    ``conception.fre`` of a model's directory."""
    try:
        directory = os.path.dirname(os.fspath(frefile))
        own = os.path.basename(os.fspath(straleFilename))
        names = os.listdir(directory or os.curdir)
    except (OSError, TypeError, ValueError):
        return
    others = sorted(name for name in names if name.lower().endswith(MODEL_EXTENSION) and name != own)
    if not others:
        return
    warnings.warn(SharedFreFileWarning(
        "model %r uses the FRE input file %r, which the other model documents of its directory (%s) share: "
        "a solve may use another model's input. Keep one model per directory, or create %r first."
        % (straleFilename, frefile, ", ".join(others),
           os.path.splitext(own)[0] + ".fre")), stacklevel=2)
