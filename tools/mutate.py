#!/usr/bin/env python3
"""One-line mutants of launcher/*.cpp, each built and run against the suite.

    tools/mutate.py                       every mutant of every file
    tools/mutate.py --sample 40 --seed 1  a fixed sample of 40
    tools/mutate.py --changed main        the mutants of the files changed since main
    tools/mutate.py --survivors-of LOG    again the survivors a run printed in LOG
    tools/mutate.py --list                print the mutants, build nothing
    tools/mutate.py --from 312            go on with a run stopped after 311 mutants
    tools/mutate.py --budget 540          start no mutant after 540 s
    tools/mutate.py --workers 2 -j 2      two mutants at a time, one compile job each

The tree is copied into build-mutation/src and built there with coverage, so
the working tree is never touched. The suite runs once first, one test function
at a time (as CTest runs its program), recording which launcher lines each
function reaches. Each mutant is then applied, the test programs are rebuilt
(only the changed object compiles), and only the functions that reach its line
run: those that killed this file's mutants before first, then the file's own
test, then the rest fastest first, each with a short timeout; the first failure
kills the mutant. A line no function reaches survives without a run; a line
that runs no code of its own (a constant) is tried against every function.
Then the file is restored, also on Ctrl-C or SIGTERM. A mutant that does not
compile does not count. Survivors listed in tools/mutation-equivalents.txt (the
file, original and mutated line, the reason and, for a text that stands on
several lines, the function meant; tab-separated) are equivalent and do not
fail the run; any other survivor makes the exit status 1.
"""

import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build-mutation"
EQUIVALENTS = ROOT / "tools" / "mutation-equivalents.txt"

# Test name -> the target whose build brings everything it runs.
TARGETS = {"launcher": "tst_launcher"}

RELATIONAL = [(" <= ", " < "), (" < ", " <= "), (" >= ", " > "), (" > ", " >= "),
              (" == ", " != "), (" != ", " == "), (" && ", " || "), (" || ", " && ")]
INTEGER = re.compile(r"(?<![\w.])(\d+)(?![\w.'])")
CALL_STATEMENT = re.compile(r"^\s*(?:[\w:]+(?:\.|->))*[\w:]+\s*\(.*\)\s*;\s*$")
IF_CONDITION = re.compile(r"\b(if|while) \((.*)\)(\s*\{?\s*)$")
TWO_ARGUMENTS = re.compile(r"(\w+)\(([\w.:>-]+), ([\w.:>-]+)\)")
SKIP = re.compile(r"^\s*(#|//|\*|/\*)|qDebug|linkLine\(|printf\(|static_assert|\bQ_[A-Z_]+\(")


class Mutant:
    def __init__(self, path, line, original, mutated, operator, function=None):
        self.path, self.line, self.original, self.mutated = path, line, original, mutated
        self.operator, self.function = operator, function

    def key(self):
        return (self.path, self.function, self.original.strip(), self.mutated.strip())

    def describe(self):
        return "%s:%d: %s: '%s' -> '%s'" % (self.path, self.line, self.operator,
                                          self.original.strip(), self.mutated.strip())


def code_part(text):
    """The line without a trailing // comment and with string literals blanked."""
    blanked = re.sub(r'"(?:[^"\\]|\\.)*"', lambda m: '"' + " " * (len(m.group()) - 2) + '"',
                     text)
    cut = blanked.find("//")
    return blanked if cut < 0 else blanked[:cut]


