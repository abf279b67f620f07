#!/usr/bin/env python3
"""Mutation testing: plant one fault at a time, rebuild, run the suite.

Works on a private copy of the tracked files (never the caller's tree), with
its own build directory configured once; each mutant is rebuilt
incrementally by Ninja and the file is restored afterwards.

  python3 scripts/mutate.py --list
  python3 scripts/mutate.py --sample 60 --seed 1 --which-tests --report out.tsv
  python3 scripts/mutate.py --file platform/axdr/src/frames.cpp
  python3 scripts/mutate.py --patch fault.diff --which-tests
  python3 scripts/mutate.py --since main --keep-going   # what a branch changed
  python3 scripts/mutate.py --generated corners.c --target test_generated \
      --tests '^Generated' --sample 20 --keep-going       # a file quilletc wrote

A generated file is mutated where the build wrote it (every copy of it under
the build directory at once), after the build has brought its generator up to
date, so that only its object is recompiled; a build that rewrites it anyway
stops the run rather than test the unmutated file.  --target and --tests
narrow what each mutant rebuilds and runs (the first build stays whole); name
every target whose code the chosen tests run, or a stale copy of it is tested
instead.

A mutant whose rebuilt objects hold the same code and data as before (the
compiler proved it changes nothing, or the line is not compiled in this
build) is reported "equivalent" and left out of the score; so is one listed,
with the reason, in scripts/mutate-equivalent.tsv.  A mutant of quilletc
that builds but makes it write C that fails to build is killed: the build
runs the generator over the corpus and the test files.
"""
import argparse, json, os, random, re, shutil, subprocess, sys, tempfile, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCOPE = ("src/", "platform/", "tools/", "quilletc/", "include/quillet/axdr.h")
EXTS = (".c", ".cc", ".cpp", ".h", ".hpp")
FLIP = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
CMP = re.compile(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)")
INT = re.compile(r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.])")
STATE = re.compile(r"(?<![\w.>])(\*?(?:\w+\.|\w+->)?(?:state|st))\s*=\s*(\d+)\b")
FREE = re.compile(r"^\s*(?:std::)?(?:free|axdr_free|mem_free)\(.*\);$")
DECL = re.compile(r"^(?:(?:const|static|constexpr|unsigned|signed|struct|enum|"
                  r"auto|volatile|inline)\s+)*[A-Za-z_][\w:]*(?:<[^=]*>)?[\s*&]+\w+\s*(?:\[.*\])?\s*(?:[=;{(]|$)")
ENUM_OR_FPTR = re.compile(r"^(?:[A-Z_][A-Z0-9_]*\s*=\s*\w+,?|[\w:]+[\s*&]+\(\s*\*.*)$")
NOT_STMT = re.compile(r"^(?:return|case|default|goto|typedef|using|template|"
                      r"static_assert|else|do|for|while|if|switch|\}|\{)\b")


def code_mask(lines):
    """Per line, the text with comments and string/char literals blanked."""
    out, in_block = [], False
    for line in lines:
        s, i, q = list(line), 0, None
        while i < len(s):
            c, nxt = s[i], line[i:i + 2]
            if in_block:
                if nxt == "*/":
                    s[i] = s[i + 1] = " "; in_block = False; i += 2; continue
                s[i] = " "
            elif q:
                if c == "\\":
                    s[i] = " "
                    if i + 1 < len(s): s[i + 1] = " "
                    i += 2; continue
                if c == q: q = None
                else: s[i] = " "
            elif nxt == "//":
                s[i:] = " " * (len(s) - i); break
            elif nxt == "/*":
                s[i] = s[i + 1] = " "; in_block = True; i += 2; continue
            elif c in "\"'":
                q = c
            i += 1
        out.append("".join(s))
    return out


