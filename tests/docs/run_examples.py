#!/usr/bin/env python3
"""Runs every example command of the documents and of the tools' --help, as written.

The commands are taken from the text: lines of code blocks and inline code that start with
krhost or krmux, and the Examples section of each --help. They run in a fresh directory that
holds the samples, with the built tools first on PATH, krmux's before krhost's (the krhost
examples read the stream a krmux example writes), each in the order its document gives. Every
one must exit with 0. Examples that need hardware, a network or a service that runs until
stopped (PC/SC readers, krcard, udp://) are left out.
"""
import os
import re
import subprocess
import sys
import tempfile

SKIP = ("pcsc", "--readers", "udp://", "krcard")


def commands_in_markdown(text):
    found = []
    in_block = False
    pending = ""
    for line in text.splitlines():
        if line.lstrip().startswith("```"):
            in_block = not in_block
            continue
        if in_block:
            line = pending + line.strip()
            pending = ""
            if line.endswith("\\"):
                pending = line[:-1] + " "
                continue
            found.append(line)
        else:
            # Inline code is a command when it gives an option with its value and no
            # placeholder; prose names commands and options ("`krhost mail`", "`krmux --pcap`")
            # without them.
            for code in re.findall(r"`((?:krhost|krmux|build/\S+/krmux) [^`]*)`", line):
                if ("--" in code and len(code.split()) >= 3
                        and not re.search(r"\b[A-Z]{3,}\b", code)):
                    found.append(code)
    return found


def commands_in_help(text):
    found = []
    in_examples = False
    for line in text.splitlines():
        if line == "Examples:":
            in_examples = True
        elif in_examples and line.startswith("  "):
            found.append(line.strip())
        else:
            in_examples = False
    return found


def runnable(command):
    command = re.sub(r"\s+#.*$", "", command).strip()
    command = re.sub(r"^\$ ", "", command)
    command = re.sub(r"^build/\S+/(krmux|krhost) ", r"\1 ", command)
    if not re.match(r"(krhost|krmux) ", command) or any(s in command for s in SKIP):
        return None
    return command


def main():
    source, krhost, krmux = sys.argv[1:4]
    documents = ["README.md", "samples/README.md", "docs/card.md", "docs/json.md"]
    found = []
    for name in documents:
        with open(os.path.join(source, name), encoding="utf-8") as f:
            found += [(name, c) for c in commands_in_markdown(f.read())]
    for tool in (krhost, krmux):
        text = subprocess.run([tool, "--help"], capture_output=True, text=True, check=True).stdout
        found += [(os.path.basename(tool) + " --help", c) for c in commands_in_help(text)]
    examples = []
    seen = set()
    for where, command in found:
        command = runnable(command)
        # The same command in several texts runs once, where it first appears.
        if command and command not in seen:
            seen.add(command)
            examples.append((where, command))
    # The head end first: its examples write the stream the terminal's examples read.
    examples.sort(key=lambda e: not e[1].startswith("krmux "))
    # A reader that goes away early is not a failure of krmux.
    examples.append(("krmux", "krmux --scenario samples/scenario --out - | head -c 188 >/dev/null"))

    failed = 0
    with tempfile.TemporaryDirectory() as work:
        os.symlink(os.path.join(source, "samples"), os.path.join(work, "samples"))
        bin_dir = os.path.join(work, "bin")
        os.mkdir(bin_dir)
        for tool in (krhost, krmux):
            os.symlink(tool, os.path.join(bin_dir, os.path.basename(tool)))
        env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ.get("PATH", ""))
        for where, command in examples:
            if "docs/json.md" == where and "--json" not in command:
                continue
            run = subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=work, env=env,
                                 capture_output=True, text=True, errors="replace", timeout=120)
            status = "ok" if run.returncode == 0 else "FAILED (%d)" % run.returncode
            print("%-22s %s: %s" % (where, status, command))
            if run.returncode != 0:
                failed += 1
                print(run.stderr[-2000:])
    print("%d examples, %d failed" % (len(examples), failed))
    return 1 if failed or not examples else 0


if __name__ == "__main__":
    sys.exit(main())
