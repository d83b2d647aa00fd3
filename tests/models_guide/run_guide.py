#!/usr/bin/python3
"""Runs every ```sh block of docs/models.md in a scratch folder holding
yolov3-tiny.cfg and designed weights for it, and checks each block's output
against the `<!-- expect: REGEX -->` line before it.

  run_guide.py GUIDE BUILD_DIR SOURCE_DIR
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

CFG = "/usr/share/darknet/cfg/yolov3-tiny.cfg"
NAMES = "/usr/share/darknet/data/coco.names"


def blocks(path):
    """(expect regex or None, script) for each sh block, in order."""
    out, expect, script = [], None, None
    for line in open(path):
        m = re.match(r"<!-- expect: (.*) -->", line.strip())
        if script is None and m:
            expect = m.group(1)
        elif script is None and line.strip() == "```sh":
            script = []
        elif script is not None and line.strip() == "```":
            out.append((expect, "".join(script)))
            expect, script = None, None
        elif script is not None:
            script.append(line)
    return out


def main():
    guide, build, source = (os.path.abspath(p) for p in sys.argv[1:4])
    for need in (CFG, NAMES):
        if not os.path.exists(need):
            sys.exit("missing %s (the darknet package)" % need)
    work = tempfile.mkdtemp(prefix="models-guide-")
    try:
        shutil.copy(CFG, os.path.join(work, "yolov3-tiny.cfg"))
        subprocess.run(["/usr/bin/python3", os.path.join(source, "tools/darknet-weights.py"),
                        "yolov3-tiny.cfg", "yolov3-tiny.weights", "--designed-boxes"],
                       cwd=work, check=True, stdout=subprocess.DEVNULL)
        env = dict(os.environ, M=os.path.join(build, "models"), NAMES=NAMES,
                   PATH=os.path.join(build, "bin") + os.pathsep + os.environ["PATH"])
        found = blocks(guide)
        if len(found) < 5:
            sys.exit("expected the guide's command blocks, found %d" % len(found))
        failed = 0
        for i, (expect, script) in enumerate(found):
            r = subprocess.run(["bash", "-euo", "pipefail", "-c", script], cwd=work, env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               timeout=300)
            ok = r.returncode == 0 and (expect is None or re.search(expect, r.stdout))
            print("block %d: %s" % (i + 1, "ok" if ok else "FAILED"))
            if not ok:
                failed += 1
                print(script)
                print(r.stdout[-3000:])
                print("exit %d, expected /%s/" % (r.returncode, expect))
        sys.exit(1 if failed else 0)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