def sites(path):
    """Every candidate mutant of one file: (line no, operator, new line)."""
    with open(path if os.path.isabs(path) else os.path.join(ROOT, path)) as f:
        lines = f.read().split("\n")
    masked, res = code_mask(lines), []
    prev = ";"
    for n, (line, code) in enumerate(zip(lines, masked), 1):
        c = code.strip()
        if (not c or c.startswith("#") or "static_assert" in c or "EXPORT" in c
                or "extern" in c or ENUM_OR_FPTR.match(c)):
            if c: prev = c[-1]
            continue
        def put(op, a, b, new):
            res.append((n, op, line[:a] + new + line[b:]))
        for m in CMP.finditer(code):
            put("cmp", m.start(), m.end(), FLIP[m.group(1)])
        for m in re.finditer(r"&&|\|\|", code):
            put("logic", m.start(), m.end(), "||" if m.group() == "&&" else "&&")
        for m in re.finditer(r"\bAXDR_(TRUE|FALSE)\b", code):
            put("bool", m.start(), m.end(), "AXDR_FALSE" if m.group(1) == "TRUE" else "AXDR_TRUE")
        state_spans = set()
        if not DECL.match(c):
            for m in STATE.finditer(code):
                v = int(m.group(2)); state_spans.add(m.start(2))
                for d in (-1, 1):
                    if v + d >= 0:
                        put("state", m.start(2), m.end(2), str(v + d))
        if not c.startswith(("enum", "case")):
            for m in INT.finditer(code):
                if m.start() in state_spans or code[:m.start()].rstrip().endswith("["):
                    continue  # array sizes only fail to build
                v = int(m.group(1), 0)
                for d in (-1, 1):
                    if v + d < 0: continue
                    s = hex(v + d) if m.group(1).lower().startswith("0x") else str(v + d)
                    put("const", m.start(1), m.end(1), s)
        whole = prev in ";{}:" and c.endswith(";") and c.count("(") == c.count(")")
        if whole and FREE.match(c):
            res.append((n, "free", "// " + line.strip()))
        elif whole and not NOT_STMT.match(c) and not DECL.match(c) and ("(" in c or "=" in c or "++" in c or "--" in c or c in ("break;", "continue;")):
            res.append((n, "stmt", "// " + line.strip()))
        prev = c[-1]
    return res


def changed_lines(ref, path):
    """Line numbers of path that differ from ref (added or changed)."""
    out = subprocess.run(["git", "diff", "-U0", ref, "--", path], cwd=ROOT, check=True,
                         capture_output=True, text=True).stdout
    lines = set()
    for m in re.finditer(r"^@@ -\S+ \+(\d+)(?:,(\d+))? @@", out, re.M):
        start, count = int(m.group(1)), int(m.group(2) or 1)
        lines.update(range(start, start + count))
    return lines


def tracked():
    out = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True,
                         capture_output=True, text=True).stdout
    return [p for p in out.split("\0") if p]


def sync(work):
    """Copy tracked files that differ, so Ninja rebuilds only what changed."""
    for p in tracked():
        src, dst = os.path.join(ROOT, p), os.path.join(work, p)
        if not os.path.isfile(src):
            continue
        with open(src, "rb") as f: data = f.read()
        if os.path.exists(dst):
            with open(dst, "rb") as f:
                if f.read() == data: continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy(src, dst)


def run(cmd, cwd, timeout):
    """(exit code, output); None for the code when `timeout` passed, after
    ending the whole process group (a hung generator under Ninja too)."""
    p = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         start_new_session=True)
    try:
        out, _ = p.communicate(timeout=timeout)
        return p.returncode, out
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, 9)
        out, _ = p.communicate()
        return None, out or ""


def listed_equivalents():
    """(path, original line, mutated line) of the mutants known to change nothing."""
    out = set()
    with open(os.path.join(ROOT, "scripts", "mutate-equivalent.tsv")) as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                path, old, new, _why = line.rstrip("\n").split("\t")
                out.add((path, old, new))
    return out


def objects(build):
    return [os.path.join(d, f) for d, _, fs in os.walk(build) for f in fs if f.endswith(".o")]


def code_of(obj):
    """A digest of an object's code and data, debug information left out."""
    import hashlib
    with tempfile.NamedTemporaryFile(suffix=".o") as t:
        r = subprocess.run(["objcopy", "--strip-debug", "--remove-section=.comment", obj, t.name],
                           capture_output=True)
        if r.returncode != 0:
            return None
        with open(t.name, "rb") as f:
            return hashlib.sha1(f.read()).hexdigest()


def test(work, build, args, stop, only=None):
    # The install tests check how the build installs and packs, not what the
    # code does, and lintian makes them the slowest.
    cmd = ["ctest", "--test-dir", build, "-j" + args.jobs, "--timeout", str(args.timeout),
           "-E", r"^install\."]
    if only:
        cmd += ["-R", only]
    if stop:
        cmd.append("--stop-on-failure")
    rc, out = run(cmd, work, args.timeout * 20)
    # From the progress lines, so a suite cut short still names its failures.
    failed = [(t, why) for t, why in re.findall(r"Test\s+#\d+: (.+?)\s*\.*\s*\*\*\*(\w+)", out)
              if why not in ("Skipped", "Passed")]
    if rc is None:
        return "timeout", [t for t, _ in failed] + ["(whole suite)"]
    if rc == 0 and not failed:
        return "survived", []
    timed = any(why == "Timeout" for _, why in failed)
    return ("timeout" if timed else "killed"), [t for t, _ in failed] or ["(ctest failed)"]


