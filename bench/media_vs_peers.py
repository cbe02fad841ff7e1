#!/usr/bin/env python3
"""mkmedia, inspect and whole sessions beside their peers, in one run.

    bench/media_vs_peers.py [--build build/default] [--work DIR] [--quick]

Makes its data from files every Debian machine has (/usr/lib and
/usr/share/doc), then prints one table per question, each figure beside
its peer from the same run:

  1. mkmedia of a 100 MiB tree beside `pigz -p N -9` of the same bytes as
     one tar (wall, CPU, output size);
  2. inspect of those media beside `pigz -d` of the same tar;
  3. the HDD update and the whole session beside their zlib floors
     (dlbench's BM_HddUpdateVsInflate and Session_over_Floor);
  4. peak memory of mkmedia for a 1 GiB tree cut into 32 MiB files;
  5. the cost of mkmedia, inspect and a session per MiB and per package at
     25 to 400 MiB of HDD system, and at 100 to 2,000 packages per file.

--quick shrinks every size by 8 for a trial of the script itself.

The scratch folder is made in /dev/shm when that is a memory file system
with room (else under TMPDIR): on a disk file system most of a session's
time is the kernel creating and removing files, and the figures would say
more of its state than of the programs.
"""

import argparse
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

MiB = 1 << 20
VERSION_TEXT = {"target": "DL01", "oem": "1", "major": "R2", "minor": "10", "shipping": "A"}
NAME_OK = re.compile(r"^[A-Za-z0-9._+-]+$")


