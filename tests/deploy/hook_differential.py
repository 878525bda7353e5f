#!/usr/bin/env python3
"""Two kuvo builds, one behaviour: both run the same random sequences of hook
runs (uploads of release files, of the SFV, of stray files; every switch and
variable) against identical release directories, and their console bytes, exit
statuses, resulting trees (names, kinds, modes, contents) and the log,
announce and base-directory status files must agree. Time stamps and the
version in the banner are the only bytes set aside.

Run by hand around a change that must not change what a run does, for example:

    git worktree add /tmp/kuvo-before <commit> && cmake -S /tmp/kuvo-before \\
        -B /tmp/kuvo-before/build -G Ninja -DKUVO_BUILD_TESTS=OFF \\
        && cmake --build /tmp/kuvo-before/build --target kuvo
    tests/deploy/hook_differential.py /tmp/kuvo-before/build/kuvo build/default/kuvo [ROUNDS] [SEED]

Exits 1 when any round differs, after printing the first few differences.
"""
import os
import random
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import zlib

# Names that meet the name rules from every side: case, ' ', '-', '_' and an
# extra ".OK." segment, ignored extensions, "*", "/" entries, blanks, a tab,
# and a name too long to take any suffix.
BASES = ["a.rar", "b.r00", "Some_File-01.mp3", "track 02.flac", "c.OK.zip", "d.zip",
         "info.nfo", "cover.jpg", "*", "x/y.rar", "E.RAR", "e.rar", "f-g_h i.bin", "g.OK.r01",
         "-", "dup.rar", "Long" + "n" * 240 + ".rar", "weird\tname.rar", "sp ace .rar"]


def spelling(name, r):
    """Another spelling of `name` that the name rules may or may not equate."""
    out = []
    for ch in name:
        if ch.isalpha() and r.random() < 0.2:
            ch = ch.swapcase()
        elif ch in " -_." and r.random() < 0.2:
            ch = r.choice(" -_.")
        out.append(ch)
    s = "".join(out)
    if r.random() < 0.1 and "." in s:
        i = s.rfind(".")
        s = s[:i] + ".OK" + s[i:]
    return s


def some_bytes(r):
    return bytes(r.randrange(256) for _ in range(r.randrange(0, 40)))


def write(path, data=b""):
    try:
        with open(path, "wb") as f:
            f.write(data)
        return True
    except OSError:  # a name too long for a suffix
        return False


def build_release(r, d):
    """A release directory in some state of its uploads; returns the names
    worth uploading and the SFV's name, if it has one."""
    os.makedirs(d)
    entries = r.sample(BASES, r.randrange(0, 7))
    if r.random() < 0.2 and entries:
        entries.append(r.choice(entries))
    data = {e: some_bytes(r) for e in entries}
    lines = ["; a comment"] if r.random() < 0.3 else []
    for e in entries:
        crc = zlib.crc32(data[e]) if r.random() < 0.85 else r.randrange(1 << 32)
        field = r.choice(["%08x", "%08X", "%x", "0x%08x", " %08x"]) % crc
        lines.append(e + r.choice([" ", "  ", "\t", " \t "]) + field)
        if r.random() < 0.05:
            lines.append("")
        if r.random() < 0.05:
            lines.append("no-separator")
    eol = r.choice(["\n", "\r\n"])
    sfv = r.choice(["rel.sfv", "REL.SFV", "z.sfv", "a b.sfv"])
    has_sfv = r.random() < 0.85
    if has_sfv:
        text = eol.join(lines) + (eol if r.random() < 0.8 else "")
        write(os.path.join(d, sfv), text.encode("latin-1"))
    if r.random() < 0.1:
        os.mkdir(os.path.join(d, "dir.sfv"))
    uploaded = []
    for e in entries:
        if "/" in e:
            continue
        roll = r.random()
        name = e if r.random() < 0.8 else spelling(e, r)
        content = data[e] if r.random() < 0.85 else some_bytes(r)
        if roll < 0.5 or 0.85 <= roll < 0.9:
            if write(os.path.join(d, name), content):
                uploaded.append(name)
            if roll >= 0.85:
                write(os.path.join(d, spelling(e, r) + "-missing"))
        elif roll < 0.7:
            write(os.path.join(d, e + "-missing"))
        elif roll < 0.8:
            write(os.path.join(d, name + "-untested"), content)
        elif roll < 0.85:
            write(os.path.join(d, name + "-crc-failed"), content)
    if r.random() < 0.2:
        os.symlink("nowhere", os.path.join(d, "dangling.rar"))
    if r.random() < 0.2 and uploaded:
        os.symlink(r.choice(uploaded), os.path.join(d, "link.rar"))
    if r.random() < 0.1:
        os.mkdir(os.path.join(d, "-[050%]-[##########----------]-"))
    if r.random() < 0.1:
        write(os.path.join(d, "extra.rar"), b"x")
    names = [e for e in entries if "/" not in e] + uploaded + ["nothere.rar", "info.nfo"]
    return names, sfv if has_sfv else None


