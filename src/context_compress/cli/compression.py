"""The work on one input, as a job does it (jobs.py): read it, compress it,
and write it where the options say; its outcome goes to the report."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import os
import sys
import threading
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from .. import chat
from ..compressor import LLM, Compressor
from .archive import ArchiveFailed, appended, archive_name, span_lines
from .files import BadInput, Input, Loaded, parse, read_input, regular_file_problem
from .json_fields import Before, Outcome, mask_summary, observe, summary_message
from .writing import Changed, dump, link_atomic, write_atomic


class OneServer:
    """The chat layer as the compressor's `llm`, for a run: once its server
    could not be reached or did not answer in time, later requests of the
    run fail at once, so that a dead server costs its time-out once, not
    once per file. Shared by the jobs of the run."""

    def __init__(self, layer: chat.ChatLayer) -> None:
        self.layer = layer
        self.unreachable: str | None = None

    def __call__(self, messages: list[dict[str, str]], cfg: dict[str, Any]) -> Any:
        if self.unreachable is not None:
            raise chat.ChatError(f"not asked, since an earlier request of this run failed: {self.unreachable}")
        try:
            return self.layer(messages, cfg, stream=False)
        except chat.ServerUnreachable as exc:
            self.unreachable = str(exc)
            raise


class Stopping(BaseException):
    """The run is stopping: a file not yet written is not written now. Not
    an Exception, so that nothing on the way takes it for a failure."""


class Runner:
    """Compresses inputs as the options say, one per call of process(), from
    one thread or several."""

    def __init__(self, options: argparse.Namespace, redact: chat.Redactor,
                 api_key: str | None) -> None:
        self.options = options
        self.redact = redact
        self.archive = Path(options.archive) if options.archive else None
        # Writes in progress, so that a stopping run can let each finish and
        # start no other: no file is ever left half-written.
        self._writes = 0
        self._stopping = False
        self._write_state = threading.Condition()
        self._inside = threading.local()  # .writing: this thread is in a write section
        llm: LLM | None = None
        if options.llm_url:
            llm = OneServer(chat.ChatLayer(chat.Settings(
                base_url=options.llm_url, model=options.model, api_key=api_key,
                connect_timeout=options.connect_timeout, read_timeout=options.read_timeout,
                token_limit_param=options.token_limit_param,
                reasoning_effort=options.reasoning_effort, api_key_env=options.api_key_env)))
        self.compressor = Compressor(llm, options.max_context, facts=not options.module_transcript,
                                     use_llm=llm is not None)

    def stop(self) -> None:
        """No write starts from now on; returns once those under way are done."""
        with self._write_state:
            self._stopping = True
            while self._writes:
                self._write_state.wait()

    @contextlib.contextmanager
    def _writing(self) -> Iterator[None]:
        """A section of writes that a stop lets finish: an archived span and
        the writes of its conversation are one section, so a stop never
        leaves a span archived and still in the file it was archived from."""
        if getattr(self._inside, "writing", False):
            yield  # part of this thread's section
            return
        with self._write_state:
            if self._stopping:
                raise Stopping
            self._writes += 1
        self._inside.writing = True
        try:
            yield
        finally:
            self._inside.writing = False
            with self._write_state:
                self._writes -= 1
                self._write_state.notify_all()

    def target_of(self, item: Input, several: bool) -> Path | str | None:
        """Where the rewritten conversation goes: a path, "-" or None (nowhere)."""
        if self.options.in_place:
            return item.path
        output: str | None = self.options.output
        if output is None or output == "-":
            return output
        name = item.path.name if item.path is not None else "conversation.json"
        out = Path(output)
        if several or names_directory(output):
            return out / name
        return out

    def load(self, item: Input, stdin: Any) -> Loaded:
        if item.problem:
            raise BadInput(item.problem)
        if self.options.in_place and item.path is not None:
            problem = regular_file_problem(item.path)
            if problem:
                raise BadInput(problem)
        return parse(*read_input(item.path, stdin, self.options.max_input_size))

    def process(self, item: Input, several: bool, stdin: Any) -> Outcome:
        outcome = Outcome(item.label, also=[name.label for name in item.also])
        try:
            loaded = self.load(item, stdin)
        except BadInput as exc:
            return outcome.bad_input(str(exc))
        try:
            before = self.compress(loaded, outcome)
        except Exception as exc:  # a fault of the module or of this command
            return outcome.failed(f"compression failed: {type(exc).__name__}: {exc}")
        if self.options.llm_required and outcome.compressed and outcome.summary_source != "llm":
            return outcome.failed(f"no summary from the LLM ({outcome.llm_error}); with "
                                  "--llm-required nothing is written for this file")
        targets = self.targets_of(item, several)
        archiving = self.archive is not None and outcome.compressed and bool(targets)
        target = None
        failure: BaseException | None = None
        try:
            with self._writing() if archiving else contextlib.nullcontext():
                with self.kept_span(item, before, loaded, outcome) if archiving else contextlib.nullcontext():
                    for name, target in targets:
                        try:
                            self.write(loaded, outcome, name, target)
                        except BaseException as exc:
                            if outcome.written is None:
                                raise  # nothing rewritten: the archived span goes again
                            failure = exc  # rewritten under another name: the span stays archived
                            break
        except ArchiveFailed as exc:
            return outcome.failed(str(exc))
        except (Changed, OSError) as exc:
            failure = exc
        if failure is None:
            return outcome
        if not isinstance(failure, (Changed, OSError)):
            raise failure
        problem = (str(failure) if isinstance(failure, Changed)
                   else f"cannot write {target}: {failure.strerror or failure}")
        if outcome.written:  # under another name, before this one failed
            problem += f" ({', '.join([outcome.written, *outcome.also_written])} written)"
        return outcome.failed(problem)

    def compress(self, loaded: Loaded, outcome: Outcome) -> Before:
        conv = loaded.conv
        before = Before.of(conv)
        result = self.compressor.compress(conv)
        if result.compressed:
            mask_summary(before, conv, self.redact.secrets_only)
        observe(outcome, before, conv, result, self.options.max_context,
                whole_span=not self.options.module_transcript)
        return before

    @contextlib.contextmanager
    def kept_span(self, item: Input, before: Before, loaded: Loaded, outcome: Outcome) -> Iterator[None]:
        """Appends the span the compression replaced to the archive for the
        block, which rewrites the file; raises ArchiveFailed when it cannot
        (then nothing is written for the file), and takes the span out of the
        archive again when the block fails before anything was rewritten."""
        assert self.archive is not None
        path = self.archive / archive_name(item)
        # The span is what left the list: the module stores a new list that
        # holds every message it keeps, the same objects, and the summary.
        _, span = summary_message(before, loaded.conv)
        cut_time = loaded.conv.get("cut_time")
        if len(span) != outcome.stats.get("compressed") or cut_time != outcome.stats.get("new_cut_time"):
            raise ArchiveFailed(f"the compressed messages could not be told apart for {path}; "
                                "nothing written for it")
        archived = contextlib.ExitStack()
        try:
            archived.enter_context(appended(path, span_lines(item.label, cut_time, span)))
        except OSError as exc:
            raise ArchiveFailed(f"cannot append to the archive {path}: {exc.strerror or exc}; "
                                "nothing written for it") from None
        with archived:
            yield

    def targets_of(self, item: Input, several: bool) -> list[tuple[Input, Path | str]]:
        """Where each name of `item` has its output written, each place once:
        names that lead to one file (through symbolic links) share one write."""
        targets: dict[str, tuple[Input, Path | str]] = {}
        for name in item.names:
            target = self.target_of(name, several)
            if target is not None:
                key = target if target == "-" else os.path.realpath(target)
                targets.setdefault(key, (name, target))
        return list(targets.values())

    def write(self, loaded: Loaded, outcome: Outcome, item: Input, target: Path | str) -> None:
        data = dump(loaded.conv, loaded.style) if outcome.compressed else loaded.raw
        if target == "-":
            sys.stdout.buffer.write(data)
            sys.stdout.buffer.flush()
            outcome.written = "-"
            return
        assert isinstance(target, Path)
        same = item.path is not None and _same_file(item.path, target)
        if same and not outcome.compressed:
            return  # the original stays exactly as it is
        original = loaded.original if same else None
        if original is not None:
            original = dataclasses.replace(original, path=target)
        with self._writing():
            if original is not None and outcome.rewritten is not None:
                # Another name of the file read, rewritten already: it becomes
                # a name of the new file too, as it was of the old one.
                link_atomic(outcome.rewritten, target, original)
                outcome.other_links -= 1
            else:
                written = write_atomic(target, data, original)
                if original is not None:
                    outcome.rewritten, outcome.other_links = written.path, written.other_links
        if outcome.written is None:
            outcome.written = str(target)
        else:
            outcome.also_written.append(str(target))


def names_directory(output: str) -> bool:
    """-o OUT names a directory when it is one, or ends in a slash."""
    return output.endswith(("/", os.sep)) or Path(output).is_dir()


def _same_file(a: Path, b: Path) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False