def run_timed(cmd, output=None, check=True):
    """Wall and CPU seconds, peak memory in KiB, via /usr/bin/time; standard
    output into the file `output` (made anew) or discarded."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as t, \
            open(output or os.devnull, "wb") as out:
        full = ["/usr/bin/time", "-f", "%e %U %S %M", "-o", t.name] + cmd
        rc = subprocess.run(full, stdout=out, stderr=subprocess.PIPE).returncode
        if check and rc != 0:
            sys.exit("failed (%d): %s" % (rc, " ".join(cmd)))
        wall, user, system, rss = t.read().split()[-4:]
    return {"wall": float(wall), "cpu": float(user) + float(system), "rss_kib": int(rss), "rc": rc}


def best_of(n, cmd, **kw):
    """The run of least wall time of n: the machine is shared."""
    runs = [run_timed(cmd, **kw) for _ in range(n)]
    return min(runs, key=lambda r: r["wall"])


def sources():
    lib = "/usr/lib/x86_64-linux-gnu"
    return [(lib if os.path.isdir(lib) else "/usr/lib", 0.7), ("/usr/share/doc", 1.0)]


def gather_corpus(dest, total):
    """Regular files of the system folders, copied under dest/SYS/c<n>/:
    70 % libraries, the rest documents; names the media would refuse are
    left out."""
    got, count = 0, 0
    for folder, share in sources():
        want = int(total * share)
        for root, dirs, files in os.walk(folder):
            dirs.sort()
            for name in sorted(files):
                path = os.path.join(root, name)
                if got >= want:
                    break
                if os.path.islink(path) or not os.path.isfile(path) or not NAME_OK.match(name):
                    continue
                size = os.path.getsize(path)
                if size == 0 or size > 8 * MiB or got + size > want:
                    continue
                sub = os.path.join(dest, "SYS", "c%d" % (count // 500))
                os.makedirs(sub, exist_ok=True)
                try:
                    shutil.copyfile(path, os.path.join(sub, "%05d_%s" % (count, name[:80])))
                except OSError:
                    continue
                got += size
                count += 1
            if got >= want:
                break
    return got, count


def corpus_files(tree):
    out = []
    for root, _, files in os.walk(tree):
        for name in sorted(files):
            out.append(os.path.join(root, name))
    return sorted(out)


def linked_tree(dest, corpus, total):
    """A tree of `total` bytes of hard links to the corpus's files, cycled."""
    files = corpus_files(corpus)
    random.Random(1).shuffle(files)  # the same mix of sizes at every total
    got, n = 0, 0
    while got < total:
        src = files[n % len(files)]
        sub = os.path.join(dest, "SYS", "r%d" % (n // len(files)), "c%d" % (n % len(files) // 500))
        os.makedirs(sub, exist_ok=True)
        os.link(src, os.path.join(sub, os.path.basename(src)))
        got += os.path.getsize(src)
        n += 1
    return got, n


def sliced_tree(dest, blob, total, packages):
    """`packages` files cut from the concatenated corpus, `total` bytes."""
    size = total // packages
    with open(blob, "rb") as f:
        for i in range(packages):
            sub = os.path.join(dest, "SYS", "d%d" % (i // 500))
            os.makedirs(sub, exist_ok=True)
            f.seek((i * size) % max(1, os.path.getsize(blob) - size))
            with open(os.path.join(sub, "p%05d" % i), "wb") as out:
                out.write(f.read(size))
    return size * packages, packages


def manifest(path, tree, file_size):
    with open(path, "w") as f:
        json.dump({"folder": "fwstore", "hdd": {"tree": tree, "versionText": VERSION_TEXT,
                                                 "fileSize": file_size}}, f)


def media_bytes(folder):
    fw = os.path.join(folder, "fwstore")
    return sum(os.path.getsize(os.path.join(fw, n)) for n in os.listdir(fw))


def hdd_file_count(folder):
    return sum(1 for n in os.listdir(os.path.join(folder, "fwstore")) if n.isdigit())


def row(cells, widths):
    return "  ".join(str(c).rjust(w) if i else str(c).ljust(w) for i, (c, w) in enumerate(zip(cells, widths)))


def table(title, head, rows):
    widths = [max(len(str(r[i])) for r in [head] + rows) for i in range(len(head))]
    print("\n" + title)
    print(row(head, widths))
    for r in rows:
        print(row(r, widths))
    sys.stdout.flush()


def default_scratch():
    """/dev/shm when it holds the run (the 1 GiB tree is hard links), else TMPDIR's."""
    shm = "/dev/shm"
    try:
        st = os.statvfs(shm)
        if os.access(shm, os.W_OK) and st.f_bavail * st.f_frsize >= 4 * 1024 * MiB:
            return shm
    except OSError:
        pass
    return tempfile.gettempdir()


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(here, "..", "build", "default"))
    ap.add_argument("--work", help="scratch folder (default: a new one under TMPDIR, removed)")
    ap.add_argument("--quick", action="store_true", help="every size divided by 8")
    ap.add_argument("--repeat", type=int, default=2, help="runs of each timed command (best taken)")
    args = ap.parse_args()

    dlupdate = os.path.join(args.build, "tools", "dlupdate")
    dlbench = os.path.join(args.build, "bench", "dlbench")
    for tool in (dlupdate, "pigz", "tar"):
        if shutil.which(tool) is None:
            sys.exit("missing: " + tool)
    scale = 8 if args.quick else 1
    jobs = os.cpu_count() or 1
    work = args.work or tempfile.mkdtemp(prefix="dlmediabench-", dir=default_scratch())
    os.makedirs(work, exist_ok=True)
    try:
        run(args, work, dlupdate, dlbench, scale, jobs)
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)


def run(args, work, dlupdate, dlbench, scale, jobs):
    rep = args.repeat
    corpus = os.path.join(work, "corpus")
    total, count = gather_corpus(corpus, 100 * MiB // scale)
    print("corpus: %d files, %.1f MiB from %s; %d cores; scratch in %s" %
          (count, total / MiB, ", ".join(s for s, _ in sources()), jobs, os.path.dirname(os.path.abspath(work))))

    # 1. mkmedia beside pigz -9 of the same bytes as one tar.
    tar = os.path.join(work, "corpus.tar")
    subprocess.run(["tar", "-C", corpus, "-cf", tar, "."], check=True)
    gz = tar + ".gz"
    pigz = best_of(rep, ["pigz", "-p", str(jobs), "-9", "-c", tar], output=gz)
    man = os.path.join(work, "m100.json")
    manifest(man, corpus, 16 * MiB // scale)
    media = os.path.join(work, "media100")
    size_gz = os.path.getsize(gz)
    rows = [["pigz -9", "%.2f" % pigz["wall"], "%.2f" % pigz["cpu"], "%.2f" % (size_gz / MiB), "1", "1", "1"]]
    # The default level (6) first; then the levels around it, and one job.
    for level, n in ((6, jobs), (4, jobs), (5, jobs), (7, jobs), (9, jobs), (6, 1)):
        out = media if (level, n) == (6, jobs) else media + "-other"
        mk = best_of(rep if out == media else 1,
                     [dlupdate, "mkmedia", man, "--out", out, "--jobs", str(n), "--level", str(level)])
        size = media_bytes(out)
        if out == media:
            size_mk = size
        shutil.rmtree(media + "-other", ignore_errors=True)
        rows.append(["mkmedia --level %d --jobs %d" % (level, n), "%.2f" % mk["wall"], "%.2f" % mk["cpu"],
                     "%.2f" % (size / MiB), "%.3f" % (mk["wall"] / pigz["wall"]),
                     "%.3f" % (mk["cpu"] / pigz["cpu"]), "%.4f" % (size / size_gz)])
    table("1. mkmedia of %.0f MiB beside pigz -p %d -9 of the same bytes as one tar" % (total / MiB, jobs),
          ["", "wall s", "CPU s", "output MiB", "wall ratio", "CPU ratio", "size ratio"], rows)

    # 2. inspect beside pigz -d.
    unpig = best_of(rep, ["pigz", "-d", "-c", gz])
    ins = best_of(rep, [dlupdate, "inspect", media])
    table("2. inspect of those media beside pigz -d of the tar",
          ["", "wall s", "CPU s", "wall ratio", "CPU ratio"],
          [["pigz -d", "%.2f" % unpig["wall"], "%.2f" % unpig["cpu"], "1", "1"],
           ["inspect", "%.2f" % ins["wall"], "%.2f" % ins["cpu"], "%.3f" % (ins["wall"] / unpig["wall"]),
            "%.3f" % (ins["cpu"] / unpig["cpu"])]])

    # 3. The HDD update and the session beside their zlib floors.
    if os.path.exists(dlbench) and not args.quick:
        # Three repetitions, their median: one run of a few iterations says
        # as much of the neighbours as of the program.
        out = subprocess.run([dlbench, "--benchmark_filter=HddUpdateVsInflate|Session_over_Floor",
                              "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true",
                              "--benchmark_format=json"], capture_output=True, text=True,
                             env=dict(os.environ, TMPDIR=work))
        rows = []
        try:
            for b in json.loads(out.stdout)["benchmarks"]:
                if b.get("aggregate_name") != "median":
                    continue
                if "HddUpdate" in b["name"]:
                    rows.append([b["name"], "%.0f" % b["update_ms"], "%.0f" % b["inflate_ms"], "%.3f" % b["ratio"], ""])
                else:
                    rows.append([b["name"], "%.0f" % b["session_ms"], "%.0f" % b["floor_ms"], "%.3f" % b["ratio"],
                                 "staging %.0f, OS UI %.0f, HDD+units %.0f ms" %
                                 (b["staging_ms"], b["os_ui_ms"], b["hdd_units_ms"])])
        except (ValueError, KeyError) as e:
            rows.append(["dlbench failed: %s" % e, "", "", "", out.stderr[-200:]])
        table("3. The module's work beside its zlib floor (median of three runs of dlbench)",
              ["", "ms", "floor ms", "ratio", "phases"], rows)

    # 4. Peak memory for a 1 GiB tree cut into 32 MiB files.
    big = os.path.join(work, "tree1g")
    big_total, big_files = linked_tree(big, corpus, 1024 * MiB // scale)
    man = os.path.join(work, "m1g.json")
    manifest(man, big, 32 * MiB // scale)
    mem = run_timed([dlupdate, "mkmedia", man, "--out", os.path.join(work, "media1g"), "--jobs", str(jobs)])
    table("4. Peak memory of mkmedia, %.0f MiB tree (%d files) cut into %d MiB files" %
          (big_total / MiB, big_files, 32 // scale),
          ["", "wall s", "CPU s", "peak RSS MiB", "HDD files"],
          [["mkmedia", "%.2f" % mem["wall"], "%.2f" % mem["cpu"], "%.1f" % (mem["rss_kib"] / 1024),
            hdd_file_count(os.path.join(work, "media1g"))]])
    shutil.rmtree(os.path.join(work, "media1g"), ignore_errors=True)
    shutil.rmtree(big, ignore_errors=True)

    # 5. Cost per MiB and per package as the media grow.
    # CPU time is the measure here: on a shared machine wall time mostly
    # says how busy the others were.
    def measure(tag, tree, file_size, nbytes, npackages):
        name = re.sub(r"[^A-Za-z0-9]", "_", tag)
        man = os.path.join(work, name + ".json")
        manifest(man, tree, file_size)
        out = os.path.join(work, name)
        m = best_of(1, [dlupdate, "mkmedia", man, "--out", out, "--jobs", str(jobs)])
        i = best_of(1, [dlupdate, "inspect", out])
        machine = os.path.join(work, name + "-machine")
        console = os.path.join(work, name + ".console")
        s = None
        for _ in range(rep):  # each on a new machine
            shutil.rmtree(machine, ignore_errors=True)
            r = run_timed([dlupdate, "run", "--media", out, "--machine", machine, "--keys", "ok"], output=console)
            with open(console) as f:
                if "Download -> OK" not in f.read():
                    sys.exit("the session on %s did not complete; see %s" % (tag, console))
            s = r if s is None or r["wall"] < s["wall"] else s
        files = hdd_file_count(out)
        shutil.rmtree(machine, ignore_errors=True)
        shutil.rmtree(out, ignore_errors=True)
        shutil.rmtree(tree, ignore_errors=True)
        mib = nbytes / MiB
        cells = [tag, "%.0f" % mib, npackages, files, "%.0f" % (npackages / files)]
        for r in (m, i, s):
            cells += ["%.1f/%.1f" % (r["wall"], r["cpu"]), "%.1f" % (r["cpu"] / mib * 1e3),
                      "%.0f" % (r["cpu"] / npackages * 1e6)]
        return cells

    head = ["", "MiB", "packages", "files", "pkg/file"]
    for tool in ("mkmedia", "inspect", "session"):
        head += [tool + " wall/CPU s", "CPU ms/MiB", "CPU us/pkg"]
    rows = []
    for size in (25, 50, 100, 200, 400):
        tree = os.path.join(work, "grow%d" % size)
        nbytes, npk = linked_tree(tree, corpus, size * MiB // scale)
        rows.append(measure("%d MiB" % size, tree, 16 * MiB // scale, nbytes, npk))
    table("5a. Cost as the HDD system grows (HDD files of %d MiB)" % (16 // scale), head, rows)

    blob = os.path.join(work, "blob")
    with open(blob, "wb") as out:
        for f in corpus_files(corpus):
            with open(f, "rb") as src:
                shutil.copyfileobj(src, out)
    ratio = size_mk / total
    file_size = 16 * MiB // scale
    rows = []
    for per_file in (100, 500, 2000):
        total_bytes = 100 * MiB // scale
        files = max(1, round(total_bytes * ratio / file_size))
        tree = os.path.join(work, "dense%d" % per_file)
        nbytes, npk = sliced_tree(tree, blob, total_bytes, per_file * files)
        rows.append(measure("%d/file" % per_file, tree, file_size, nbytes, npk))
    table("5b. Cost as the packages get smaller (%d MiB, HDD files of %d MiB)" %
          (100 // scale, 16 // scale), head, rows)


if __name__ == "__main__":
    main()