def mutants_of_line(path, number, text):
    if SKIP.search(text):
        return []
    code = code_part(text)
    found = []

    def add(start, end, replacement, operator):
        found.append(Mutant(path, number, text, text[:start] + replacement + text[end:], operator))

    for old, new in RELATIONAL:
        for m in re.finditer(re.escape(old), code):
            # "a < b" only, not a template's "<" or a stream's "<<".
            if old.strip() in "<>" and ("<<" in code or ">>" in code):
                continue
            add(m.start(), m.end(), new, "relational")
    if "case " not in code and "[" not in code and "enum" not in code:
        for m in INTEGER.finditer(code):
            value = int(m.group(1))
            add(m.start(), m.end(), str(value + 1), "constant")
            add(m.start(), m.end(), "0" if value else "1", "constant")
    for m in re.finditer(r"\b(true|false)\b", code):
        add(m.start(), m.end(), "false" if m.group() == "true" else "true", "constant")
    stripped = code.strip()
    if (CALL_STATEMENT.match(code) and " = " not in code and not stripped.startswith("return")
            and code.count("(") == code.count(")")):
        indent = text[:len(text) - len(text.lstrip())]
        found.append(Mutant(path, number, text, indent + ";", "call removed"))
    for m in TWO_ARGUMENTS.finditer(code):
        if m.group(1) in ("if", "while", "for", "switch", "return"):
            continue
        a, b = m.group(2), m.group(3)
        if a != b:
            add(m.start(2), m.end(3), "%s, %s" % (b, a), "arguments swapped")
        add(m.start(3), m.end(3), "{}", "argument defaulted")
    m = IF_CONDITION.search(code)
    if m and m.group(2).count("(") == m.group(2).count(")"):
        for forced in ("true", "false"):
            if m.group(1) == "while" and forced == "true":
                continue
            add(m.start(2), m.end(2), forced, "branch forced")
    return found


# A definition's first line, at the left margin: "int Foo::bar(int x)" names Foo::bar.
FUNCTION_START = re.compile(r"^(?:[A-Za-z_][^;(]*[\s*&])?([A-Za-z_~][\w:~]*)\(")


def functions_of(lines):
    """The function each line (1-based) lies in, or None outside any."""
    current, result = None, [None]
    for text in lines:
        m = FUNCTION_START.match(text)
        if m and not text.rstrip().endswith(";"):
            current = m.group(1)
        result.append(current)
    return result


def all_mutants(files):
    result = []
    seen = set()
    for path in files:
        in_block_comment = False
        lines = (ROOT / path).read_text().split("\n")
        functions = functions_of(lines)
        for number, text in enumerate(lines, 1):
            if in_block_comment:
                in_block_comment = "*/" not in text
                continue
            if text.lstrip().startswith("/*"):
                in_block_comment = "*/" not in text
                continue
            for mutant in mutants_of_line(path, number, text):
                mutant.function = functions[number]
                if (number, mutant.mutated) not in seen:
                    seen.add((number, mutant.mutated))
                    result.append(mutant)
    return result


def read_equivalents():
    """(file, function, original, mutated) -> reason. The function, a fifth field, is needed
    where the original text stands on several lines of the file: a reason holds for one place."""
    known = {}
    if not EQUIVALENTS.exists():
        return known
    for text in EQUIVALENTS.read_text().split("\n"):
        if not text.strip() or text.startswith("#"):
            continue
        fields = text.split("\t")
        if len(fields) not in (4, 5) or not fields[3].strip():
            sys.exit("mutate: %s: needs file, original, mutated, a reason and maybe the "
                     "function: %r" % (EQUIVALENTS.name, text))
        path, original, mutated = fields[0], fields[1].strip(), fields[2].strip()
        function = fields[4].strip() if len(fields) == 5 else None
        lines = (ROOT / path).read_text().split("\n")
        functions = functions_of(lines)
        places = {functions[n] for n, line in enumerate(lines, 1) if line.strip() == original}
        if not places:
            sys.exit("mutate: %s: no such line in %s: %r" % (EQUIVALENTS.name, path, original))
        if function is None and len(places) > 1:
            sys.exit("mutate: %s: %r stands in %s of %s: name the function in a fifth field"
                     % (EQUIVALENTS.name, original, ", ".join(sorted(places)), path))
        for place in places if function is None else [function]:
            known[(path, place, original, mutated)] = fields[3]
    return known