def hook_runs(r, names, sfv, top, scratch):
    """One to four hook runs: the upload, the switches and the variables."""
    runs = []
    for _ in range(r.randrange(1, 5)):
        upload = sfv if sfv and r.random() < 0.3 else r.choice(names)
        switches, env = [], {}
        if r.random() < 0.4:
            switches.append("-U")
        if r.random() < 0.4:
            switches.append("-G")
        if r.random() < 0.3:
            switches.append("-I")
            env["KUVO_BASEDIR"] = top
        if r.random() < 0.3:
            switches.append(r.choice(["-A0", "-A1", "-A2"]))
            env["KUVO_ANNOUNCEFILE"] = os.path.join(scratch, "announce.log")
        r.shuffle(switches)
        if r.random() < 0.2:
            switches += ["-L", os.path.join(scratch, "kuvo.log")]
        for variable, value, chance in [("KUVO_COMPLETE", "COMPLETE", 0.15),
                                        ("KUVO_IGNORE", "*.nfo *.sfv *.jpg", 0.1),
                                        ("KUVO_MISSING", ".missing", 0.1),
                                        ("KUVO_UNTESTED", ".untested", 0.1)]:
            if r.random() < chance:
                env[variable] = value
        runs.append((upload, switches, env))
    return runs


STAMP = re.compile(rb"[A-Z][a-z][a-z] [A-Z][a-z][a-z] [ \d]\d \d\d:\d\d:\d\d \d{4}")
BANNER = re.compile(rb"kuvo \d+\.\d+: ")


def settle(data):
    return BANNER.sub(b"kuvo: ", STAMP.sub(b"<time>", data))


def tree(top):
    out = []
    for dirpath, dirnames, filenames in os.walk(top):
        dirnames.sort()
        for n in sorted(dirnames + filenames):
            p = os.path.join(dirpath, n)
            st = os.lstat(p)
            rel = os.path.relpath(p, top)
            if stat.S_ISLNK(st.st_mode):
                out.append((rel, "link", os.readlink(p)))
            elif stat.S_ISDIR(st.st_mode):
                out.append((rel, "dir", oct(st.st_mode & 0o7777)))
            else:
                with open(p, "rb") as f:
                    out.append((rel, "file", oct(st.st_mode & 0o7777), settle(f.read())))
    return out


def one_round(binary, seed, scratch):
    shutil.rmtree(scratch, ignore_errors=True)
    top = os.path.join(scratch, "base")
    release = os.path.join(top, "rel")
    os.makedirs(top)
    r = random.Random(seed)
    names, sfv = build_release(r, release)
    console = []
    for upload, switches, env in hook_runs(r, names, sfv, top, scratch):
        env.update({"PATH": "/usr/bin:/bin", "KUVO_FILE": upload, "KUVO_DIR": release,
                    "USER": "u", "GROUP": "g"})
        p = subprocess.run([binary] + switches, env=env, cwd="/", capture_output=True,
                           timeout=30)
        console.append((upload, switches, p.returncode, settle(p.stdout), p.stderr))
    return console, tree(scratch)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    before, after = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 300
    seeds = random.Random(int(sys.argv[4]) if len(sys.argv) > 4 else 1)
    scratch = tempfile.mkdtemp(prefix="kuvo-differential-",
                               dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else None)
    differ = 0
    try:
        for n in range(rounds):
            seed = seeds.randrange(1 << 30)
            (ca, ta), (cb, tb) = (one_round(b, seed, scratch) for b in (before, after))
            if ca == cb and ta == tb:
                continue
            differ += 1
            print("=== round %d (seed %d)" % (n, seed))
            for a, b in zip(ca, cb):
                if a != b:
                    print(" upload %r %s" % (a[0], " ".join(a[1])))
                    print("  before: %d %r" % (a[2], a[3][:400]))
                    print("  after:  %d %r" % (b[2], b[3][:400]))
            if ta != tb:
                sa, sb = set(map(repr, ta)), set(map(repr, tb))
                print("  only before:", sorted(sa - sb)[:6])
                print("  only after: ", sorted(sb - sa)[:6])
            if differ >= 5:
                break
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print("%d rounds, %d differ" % (n + 1, differ))
    sys.exit(1 if differ else 0)


main()
