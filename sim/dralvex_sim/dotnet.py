"""The parts of the .NET base library the module uses."""
import json
import threading


class Exception_(Exception):
    """Base of the simulated .NET exceptions, as the bridge surfaces them."""


class FileNotFoundException(Exception_):
    pass


class BadImageFormatException(Exception_):
    pass


class CultureNotFoundException(Exception_):
    pass


class InvalidOperationException(Exception_):
    pass


class ArgumentException(Exception_):
    pass


class IOException(Exception_):
    pass


def read_document(path, document_format, kind):
    """A JSON document of the simulated host, or IOException as the host
    raises for a file it cannot read."""
    try:
        with open(path, "r", encoding="utf-8") as stream:
            document = json.load(stream)
    except (OSError, ValueError) as error:
        raise IOException("Cannot read the %s '%s': %s" % (kind, path, error))
    if not isinstance(document, dict) or document.get("format") != document_format:
        raise IOException("'%s' is not a %s" % (path, kind))
    return document


class CultureInfo:
    """System.Globalization.CultureInfo; equal when the names are."""

    _known = {"", "en-US", "en-GB", "fr-FR", "de-DE"}

    def __init__(self, name):
        if name not in self._known:
            raise CultureNotFoundException("Culture is not supported. Parameter name: name %s" % name)
        self.Name = name

    def __eq__(self, other):
        return isinstance(other, CultureInfo) and other.Name == self.Name

    def __hash__(self):
        return hash(self.Name)

    def __repr__(self):
        return "CultureInfo(%r)" % self.Name


#: The culture a thread starts with.
DEFAULT_CULTURE = CultureInfo("fr-FR")


class _ManagedThread:
    def __init__(self, ident):
        self.ManagedThreadId = ident
        self.CurrentCulture = DEFAULT_CULTURE
        self.CurrentUICulture = DEFAULT_CULTURE


_local = threading.local()


def managed_thread():
    """The managed thread object of the calling Python thread (made on first
    use; a new thread starts with the default culture)."""
    thread = getattr(_local, "thread", None)
    if thread is None:
        thread = _local.thread = _ManagedThread(threading.get_ident())
    return thread


class _CurrentThread:
    def __get__(self, instance, owner):
        return managed_thread()


class Thread:
    """System.Threading.Thread: only CurrentThread."""

    CurrentThread = _CurrentThread()


def reset():
    _local.__dict__.pop("thread", None)


class Point:
    """System.Windows.Point."""

    def __init__(self, x, y):
        self.X = x
        self.Y = y

    def __eq__(self, other):
        return isinstance(other, Point) and (self.X, self.Y) == (other.X, other.Y)

    def __repr__(self):
        return "Point(%r, %r)" % (self.X, self.Y)