class Unit:
    """One test function of one test program, run as CTest runs the program (its command,
    environment and directory), or the whole test when its command cannot take the function's
    name."""

    def __init__(self, test, function, command, env, cwd):
        self.test, self.function, self.command, self.env, self.cwd = (test, function, command,
                                                                      env, cwd)
        self.timeout = 300
        # (file, line) of every launcher line the unit ran.
        self.reaches = set()

    def name(self):
        return "%s::%s" % (self.test, self.function) if self.function else self.test


class Worker:
    """A copy of the tree and a build of its own. With several workers each test runs in a
    network namespace and with a /tmp of its own, so that the fixed socket names and the X
    display of one worker's tests never meet another's."""

    def __init__(self, index, jobs, isolated):
        suffix = "" if index == 0 else "-%d" % (index + 1)
        self.src, self.build_dir = WORK / ("src" + suffix), WORK / ("build" + suffix)
        self.jobs, self.isolated = jobs, isolated
        self.units = []
        # Every launcher line that compiles to code.
        self.executable = set()

    def sync(self):
        """Copies the working tree (tracked and new files) into src, leaving unchanged files
        alone so the build there stays incremental."""
        listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"],
                                cwd=ROOT, check=True, capture_output=True).stdout.decode()
        for name in filter(None, listed.split("\0")):
            source, target = ROOT / name, self.src / name
            if not source.is_file():
                continue
            data = source.read_bytes()
            if target.is_file() and target.read_bytes() == data:
                continue
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data)

    def build(self, targets):
        return run(["cmake", "--build", str(self.build_dir), "-j%d" % self.jobs, "--target"]
                   + targets) == 0

    def run_unit(self, unit, timeout):
        """0 when the unit passed, else its exit status, None when it ran out of time: a hang
        is a failure too, but on a loaded machine also a slow pass, so it is shown."""
        command = unit.command + ([unit.function] if unit.function else [])
        if self.isolated:
            command = ["unshare", "-n", "-m", "sh", "-c",
                       'mount -t tmpfs tmpfs /tmp && exec "$@"', "isolated"] + command
        # A mutant may break the seam that keeps tests off the real clock: without the
        # right, the real setter fails, and so does the test, instead of setting ours.
        if os.geteuid() == 0:
            command = ["setpriv", "--bounding-set=-sys_time", "--inh-caps=-sys_time"] + command
        # Settings a run before stored (a volume, a version) must not decide this one.
        env = dict(unit.env)
        # A tenth of the restart soak still runs every kind of restart; the whole one would
        # be half of each survivor's time.
        env["LINK_SOAK_CYCLES"] = "15"
        if "XDG_CONFIG_HOME" in env:
            env["XDG_CONFIG_HOME"] = str(self.build_dir / "unit-config")
            shutil.rmtree(env["XDG_CONFIG_HOME"], ignore_errors=True)
        return run(command, timeout=timeout, env=env, cwd=unit.cwd)

    def baseline(self):
        """Builds everything, splits each test program into its functions and runs each once,
        fastest first afterwards; every unit's timeout is three times its time plus 10 s."""
        # Unoptimised and without debug information: the quickest to compile and link; with
        # coverage, so that each unit's lines can be told.
        subprocess.run(["cmake", "-S", str(self.src), "-B", str(self.build_dir),
                        "-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_CXX_FLAGS_DEBUG=-O0 --coverage"]
                       + ["-DCMAKE_%s_LINKER_FLAGS=--coverage" % kind
                          for kind in ("EXE", "SHARED", "MODULE")], check=True,
                       stdout=subprocess.DEVNULL)
        names = [t["name"] for t in self.ctest_tests()]
        subprocess.run(["cmake", "--build", str(self.build_dir), "-j%d" % self.jobs, "--target"]
                       + [target(name) for name in names], check=True, stdout=subprocess.DEVNULL)
        timed = []
        for unit in self.split(self.ctest_tests()):
            self.clear_coverage()
            t0 = time.monotonic()
            if self.run_unit(unit, 300) != 0:
                sys.exit("mutate: %s fails without any mutant" % unit.name())
            unit.timeout = int((time.monotonic() - t0) * 3) + 10
            unit.reaches = self.coverage()
            timed.append(unit)
        self.units = sorted(timed, key=lambda u: u.timeout)

    def coverage_files(self):
        return list((self.build_dir / "launcher").rglob("*.gcda"))

    def clear_coverage(self):
        for f in self.coverage_files():
            f.unlink()

    def coverage(self):
        """The launcher lines the last unit ran; adds every line with code to executable."""
        files = [str(f) for f in self.coverage_files()]
        if not files:
            return set()
        listed = subprocess.run(["gcov", "--json-format", "--stdout"] + files, check=True,
                                cwd=self.build_dir, capture_output=True, text=True).stdout
        reached = set()
        source = str(self.src) + "/"
        for document in filter(None, listed.split("\n")):
            for entry in json.loads(document)["files"]:
                path = entry["file"]
                path = path[len(source):] if path.startswith(source) else path
                if not re.fullmatch(r"launcher/[^/]+\.cpp", path):
                    continue
                for line in entry["lines"]:
                    self.executable.add((path, line["line_number"]))
                    if line["count"]:
                        reached.add((path, line["line_number"]))
        return reached

    def units_for(self, mutant):
        """The units that run the mutated line, and the file's own test's, whose children
        leave by _exit and so record nothing; all of them for a line without code."""
        where = (mutant.path, mutant.line)
        if where not in self.executable:
            return self.units
        stem = Path(mutant.path).stem
        return [u for u in self.units if where in u.reaches or stem.startswith(u.test)]

    def ctest_tests(self):
        return json.loads(subprocess.run(["ctest", "--show-only=json-v1"], cwd=self.build_dir,
                                         check=True, capture_output=True).stdout)["tests"]

    def split(self, tests):
        units = []
        for test in tests:
            props = {p["name"]: p["value"] for p in test.get("properties", [])}
            env = dict(os.environ)
            env.update(v.split("=", 1) for v in props.get("ENVIRONMENT", []))
            command, cwd = test["command"], props.get("WORKING_DIRECTORY", str(self.build_dir))
            # The programs end their commands, so a function's name can follow them.
            program = command[-1]
            listed = subprocess.run([program, "-functions"], env=env, cwd=cwd,
                                    capture_output=True, text=True)
            functions = [line[:-2] for line in listed.stdout.split("\n") if line.endswith("()")]
            if Path(program).name != target(test["name"]) or listed.returncode or not functions:
                functions = [None]
            units += [Unit(test["name"], f, command, env, cwd) for f in functions]
        return units

    def kill(self, mutant, killers):
        """'killed' by the first failing unit, 'survived', or 'stillborn' when it does not
        build. The likeliest killer's program is linked and run alone; only when it passes are
        the other test programs linked, all in one build."""
        path = self.src / mutant.path
        original = path.read_text()
        lines = original.split("\n")
        try:
            lines[mutant.line - 1] = mutant.mutated
            path.write_text("\n".join(lines))
            if not self.build(["launcherlib"]):
                return "stillborn", None
            order = ordered(mutant, self.units_for(mutant), killers)
            if not order:
                return "survived", "no test reaches it"
            first = target(order[0].test)
            if not self.build([first]):
                return "stillborn", None
            built = False
            for unit in order:
                if not built and target(unit.test) != first:
                    if not self.build(sorted({target(u.test) for u in order})):
                        return "stillborn", None
                    built = True
                status = self.run_unit(unit, unit.timeout)
                if status != 0:
                    with KILLERS_LOCK:
                        mine = killers.setdefault(mutant.path, [])
                        if unit.name() in mine:
                            mine.remove(unit.name())
                        mine.insert(0, unit.name())
                    return "killed", unit.name() + (" (timeout)" if status is None else "")
            return "survived", None
        finally:
            path.write_text(original)


