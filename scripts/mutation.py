#!/usr/bin/env python3
"""Mutation testing of the product code: inject one small fault at a time
into kelvara/ and sampora/, rebuild the debug tree, run the tests, and count
which faults the tests catch.

    scripts/mutation.py [--count N] [--seed S] [--build build/debug] ...

Each mutant is one edit of one source line: a relational operator flipped
(< <=, > >=, == !=), an integer constant moved by one, a statement removed
(a call or an assignment), true and false swapped, && and || swapped, or a
`!` taken away. The sites are drawn with a seeded generator, spread over the
files in proportion to their size (the storage, frame, serial, USB, vendor,
host and Sampora folders count double), so the same seed gives the same
mutants as long as the sources are the same.

The edit is made in place; the file's original text is kept in a state file
under the build tree and put back after every mutant, on Ctrl-C, and at the
next start if a run was killed. The runner refuses to start while the
product sources have uncommitted changes.

A mutant is
  killed    when a test fails or hangs (ctest's time-out),
  survived  when every test passes,
  no-build  when the tree does not compile with it.
Tests run in two rounds: first the suites of the mutant's own folder, then,
if they all pass, every other test (the line-fault campaign and, unless the
mutant is in kelvara/host, the Java test are left out: they are slow and
test nothing another test does not).

Results go to a table on standard output and, one JSON object per mutant,
to --out (default <build>/mutation/results.jsonl). --ids reruns chosen
mutants (by the id the table prints), --list only prints the sample.
"""

import argparse
import json
import os
import random
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Folders whose code keeps the user's files and talks to the readers: they
# get twice their share of mutants.
HEAVY = ("kelvara/storage", "kelvara/api", "kelvara/app", "kelvara/readers", "kelvara/ui", "sampora")
EXCLUDED = ("kelvara/platform/win32", "sampora/win32", "common/win32")

# Test executables that exercise each folder first (the second round runs
# everything else).
FOLDER_SUITES = {
    "kelvara/storage": ["storage_tests", "cardcheck_tests", "fuzz_card_index", "kelvara_e2e_tests"],
    "kelvara/card": ["card_tests", "storage_tests"],
    "kelvara/api": ["kelvara_e2e_tests", "api_e2e_tests", "kelvara_thread_tests"],
    "kelvara/app": ["kelvara_e2e_tests", "e2e_readers_tests", "app_tests"],
    "kelvara/readers/protocol": ["serial_tests", "usb_tests", "fuzz_serial_reply"],
    "kelvara/readers/serial": ["serial_tests", "fuzz_serial_reply", "kelvara_e2e_tests"],
    "kelvara/readers/usb": ["usb_tests", "fuzz_usb_reply", "e2e_readers_tests"],
    "kelvara/readers/vendor": ["vendor_tests", "e2e_readers_tests"],
    "kelvara/ui": ["ui_tests", "platform_tests", "kelvara_tool_e2e_tests"],
    "kelvara/services": ["platform_tests", "storage_tests", "kelvara_e2e_tests"],
    "kelvara/platform/posix": ["platform_tests", "serial_tests", "fuzz_settings_ini", "kelvara_e2e_tests"],
    "common": ["kelvara_e2e_tests", "sampora_unit_tests"],
    "sampora": ["sampora_unit_tests", "sampora_e2e_tests", "sampora_tool_tests", "fuzz_sampora_ring"],
}

SLOW_TESTS = r"^SerialLineCampaign\."
JAVA_TESTS = r"^java\."


# ---------------------------------------------------------------- the sites


