"""The state of a long job, saved after each run so that a killed job resumes where it was."""
from __future__ import annotations

import json
import os
import tempfile
from collections.abc import Mapping
from typing import Any

from ._record import decode, dumps, encode

_VERSION = 1


class Checkpoint:
    """A state dict in a JSON file, written exactly (see :mod:`kavell_tools._record`).

    :meth:`save` writes a temporary file beside ``path``, flushes it to disk
    and renames it over ``path``, so the file always holds a whole state, the
    last one saved or the one before it, whenever the process is killed.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)

    def load(self) -> dict[str, Any] | None:
        """The saved state, or ``None`` when there is none yet."""
        try:
            with open(self.path, encoding="utf-8") as file:
                saved = json.load(file)
        except FileNotFoundError:
            return None
        if not isinstance(saved, dict) or saved.get("version") != _VERSION:
            raise ValueError(f"{self.path} is not a kavell_tools checkpoint")
        state: dict[str, Any] = decode(saved["state"])
        return state

    def save(self, state: dict[str, Any]) -> None:
        text = dumps({"version": _VERSION, "state": encode(state)})
        directory = os.path.dirname(os.path.abspath(self.path))
        handle, temporary = tempfile.mkstemp(prefix=".checkpoint-", dir=directory)
        try:
            with os.fdopen(handle, "w", encoding="utf-8") as file:
                file.write(text)
                file.flush()
                os.fsync(file.fileno())
            os.replace(temporary, self.path)
        except BaseException:
            os.unlink(temporary)
            raise


def resume(path: str | os.PathLike[str] | None, job: dict[str, Any]) -> tuple[Checkpoint | None, dict[str, Any] | None]:
    """The checkpoint at ``path`` and its saved state, checked to belong to ``job``.

    ``job`` names the strategy and the arguments a resumed job must share
    with the one that saved (its budget, its bounds...); a mismatch raises
    ``ValueError`` rather than mixing two jobs.
    """
    if path is None:
        return None, None
    checkpoint = Checkpoint(path)
    state = checkpoint.load()
    if state is not None and state.get("job") != job:
        raise ValueError(f"{checkpoint.path} holds the state of another job: {state.get('job')!r}")
    return checkpoint, state


def plain(bounds: Mapping[str, Any]) -> dict[str, list[Any]]:
    """Bounds as lists, as a checkpoint keeps them (a range or bytes becomes its list of ints)."""
    return {key: list(values) for key, values in bounds.items()}
