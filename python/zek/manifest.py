"""The zek tool's manifest, OUTDIR/zek-manifest.jsonl, kept from Python: the
records of zek.level_files written as they come, one JSON object per line,
and read back to resume. The tool and this class lock the file alike, so
that only one of them writes into a folder at a time."""
import fcntl
import json
import os


class Manifest:
    """The manifest of the output folder `outdir` (made if missing).

    previous(output) gives an earlier run's record of an output (its path
    under outdir), to pass to zek.level_files; write(record) appends one
    record in one write; close() rewrites the file with the last record of
    each output. Use it in a with statement."""

    NAME = "zek-manifest.jsonl"

    def __init__(self, outdir):
        os.makedirs(outdir, exist_ok=True)
        self.path = os.path.join(outdir, self.NAME)
        self._file = open(self.path, "a+b")
        try:
            fcntl.flock(self._file, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            self._file.close()
            raise RuntimeError(f"another zek is writing to '{outdir}': let it finish, or stop it first") from None
        self._file.seek(0)
        data = self._file.read()
        # A last line without its newline was cut by a killed run: it goes.
        whole = data[: data.rfind(b"\n") + 1]
        if len(whole) != len(data):
            self._file.truncate(len(whole))
        self.records = {}
        for line in whole.splitlines():
            try:
                record = json.loads(line)
            except ValueError:
                continue
            if isinstance(record, dict) and isinstance(record.get("output"), str):
                self.records[record["output"]] = record

    def previous(self, output):
        return self.records.get(output)

    def write(self, record):
        self._file.write(json.dumps(record, sort_keys=True, separators=(",", ":")).encode() + b"\n")
        self._file.flush()
        self.records[record["output"]] = record

    def close(self):
        if self._file.closed:
            return
        temp = self.path + ".new"
        with open(temp, "wb") as out:
            for record in self.records.values():
                out.write(json.dumps(record, sort_keys=True, separators=(",", ":")).encode() + b"\n")
        os.replace(temp, self.path)
        self._file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