def mask_code(text):
    """The text with comments, string and character literals and preprocessor
    lines blanked (same length, newlines kept), so that sites are only found
    in code."""
    out = list(text)
    i, n = 0, len(text)
    line_start = True
    while i < n:
        c = text[i]
        if line_start and c in " \t":
            i += 1
            continue
        if line_start and c == "#":
            while i < n and text[i] != "\n":
                out[i] = " "
                i += 1
            continue
        line_start = False
        if c == "\n":
            line_start = True
            i += 1
        elif text.startswith("//", i):
            while i < n and text[i] != "\n":
                out[i] = " "
                i += 1
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            for k in range(i, j):
                if out[k] != "\n":
                    out[k] = " "
            i = j
        elif text.startswith('R"', i):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            end = text.find(")" + (m.group(1) if m else "") + '"', i)
            j = n if end < 0 else end + len(m.group(1) if m else "") + 2
            for k in range(i, j):
                if out[k] != "\n":
                    out[k] = " "
            i = j
        elif c in "\"'":
            # A digit separator (1'000) is not a character literal.
            if c == "'" and i > 0 and text[i - 1].isalnum():
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            for k in range(i, min(j + 1, n)):
                out[k] = " "
            i = j + 1
        else:
            i += 1
    return "".join(out)


RELATIONAL = {" < ": " <= ", " <= ": " < ", " > ": " >= ", " >= ": " > ", " == ": " != ", " != ": " == "}
LOGICAL = {" && ": " || ", " || ": " && "}
BOOLEANS = {"true": "false", "false": "true"}

DECLARATION = re.compile(r"^\s*(const\s+|static\s+|constexpr\s+)*[A-Za-z_][\w:<>,\s]*?[\s*&]+[A-Za-z_]\w*\s*(=|\{|;|\()")
STORAGE_DECLARATION = re.compile(r"^(static|constexpr|const|inline|extern|thread_local)\b|^[\w:<>,\s*]+\s\w+\[[^\]]*\]\s*=")
SPECIAL_MEMBER = re.compile(r"=\s*(delete|default|0)\s*;$|\bvirtual\b")
KEYWORD_STATEMENT = re.compile(r"^\s*(return|if|for|while|switch|case|default|break|continue|else|do|goto|using|"
                               r"namespace|template|typedef|public|private|protected|throw|try|catch|co_\w+)\b")


def statement_sites(text, masked):
    """Whole-line statements that can be removed: a call or an assignment
    on one line of its own."""
    sites = []
    pos = 0
    classes = set(re.findall(r"\b(?:class|struct)\s+([A-Za-z_]\w*)", masked))
    for line, mline in zip(text.split("\n"), masked.split("\n")):
        stripped = mline.strip()
        start = pos
        pos += len(line) + 1
        if not stripped.endswith(";") or stripped.count("(") != stripped.count(")"):
            continue
        if KEYWORD_STATEMENT.match(mline) or DECLARATION.match(mline) or SPECIAL_MEMBER.search(stripped) or STORAGE_DECLARATION.match(stripped):
            continue
        # A constructor or destructor declared in a class body is no statement.
        m = re.match(r"^~?([A-Za-z_]\w*)\(", stripped)
        if m and m.group(1) in classes:
            continue
        # The line must hold the whole statement: the line before ends one.
        body = stripped[:-1]
        if not re.match(r"^[\w:.\->\[\]*()&]+", body):
            continue
        is_call = bool(re.match(r"^[\w:.\->\[\]*]+\s*(<[^;]*>)?\s*\(", body))
        is_assign = bool(re.search(r"[^=!<>]=[^=]|\+=|-=|\|=|&=|\+\+|--", body))
        if not (is_call or is_assign):
            continue
        indent = len(line) - len(line.lstrip())
        if not prev_line_ends_statement(masked, start + indent):
            continue
        sites.append((start + indent, len(line) - indent, ";", "delete statement"))
    return sites


def prev_line_ends_statement(masked, offset):
    before = masked[:offset].rstrip()
    return before.endswith((";", "{", "}", ")", ":")) or re.search(r"\belse$", before) is not None