def generated(build, name):
    """Every copy of the generated file `name` under the build directory."""
    found = sorted(os.path.join(d, f) for d, _, fs in os.walk(build) for f in fs
                   if os.path.join(d, f).endswith(os.sep + name))
    if not found:
        sys.exit(f"no {name} under {build}")
    texts = set()
    for f in found:
        with open(f) as fh: texts.add(fh.read())
    if len(texts) != 1:
        sys.exit(f"the copies of {name} differ: {found}")
    return found


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--file", action="append", help="only this file or directory (repeatable)")
    ap.add_argument("--generated", action="append", metavar="NAME",
                    help="also this file of the build's own, e.g. corners.c (repeatable)")
    ap.add_argument("--sample", type=int, help="plant N faults chosen at random")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--list", action="store_true", help="show candidate sites and counts only")
    ap.add_argument("--op", action="append", help="only this operator (repeatable)")
    ap.add_argument("--since", help="only lines changed since this git ref")
    ap.add_argument("--preset", default="dev")
    ap.add_argument("--target", action="append", help="per mutant, build only this target (repeatable)")
    ap.add_argument("--tests", metavar="REGEX", help="per mutant, run only the tests ctest -R selects")
    ap.add_argument("--keep-going", action="store_true",
                    help="go on past surviving mutants (default: stop at the first)")
    ap.add_argument("--which-tests", action="store_true", help="run the whole suite, record every killing test")
    ap.add_argument("--report", help="write every mutant to FILE (.jsonl, otherwise TSV)")
    ap.add_argument("--patch", action="append", help="plant this diff instead (repeatable, one mutant each)")
    ap.add_argument("--workdir", help="private copy to (re)use; default: a fresh temp dir")
    ap.add_argument("--timeout", type=int, default=60, help="per test, seconds")
    ap.add_argument("--build-timeout", type=int, default=900, help="per mutant's build, seconds")
    ap.add_argument("-j", "--jobs", default="2", help="build and test jobs (default 2)")
    args = ap.parse_args()

    work = args.workdir or tempfile.mkdtemp(prefix="quillet-mutate-")
    build = os.path.join(work, "build", args.preset)

    def setup():
        os.makedirs(work, exist_ok=True)
        sync(work)
        print(f"copy in {work}; configuring and building {args.preset}", flush=True)
        for cmd in (["cmake", "--preset", args.preset], ["cmake", "--build", build, "-j" + args.jobs]):
            rc, out = run(cmd, work, 3600)
            if rc != 0:
                sys.exit(out[-3000:] + "\nthe unmutated tree does not build")

    # A generated file's sites are known only once it is built.
    if args.generated:
        setup()
    gen = {"build:" + g: generated(build, g) for g in args.generated or []}

    scope = args.file if args.file is not None else [] if args.generated else list(SCOPE)
    scope = [os.path.relpath(os.path.abspath(p), ROOT) if os.path.exists(p) else p for p in scope]
    files = sorted(p for p in tracked() if p.endswith(EXTS) and
                   any(p == s or p.startswith(s.rstrip("/") + "/") for s in scope))
    muts = [(p,) + s for p in files for s in sites(p) if not args.op or s[1] in args.op]
    muts += [(g,) + s for g, copies in gen.items() for s in sites(copies[0])
             if not args.op or s[1] in args.op]
    if args.since:
        changed = {p: changed_lines(args.since, p) for p in files}
        muts = [m for m in muts if m[0] in gen or m[1] in changed[m[0]]]
    if args.sample:
        muts = random.Random(args.seed).sample(muts, min(args.sample, len(muts)))
    if args.list:
        for p, n, op, new in muts:
            print(f"{p}:{n}\t{op}\t{new.strip() or '(removed)'}")
        counts = {}
        for m in muts: counts[m[2]] = counts.get(m[2], 0) + 1
        print(f"{len(muts)} sites in {len(files) + len(gen)} files: " +
              ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
        return 0
    if args.patch:
        muts = [(os.path.abspath(p), 0, "patch", "") for p in args.patch]

    if not args.generated:
        setup()
    status, failed = test(work, build, args, False, args.tests)
    if status != "survived":
        sys.exit(f"the unmutated suite fails: {failed}")

    baseline = {o: code_of(o) for o in objects(build)}
    known = listed_equivalents()
    make = ["cmake", "--build", build, "-j" + args.jobs] + (["--target"] + args.target if args.target else [])

    rep = open(args.report, "w") if args.report else None
    jsonl = bool(args.report and args.report.endswith(".jsonl"))
    if rep and not jsonl:
        rep.write("file\tline\top\tstatus\tseconds\tchanged\ttests\n")
    tally = {}
    for i, (p, n, op, new) in enumerate(muts, 1):
        t0 = time.time()
        if op == "patch":
            apply = ["git", "apply", "--unidiff-zero", p]
            rc, out = run(apply, work, 60)
            if rc != 0:
                sys.exit(f"{p} does not apply:\n{out}")
            old = os.path.basename(p)
        else:
            targets = gen.get(p) or [os.path.join(work, p)]
            if p in gen:  # let a pending generator run now, not over the mutant
                run(make, work, args.build_timeout)
            with open(targets[0]) as f: text = f.read()
            lines = text.split("\n")
            old = lines[n - 1].strip()
            if (p, old, new.strip()) in known:
                tally["equivalent"] = tally.get("equivalent", 0) + 1
                print(f"[{i}/{len(muts)}] equivalent {p}:{n} {op}: {old}  ->  {new.strip()}  (listed)", flush=True)
                if rep and jsonl:
                    rep.write(json.dumps(dict(file=p, line=n, op=op, status="equivalent", seconds=0,
                                              old=old, new=new.strip(), tests=["(listed)"])) + "\n")
                continue
            lines[n - 1] = new
            mutant = "\n".join(lines)
            for t in targets:
                with open(t, "w") as f: f.write(mutant)
        try:
            # A generator that builds but writes C that does not is caught
            # by the build itself, as CI's would be: a kill, not "not built".
            gen_ok = None
            if p.startswith("quilletc/"):
                rc, out = run(["cmake", "--build", build, "--target", "quilletc"], work, args.build_timeout)
                gen_ok = rc == 0
            rc, out = run(make, work, args.build_timeout)
            rebuilt = [o for o in objects(build) if os.path.getmtime(o) >= t0]
            if p in gen:
                for t in targets:
                    with open(t) as f:
                        if f.read() != mutant:
                            sys.exit(f"the build rewrote {t}: its generator was not up to date")
            if rc is None:  # e.g. a mutated quilletc that never ends while generating
                status, failed = "timeout", ["(build)"]
            elif rc != 0 and gen_ok:
                status, failed = "killed", ["(its output does not build)"]
            elif rc != 0:
                status, failed = "not built", []
            elif op != "patch" and all(baseline.get(o) == code_of(o) is not None for o in rebuilt):
                status, failed = "equivalent", []
            else:
                status, failed = test(work, build, args, not args.which_tests, args.tests)
        finally:
            if op == "patch":
                run(apply[:2] + ["-R"] + apply[2:], work, 60)
            else:
                for t in targets:
                    with open(t, "w") as f: f.write(text)
        secs = time.time() - t0
        tally[status] = tally.get(status, 0) + 1
        where = p if op == "patch" else f"{p}:{n}"
        shown = "(patch)" if op == "patch" else f"{old}  ->  {new.strip() or '(removed)'}"
        print(f"[{i}/{len(muts)}] {status:9} {where} {op}: {shown}"
              + (f"  [{' '.join(failed)}]" if failed else "") + f"  {secs:.0f}s", flush=True)
        if rep:
            row = dict(file=p, line=n, op=op, status=status, seconds=round(secs, 1),
                       old=old if op != "patch" else "", new=new.strip(), tests=failed)
            if jsonl:
                rep.write(json.dumps(row) + "\n")
            else:
                rep.write("\t".join([p, str(n), op, status, str(row["seconds"]),
                                     f"{old} -> {new.strip() or '(removed)'}" if op != "patch" else "",
                                     " ".join(failed)]) + "\n")
            rep.flush()
        if status == "survived" and not args.keep_going:
            print("stopping at the first survivor (--keep-going to go on)")
            break
    built = sum(v for k, v in tally.items() if k not in ("not built", "equivalent"))
    dead = tally.get("killed", 0) + tally.get("timeout", 0)
    print(f"killed {dead}/{built} built ({100.0 * dead / built if built else 0:.1f}%); "
          + ", ".join(f"{k} {v}" for k, v in sorted(tally.items())))
    if not args.workdir:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
