#!/usr/bin/env python3
"""One-line mutants of launcher/*.cpp, each built and run against the suite.

    tools/mutate.py                       every mutant of every file
    tools/mutate.py --sample 40 --seed 1  a fixed sample of 40
    tools/mutate.py --changed main        the mutants of the files changed since main
    tools/mutate.py --survivors-of LOG    again the survivors a run printed in LOG
    tools/mutate.py --list                print the mutants, build nothing
    tools/mutate.py --budget 540          start no mutant after 540 s

The tree is copied into build-mutation/src and mutated there, so the working
tree is never touched; each mutant is applied, the test programs are rebuilt
one at a time (only the changed object compiles), the tests run fastest first
with a short timeout and the first failure kills the mutant; then the file is
restored, also on Ctrl-C or SIGTERM. A mutant that does not compile does not
count. Survivors listed in tools/mutation-equivalents.txt (file, original line,
mutated line and the reason, tab-separated) are equivalent and do not fail the
run; any other survivor makes the exit status 1.
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
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build-mutation"
SRC = WORK / "src"
BUILD = WORK / "build"
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
    def __init__(self, path, line, original, mutated, operator):
        self.path, self.line, self.original, self.mutated = path, line, original, mutated
        self.operator = operator

    def key(self):
        return (self.path, self.original.strip(), self.mutated.strip())

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


def all_mutants(files):
    result = []
    seen = set()
    for path in files:
        in_block_comment = False
        for number, text in enumerate((ROOT / path).read_text().split("\n"), 1):
            if in_block_comment:
                in_block_comment = "*/" not in text
                continue
            if text.lstrip().startswith("/*"):
                in_block_comment = "*/" not in text
                continue
            for mutant in mutants_of_line(path, number, text):
                if (number, mutant.mutated) not in seen:
                    seen.add((number, mutant.mutated))
                    result.append(mutant)
    return result


def read_equivalents():
    known = {}
    if not EQUIVALENTS.exists():
        return known
    for text in EQUIVALENTS.read_text().split("\n"):
        if not text.strip() or text.startswith("#"):
            continue
        fields = text.split("\t")
        if len(fields) != 4 or not fields[3].strip():
            sys.exit("mutate: %s: needs file, original, mutated and a reason: %r"
                     % (EQUIVALENTS.name, text))
        known[(fields[0], fields[1].strip(), fields[2].strip())] = fields[3]
    return known


def sync_tree():
    """Copies the working tree (tracked and new files) into SRC, leaving unchanged files alone
    so the build there stays incremental."""
    listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT,
                            check=True, capture_output=True).stdout.decode().split("\0")
    for name in filter(None, listed):
        source, target = ROOT / name, SRC / name
        if not source.is_file():
            continue
        data = source.read_bytes()
        if target.is_file() and target.read_bytes() == data:
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)


def run(command, timeout=None, **kwargs):
    """The exit status, None on a timeout; the whole process group goes on a timeout or a
    signal, so no compiler or test outlives the run."""
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             start_new_session=True, **kwargs)
    try:
        return child.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        return None
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()


def build(targets, jobs):
    return run(["cmake", "--build", str(BUILD), "-j%d" % jobs, "--target"] + targets) == 0


def run_test(name, timeout):
    # A hang counts as a failure: ctest kills the test at its timeout.
    status = run(["ctest", "-R", "^%s$" % name, "--timeout", str(timeout)], cwd=BUILD,
                 timeout=timeout + 30)
    return status == 0


def baseline(jobs):
    """Builds everything, runs the suite once and orders the tests by their time."""
    # Unoptimised and without debug information: the quickest to compile and link.
    subprocess.run(["cmake", "-S", str(SRC), "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=Debug",
                    "-DCMAKE_CXX_FLAGS_DEBUG=-O0"], check=True, stdout=subprocess.DEVNULL)
    names = [test["name"] for test in json.loads(subprocess.run(
        ["ctest", "--show-only=json-v1"], cwd=BUILD, check=True, capture_output=True).stdout)[
            "tests"]]
    targets = [target(name) for name in names]
    subprocess.run(["cmake", "--build", str(BUILD), "-j%d" % jobs, "--target"] + targets,
                   check=True, stdout=subprocess.DEVNULL)
    times = []
    for name in names:
        t0 = time.monotonic()
        if not run_test(name, 300):
            sys.exit("mutate: test %s fails without any mutant" % name)
        times.append((time.monotonic() - t0, name))
    times.sort()
    return [(name, int(seconds * 3) + 10) for seconds, name in times]


class Interrupted(Exception):
    pass


def on_signal(number, frame):
    raise Interrupted("signal %d" % number)


def target(name):
    return TARGETS.get(name, "tst_" + name)


def ordered(mutant, tests, killers):
    """The tests that killed this file's mutants before, most recent first, then the file's own
    unit test, then the rest fastest first: most mutants die in the first test they meet."""
    stem = Path(mutant.path).stem
    first = [t for t in killers.get(mutant.path, []) if t in dict(tests)]
    first += [name for name, _ in tests if stem.startswith(name) and name not in first]
    timeouts = dict(tests)
    return [(name, timeouts[name]) for name in first] + [
        t for t in tests if t[0] not in first]


def kill(mutant, tests, killers, jobs):
    """'killed' by the first failing test, 'survived', or 'stillborn' when it does not build.
    The likeliest killer is linked and run alone; only when it passes are the other test
    programs linked, all in one build."""
    path = SRC / mutant.path
    original = path.read_text()
    lines = original.split("\n")
    try:
        lines[mutant.line - 1] = mutant.mutated
        path.write_text("\n".join(lines))
        if not build(["launcherlib"], jobs):
            return "stillborn", None
        order = ordered(mutant, tests, killers)
        if not build([target(order[0][0])], jobs):
            return "stillborn", None
        for index, (name, timeout) in enumerate(order):
            if index == 1 and not build([target(n) for n, _ in order[1:]], jobs):
                return "stillborn", None
            if not run_test(name, timeout):
                mine = killers.setdefault(mutant.path, [])
                if name in mine:
                    mine.remove(name)
                mine.insert(0, name)
                return "killed", name
        return "survived", None
    finally:
        path.write_text(original)


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
    parser.add_argument("--list", action="store_true", help="print the mutants only")
    parser.add_argument("-j", "--jobs", type=int, default=2)
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
    if args.list:
        for m in chosen:
            print(m.describe())
        print("%d mutants of %d" % (len(chosen), len(everything)))
        return 0

    equivalents = read_equivalents()
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)
    t0 = time.monotonic()
    counts = {"killed": 0, "survived": 0, "stillborn": 0, "equivalent": 0}
    survivors = []
    killers = {}
    interrupted = False
    try:
        sync_tree()
        tests = baseline(args.jobs)
        print("mutate: built and ran the suite in %d s; %d mutants; tests fastest first, with "
              "their timeouts: %s" % (time.monotonic() - t0, len(chosen),
                                      " ".join("%s(%ds)" % t for t in tests)), flush=True)
        t1 = time.monotonic()
        for index, mutant in enumerate(chosen, 1):
            if args.budget and time.monotonic() - t1 > args.budget:
                print("mutate: budget of %d s spent, %d mutants not run"
                      % (args.budget, len(chosen) - index + 1))
                break
            outcome, by = kill(mutant, tests, killers, args.jobs)
            if outcome == "survived" and mutant.key() in equivalents:
                outcome = "equivalent"
            counts[outcome] += 1
            if outcome == "survived":
                survivors.append(mutant)
            print("[%d/%d %ds] %s%s: %s" % (index, len(chosen), time.monotonic() - t0,
                                           outcome, " by " + by if by else "",
                                           mutant.describe()), flush=True)
    except Interrupted as e:
        print("mutate: interrupted (%s); the source is restored; so far:" % e)
        interrupted = True
    finally:
        # The copy is back to the working tree's state whatever happened.
        sync_tree()

    scored = counts["killed"] + counts["survived"]
    print("\nmutate: %d killed, %d survived, %d equivalent, %d did not build, in %d s"
          % (counts["killed"], counts["survived"], counts["equivalent"], counts["stillborn"],
             time.monotonic() - t0))
    if scored:
        print("mutate: score %.1f %% (killed of the non-equivalent mutants that built)"
              % (100.0 * counts["killed"] / scored))
    for m in survivors:
        print("SURVIVED " + m.describe())
    return 130 if interrupted else 1 if survivors else 0


if __name__ == "__main__":
    sys.exit(main())