def find_sites(text):
    """Every mutation site of a file: (offset, length, replacement, kind)."""
    masked = mask_code(text)
    sites = []
    for table, kind in ((RELATIONAL, "relational"), (LOGICAL, "logical")):
        for op, rep in table.items():
            for m in re.finditer(re.escape(op), masked):
                # `a < b` inside a template argument list is rare here and
                # fails to compile, which the table reports.
                sites.append((m.start(), len(op), rep, kind))
    for m in re.finditer(r"\b(true|false)\b", masked):
        sites.append((m.start(), len(m.group(1)), BOOLEANS[m.group(1)], "true/false"))
    for m in re.finditer(r"!(?![=])(?=[\s(A-Za-z_*])", masked):
        sites.append((m.start(), 1, "", "remove !"))
    for m in re.finditer(r"(?<![\w.])(0[xX][0-9A-Fa-f]+|\d+)([uUlL]*)(?![\w.])", masked):
        line_start = masked.rfind("\n", 0, m.start()) + 1
        line_end = masked.find("\n", m.start())
        if SPECIAL_MEMBER.search(masked[line_start:line_end].rstrip()):
            continue
        literal = m.group(1)
        value = int(literal, 16) if literal[:2].lower() == "0x" else int(literal)
        # Array sizes in declarations and zero literals are mutated too; a
        # negative result is not (0 becomes 1 only).
        for delta in (1, -1):
            v = value + delta
            if v < 0:
                continue
            rep = (hex(v) if literal[:2].lower() == "0x" else str(v))
            if literal[:2] == "0X":
                rep = "0X" + rep[2:].upper()
            sites.append((m.start(1), len(literal), rep, "constant %+d" % delta))
    sites.extend(statement_sites(text, masked))
    sites.sort()
    return sites


def product_files():
    files = []
    for top in ("kelvara", "sampora", "common"):
        for path in sorted((ROOT / top).rglob("*")):
            rel = path.relative_to(ROOT).as_posix()
            if path.suffix not in (".cpp", ".h") or rel.startswith(EXCLUDED):
                continue
            files.append(rel)
    return files


def folder_of(rel):
    for folder in sorted(FOLDER_SUITES, key=len, reverse=True):
        if rel.startswith(folder + "/"):
            return folder
    return "kelvara/services"


def sample(count, seed):
    """Draws `count` mutants: each file gets a share proportional to its
    lines (doubled in the heavy folders), rounded by largest remainder; the
    sites within a file are drawn without repetition."""
    rng = random.Random(seed)
    candidates = []
    for rel in product_files():
        text = (ROOT / rel).read_text(encoding="utf-8")
        sites = find_sites(text)
        if not sites:
            continue
        weight = text.count("\n") * (2 if rel.startswith(HEAVY) else 1)
        candidates.append((rel, text, sites, weight))
    total = sum(c[3] for c in candidates)
    shares = [(count * c[3] / total) for c in candidates]
    quota = [int(s) for s in shares]
    rest = sorted(range(len(candidates)), key=lambda i: (-(shares[i] - quota[i]), candidates[i][0]))
    for i in rest[: count - sum(quota)]:
        quota[i] += 1
    mutants = []
    for (rel, text, sites, _), q in zip(candidates, quota):
        # Each draw picks a kind of fault first and then one of its sites, so
        # that the many constants of a file do not crowd out its operators.
        by_kind = {}
        for site in sites:
            by_kind.setdefault(site[3].split()[0], []).append(site)
        chosen = []
        for _ in range(min(q, len(sites))):
            kind = rng.choice(sorted(k for k in by_kind if by_kind[k]))
            chosen.append(by_kind[kind].pop(rng.randrange(len(by_kind[kind]))))
        for off, length, rep, kind in sorted(chosen):
            line = text.count("\n", 0, off) + 1
            line_start = text.rfind("\n", 0, off) + 1
            line_end = text.find("\n", off)
            original = text[line_start:line_end].strip()
            mutated = (text[line_start:off] + rep + text[off + length:line_end]).strip()
            mutants.append({
                "file": rel, "line": line, "offset": off, "length": length, "replacement": rep, "kind": kind,
                "original": original, "mutated": mutated or ";",
                "expect": text[off:off + length],
            })
    for i, m in enumerate(mutants, 1):
        m["id"] = i
    return mutants


# ------------------------------------------------------------- the edits


