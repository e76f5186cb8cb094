"""Which items of a job run, and why: each item's identity and what its
run reads (the fingerprint), and, when an earlier journal is read, the
results that stand for their items (unchanged, solved or done before) and
why every other item runs. What a run does first, and all that a dry run
does."""
from __future__ import annotations

import dataclasses
import logging
from typing import Any, Dict, List, Optional, Tuple

from . import identity
from .items import DONE, SOLVED, ItemResult
from .options import Job
from .results import journal as journals

logger = logging.getLogger("dralvex_computer")

NEW = "new"
UNCHANGED = "unchanged since the journal"


@dataclasses.dataclass
class Plan:
    identities: List[str] = dataclasses.field(default_factory=list)
    inputs: List[Dict[str, str]] = dataclasses.field(default_factory=list)
    keys: List[str] = dataclasses.field(default_factory=list)   # empty without a journal (nothing reads them)
    reasons: Dict[int, str] = dataclasses.field(default_factory=dict)   # why an item runs in a resumed run
    standing: Dict[int, ItemResult] = dataclasses.field(default_factory=dict)   # results an earlier run left
    version: str = ""   # the installation's, a part of every item's inputs

    def why(self, index: int) -> str:
        """Why the item runs, or that it does not (its result stands)."""
        return "done: " + UNCHANGED if index in self.standing else self.reasons.get(index, NEW)


def make(job: Job, installation: Any, journal_path: Optional[str], resume: bool) -> Plan:
    contents = journals.read(journal_path) if resume and journal_path else journals.Contents()
    if resume and contents.legacy and not contents.runs:
        logger.info("the journal was written by an earlier version of the package: every item runs again")
    plan = Plan(version=identity.installation_version(installation))
    known: Dict[Any, Tuple[str, Dict[str, str]]] = {}   # a model listed many times is read once
    for index, item in enumerate(job.sent):
        try:
            described = known[item] if item in known else known.setdefault(item, job.describe(item))
        except TypeError:   # an item that does not hash
            described = job.describe(item)
        name, inputs, key = completed(described, plan.version, bool(journal_path))
        plan.identities.append(name)
        plan.inputs.append(inputs)
        plan.keys.append(key)
        if resume:
            _resume_one(plan, index, job.items[index], contents, name, key, inputs)
    return plan


def completed(described: Tuple[str, Dict[str, str]], version: str, journaled: bool) -> Tuple[str, Dict[str, str], str]:
    """(identity, inputs, fingerprint) of an item ``job.describe`` described:
    the installation is among what every item reads."""
    name, inputs = described
    inputs = dict(inputs, installation=version)
    return name, inputs, identity.fingerprint(inputs) if journaled else ""


def _resume_one(plan: Plan, index: int, item: Any, contents: journals.Contents, name: str, key: str,
                inputs: Dict[str, str]) -> None:
    earlier = contents.ended.get(name)
    if earlier is None:
        reason = "ended without a result in an earlier run" if name in contents.unfinished else NEW
    elif earlier.key != key:
        reason = "changed since the journal: %s" % ", ".join(identity.changed(earlier.inputs, inputs))
    elif earlier.record.get("status") not in (SOLVED, DONE):
        reason = "%s before" % earlier.record.get("status")
    else:
        plan.standing[index] = ItemResult.from_record(earlier.record, index, item, resumed=True, identity=name,
                                                      run_reason=UNCHANGED)
        return
    plan.reasons[index] = reason
    logger.info("item %d (%s): runs: %s", index, item, reason)