KILLERS_LOCK = threading.Lock()
STOP = threading.Event()


def run(command, timeout=None, **kwargs):
    """The exit status, None on a timeout or a stop; the whole process group goes then, so
    no compiler or test outlives the run."""
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             start_new_session=True, **kwargs)
    deadline = None if timeout is None else time.monotonic() + timeout
    try:
        while not STOP.is_set():
            left = 0.5 if deadline is None else min(0.5, deadline - time.monotonic())
            if left <= 0:
                return None
            try:
                return child.wait(timeout=left)
            except subprocess.TimeoutExpired:
                continue
        return None
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()


def target(name):
    return TARGETS.get(name, "tst_" + name)


def ordered(mutant, units, killers):
    """The units that killed this file's mutants before, most recent first, then the file's
    own unit test, then the rest fastest first: most mutants die in the first unit they meet."""
    stem = Path(mutant.path).stem
    by_name = {u.name(): u for u in units}
    with KILLERS_LOCK:
        first = [by_name[n] for n in killers.get(mutant.path, []) if n in by_name]
    first += [u for u in units if stem.startswith(u.test) and u not in first]
    return first + [u for u in units if u not in first]


def changed_files(ref):
    """The launcher sources that differ from ref's (committed or not); none when there is no
    such ref, as in a clone of main alone."""
    # From where this branch left ref, so that what ref gained since is not counted.
    base = subprocess.run(["git", "merge-base", ref, "HEAD"], cwd=ROOT, capture_output=True,
                          text=True)
    if base.returncode != 0:
        print("mutate: no %s to compare with; the sample alone runs" % ref)
        return []
    diff = subprocess.run(["git", "diff", "--name-only", base.stdout.strip(), "--"], cwd=ROOT,
                          check=True, capture_output=True, text=True)
    return [f for f in diff.stdout.split() if re.fullmatch(r"launcher/[^/]+\.cpp", f)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sample", type=int, help="a sample of this many mutants")
    parser.add_argument("--seed", type=int, default=1, help="the sample's seed (1)")
    parser.add_argument("--changed", metavar="REF",
                        help="first every mutant of the launcher files changed since REF")
    parser.add_argument("--files", nargs="*", help="only these files (launcher/x.cpp)")
    parser.add_argument("--budget", type=int,
                        help="seconds after the first mutant after which no other starts")
    parser.add_argument("--survivors-of", metavar="LOG",
                        help="only the mutants a run printed as SURVIVED in LOG")
    parser.add_argument("--from", dest="first", type=int, default=1, metavar="N",
                        help="begin at the Nth mutant chosen, to go on with a stopped run")
    parser.add_argument("--list", action="store_true", help="print the mutants only")
    parser.add_argument("-j", "--jobs", type=int, default=2, help="compile jobs in all (2)")
    parser.add_argument("--workers", type=int, default=1,
                        help="mutants built and tested side by side, each in a tree of its own")
    args = parser.parse_args()

    files = args.files or sorted(
        str(p.relative_to(ROOT)) for p in (ROOT / "launcher").glob("*.cpp"))
    everything = all_mutants(files)
    chosen = everything
    if args.sample is not None:
        chosen = random.Random(args.seed).sample(everything, min(args.sample, len(everything)))
    if args.changed:
        touched = set(changed_files(args.changed))
        first = [m for m in everything if m.path in touched]
        chosen = first + [m for m in chosen if m.path not in touched]
    if args.survivors_of:
        survived = {line[len("SURVIVED "):].rstrip("\n")
                    for line in open(args.survivors_of) if line.startswith("SURVIVED ")}
        chosen = [m for m in chosen if m.describe() in survived]
    numbered = list(enumerate(chosen, 1))[args.first - 1:]
    if args.list:
        for _, m in numbered:
            print(m.describe())
        print("%d mutants of %d" % (len(numbered), len(everything)))
        return 0

    equivalents = read_equivalents()
    workers = make_workers(args.workers, args.jobs)
    reason = []

    def on_signal(number, frame):
        reason.append("signal %d" % number)
        STOP.set()

    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)
    t0 = time.monotonic()
    counts = {"killed": 0, "survived": 0, "equivalent": 0, "stillborn": 0}
    survivors, killers, pending = [], {}, numbered
    lock = threading.Lock()
    t1 = None

    def work(worker):
        while not STOP.is_set():
            with lock:
                if not pending:
                    return
                if args.budget and time.monotonic() - t1 > args.budget:
                    print("mutate: budget of %d s spent, %d mutants not run"
                          % (args.budget, len(pending)), flush=True)
                    pending.clear()
                    return
                index, mutant = pending.pop(0)
            outcome, by = worker.kill(mutant, killers)
            if STOP.is_set():
                return
            if outcome == "survived" and mutant.key() in equivalents:
                outcome = "equivalent"
            with lock:
                counts[outcome] += 1
                if outcome == "survived":
                    survivors.append(mutant)
                how = "" if not by else " by " + by if outcome == "killed" else " (%s)" % by
                print("[%d/%d %ds] %s%s: %s" % (index, len(chosen), time.monotonic() - t0,
                                               outcome, how, mutant.describe()), flush=True)

    try:
        for worker in workers:
            worker.sync()
        in_parallel([worker.baseline for worker in workers])
        units = workers[0].units
        print("mutate: built and ran the suite in %d s with %d worker(s); %d mutants; %d test "
              "functions, the slowest: %s" % (
                  time.monotonic() - t0, len(workers), len(chosen), len(units),
                  " ".join("%s(%ds)" % (u.name(), u.timeout) for u in units[-5:])), flush=True)
        t1 = time.monotonic()
        in_parallel([lambda w=worker: work(w) for worker in workers])
    finally:
        # The copies are back to the working tree's state whatever happened.
        for worker in workers:
            worker.sync()
    if reason:
        print("mutate: interrupted (%s); the sources are restored; so far:" % reason[0])

    scored = counts["killed"] + counts["survived"]
    print("\nmutate: %d killed, %d survived, %d equivalent, %d did not build, in %d s"
          % (counts["killed"], counts["survived"], counts["equivalent"], counts["stillborn"],
             time.monotonic() - t0))
    if scored:
        print("mutate: score %.1f %% (killed of the non-equivalent mutants that built)"
              % (100.0 * counts["killed"] / scored))
    for m in sorted(survivors, key=lambda m: (m.path, m.line)):
        print("SURVIVED " + m.describe())
    return 130 if reason else 1 if survivors else 0


def make_workers(count, jobs):
    """count workers sharing jobs; more than one only where each can have its own namespaces
    (root) and its own /tmp (a tree outside /tmp, which a private one would hide)."""
    if count > 1 and (os.geteuid() != 0 or str(ROOT).startswith("/tmp/")):
        print("mutate: one worker: several need root and a tree outside /tmp", flush=True)
        count = 1
    return [Worker(i, max(1, jobs // count), count > 1) for i in range(count)]


def in_parallel(calls):
    """Runs the calls in threads of their own and waits for all; the main thread stays free
    for the signals. The first exception of a call is raised here."""
    errors = []

    def guarded(call):
        try:
            call()
        except BaseException as e:  # noqa: B902 a sys.exit in a thread must reach the run
            errors.append(e)
            STOP.set()

    threads = [threading.Thread(target=guarded, args=(c,)) for c in calls]
    for t in threads:
        t.start()
    for t in threads:
        while t.is_alive():
            t.join(0.5)
    if errors:
        raise errors[0]


if __name__ == "__main__":
    sys.exit(main())