class Restorer:
    """Keeps the original text of the file being mutated in a state file so
    that it is put back however the run ends."""

    def __init__(self, state_path):
        self.state_path = state_path
        if self.restore():
            print("put back the original text of a file mutated by an interrupted run", file=sys.stderr)

    def restore(self):
        """Puts the mutated file back; true if there was one."""
        if not self.state_path.exists():
            return False
        state = json.loads(self.state_path.read_text(encoding="utf-8"))
        (ROOT / state["file"]).write_text(state["text"], encoding="utf-8")
        self.state_path.unlink()
        return True

    def apply(self, mutant):
        path = ROOT / mutant["file"]
        text = path.read_text(encoding="utf-8")
        off, length = mutant["offset"], mutant["length"]
        if text[off:off + length] != mutant["expect"]:
            raise RuntimeError("%s changed since the sample was drawn" % mutant["file"])
        self.state_path.parent.mkdir(parents=True, exist_ok=True)
        self.state_path.write_text(json.dumps({"file": mutant["file"], "text": text}), encoding="utf-8")
        path.write_text(text[:off] + mutant["replacement"] + text[off + length:], encoding="utf-8")


# ------------------------------------------------------------ build and test


def run(cmd, timeout, cwd=ROOT):
    """Runs a command in its own process group under nice; returns (code,
    output); a time-out kills the whole group and returns code None."""
    proc = subprocess.Popen(["nice", "-n", "10"] + cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, errors="replace", start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
        return proc.returncode, out
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        return None, out


def list_tests(build):
    """Test name -> executable base name, from ctest's own listing."""
    code, out = run(["ctest", "--test-dir", str(build), "--show-only=json-v1"], 600)
    if code != 0:
        raise RuntimeError("ctest --show-only failed:\n" + out[-2000:])
    tests = {}
    for t in json.loads(out[out.find("{"):])["tests"]:
        cmd = t.get("command") or [""]
        tests[t["name"]] = Path(cmd[0]).name
    return tests


def ctest(build, names, timeout, jobs):
    """Runs the named tests; returns (failed test names, timed out)."""
    if not names:
        return [], False
    pattern = "^(" + "|".join(re.escape(n) for n in names) + ")$"
    listfile = build / "mutation" / "tests.regex"
    listfile.write_text(pattern, encoding="utf-8")
    code, out = run(["ctest", "--test-dir", str(build), "-j", str(jobs), "--timeout", str(timeout),
                     "--stop-on-failure", "-R", pattern], timeout * max(1, len(names) // jobs) + 600)
    # The summary lists failures and also what did not run (skipped tests,
    # and with --stop-on-failure the rest); only the former count.
    failed = [name for name, why in re.findall(r"^\s*\d+ - (\S+) \(([^)]*)\)", out, re.M)
              if why not in ("Skipped", "Not Run", "Disabled")]
    if code is None:
        return failed or ["<ctest time-out>"], True
    if code != 0 and not failed:
        failed = ["<ctest exit %s>" % code]
    return failed, False


def judge(mutant, build, tests, args):
    folder = folder_of(mutant["file"])
    first_suites = set(FOLDER_SUITES[folder])
    skip = SLOW_TESTS if folder == "kelvara/api" else SLOW_TESTS + "|" + JAVA_TESTS
    skip = re.compile(skip + ("|" + args.skip if args.skip else ""))
    names = [n for n in tests if not skip.search(n)]
    first = [n for n in names if tests[n] in first_suites]
    second = [n for n in names if tests[n] not in first_suites]
    for round_names in (first, second):
        failed, _ = ctest(build, round_names, args.test_timeout, args.jobs)
        if failed:
            return "killed", failed[:5]
    return "survived", []


def build_tree(build, timeout):
    code, out = run(["cmake", "--build", str(build)], timeout)
    if code is None:
        return False, "build time-out"
    return code == 0, out[-3000:]


# ---------------------------------------------------------------- reporting


def table(results):
    rows = ["%4s  %-8s  %-38s %5s  %-16s %s" % ("id", "result", "file", "line", "kind", "mutated line")]
    for r in results:
        mut = r["mutated"]
        rows.append("%4d  %-8s  %-38s %5d  %-16s %s" % (r["id"], r["result"], r["file"], r["line"], r["kind"],
                                                       mut if len(mut) < 90 else mut[:87] + "..."))
    counts = {k: sum(1 for r in results if r["result"] == k) for k in ("killed", "survived", "no-build")}
    ran = counts["killed"] + counts["survived"]
    rows.append("")
    rows.append("mutants %d: killed %d, survived %d, did not compile %d; killed of those that built: %s" % (
        len(results), counts["killed"], counts["survived"], counts["no-build"],
        ("%.1f%%" % (100.0 * counts["killed"] / ran)) if ran else "-"))
    return "\n".join(rows)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--count", type=int, default=160, help="mutants to draw (default 160)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the draw (default 1)")
    ap.add_argument("--build", default="build/debug", help="configured debug build tree (default build/debug)")
    ap.add_argument("--ids", default="", help="only these mutants, e.g. 3,17,40-45")
    ap.add_argument("--list", action="store_true", help="print the sample and stop")
    ap.add_argument("--out", default="", help="results file (JSON lines; default <build>/mutation/results.jsonl)")
    ap.add_argument("--test-timeout", type=int, default=120, help="seconds per test before it counts as hung")
    ap.add_argument("--build-timeout", type=int, default=1200, help="seconds for one rebuild")
    ap.add_argument("--jobs", type=int, default=2, help="tests run at once")
    ap.add_argument("--skip", default="", help="regular expression of further tests to leave out")
    args = ap.parse_args()

    build = (ROOT / args.build).resolve()
    restorer = Restorer(build / "mutation" / "restore.json")
    mutants = sample(args.count, args.seed)
    if args.ids:
        wanted = set()
        for part in args.ids.split(","):
            lo, _, hi = part.partition("-")
            wanted.update(range(int(lo), int(hi or lo) + 1))
        mutants = [m for m in mutants if m["id"] in wanted]
    if args.list:
        print(table([dict(m, result="-") for m in mutants]))
        return 0

    # A copy of the tree without git (git archive HEAD | tar -x) is fine too.
    status = subprocess.run(["git", "status", "--porcelain", "--", "kelvara", "sampora"], cwd=ROOT,
                            capture_output=True, text=True)
    dirty = status.stdout.strip() if status.returncode == 0 and (ROOT / ".git").exists() else ""
    if dirty:
        print("uncommitted changes in the product sources; commit or stash them first:\n" + dirty, file=sys.stderr)
        return 2
    if not (build / "CMakeCache.txt").exists():
        print("configure %s first (cmake --preset debug)" % build, file=sys.stderr)
        return 2

    ok, out = build_tree(build, args.build_timeout)
    if not ok:
        print("the unmutated tree does not build:\n" + out, file=sys.stderr)
        return 2
    tests = list_tests(build)
    out_path = Path(args.out) if args.out else build / "mutation" / "results.jsonl"
    out_path.parent.mkdir(parents=True, exist_ok=True)

    def on_signal(signum, _frame):
        restorer.restore()
        sys.exit(128 + signum)

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)

    results = []
    with open(out_path, "a", encoding="utf-8") as log:
        for m in mutants:
            started = time.monotonic()
            try:
                restorer.apply(m)
                built, _ = build_tree(build, args.build_timeout)
                if not built:
                    m["result"], m["failed"] = "no-build", []
                else:
                    m["result"], m["failed"] = judge(m, build, tests, args)
            finally:
                restorer.restore()
            m["seconds"] = round(time.monotonic() - started, 1)
            results.append(m)
            log.write(json.dumps(m, ensure_ascii=False) + "\n")
            log.flush()
            print("%4d %-8s %4.0fs %s:%d %s  %s" % (m["id"], m["result"], m["seconds"], m["file"], m["line"], m["kind"],
                                                  (m["failed"] or [""])[0]), flush=True)
    # Leave the tree built from the unmutated sources.
    build_tree(build, args.build_timeout)
    print()
    print(table(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
