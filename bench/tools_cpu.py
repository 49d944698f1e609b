#!/usr/bin/env python3
"""What the reference terminal costs in CPU time, per second of broadcast.

Runs krmux and krhost from a build and reads each krhost run's CPU time (user + system, of the
process and its threads) from the kernel:

  long      krhost play of a long sample stream, in step with the library and at --rate 30
  pcap      krhost play beside GStreamer's RTP depayloader on the same program's datagrams
            (krmux --pcap), when gst-launch-1.0 with pcapparse is installed
  multiplex a full satellite multiplex, 80 Mbit/s of which half scrambled, read at the pace of
            its clock, one scrambled program played

Every play must deliver exactly the source clip, looped: a run that loses a frame, or a tool
that fails, fails the script (exit 1). Prints one JSON document; --quick makes every stream
short, for a smoke run in CI.

usage: tools_cpu.py BUILD_DIR [--quick] [--only NAME[,NAME]] [--repeat N]
"""
import argparse
import contextlib
import json
import os
import pathlib
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
SAMPLES = ROOT / "samples"


class Failure(Exception):
    pass


def run(command, **kwargs):
    """Runs a command to its end; returns (CPU seconds of it and its threads, wall seconds)."""
    begin = time.monotonic()
    process = subprocess.Popen([str(c) for c in command], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, **kwargs)
    out, err = process.communicate()
    wall = time.monotonic() - begin
    # communicate() reaped the child; its usage is in the children's total.
    if process.returncode != 0:
        raise Failure("%s exited with %d:\n%s" % (" ".join(map(str, command)),
                                                  process.returncode, err.decode(errors="replace")))
    return out.decode(errors="replace"), err.decode(errors="replace"), wall


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def cpu_of(command, **kwargs):
    before = children_cpu()
    out, err, wall = run(command, **kwargs)
    return children_cpu() - before, wall, out, err


def best_cpu(command, repeat):
    """The least CPU time of several runs: the run the machine disturbed least."""
    best = None
    for _ in range(repeat):
        cpu, wall, _, _ = cpu_of(command)
        if best is None or cpu < best[0]:
            best = (cpu, wall)
    return best


def mux(tools, arguments, out):
    _, err, _ = run([tools["krmux"], *arguments, "--out", out])
    match = re.search(r"(\d+) packets, (\d+) ms", err)
    if not match:
        raise Failure("krmux did not say how long the stream is:\n" + err)
    return int(match.group(2)) / 1000.0


def check_play(frames_file, expected, what):
    got = pathlib.Path(frames_file).read_bytes() if pathlib.Path(frames_file).exists() else b""
    if got != expected:
        raise Failure("%s: %d bytes of video delivered, %d expected (frames were lost)"
                      % (what, len(got), len(expected)))


def play(tools, stream, program, out, extra=(), card=None):
    command = [tools["krhost"], "play", "--input", stream, "--program", str(program),
               "--out", out, "--store", str(out) + ".store", *extra]
    if card:
        command += ["--card", card]
    return command


def long_stream(tools, work, quick, repeat):
    loops = 5 if quick else 100
    stream = work / "long.ts"
    seconds = mux(tools, ["--scenario", SAMPLES / "scenario", "--loops", str(loops)], stream)
    clip = (SAMPLES / "media/clip.m4v").read_bytes() * loops
    result = {"broadcast_s": seconds}
    for name, extra in (("in_step", ()), ("rate_30", ("--rate", "30"))):
        out = work / ("long_%s.m4v" % name)
        cpu, wall = best_cpu(play(tools, stream, 1001, out, extra), repeat)
        check_play(out, clip, "long stream " + name)
        result[name] = {"cpu_s": round(cpu, 3), "wall_s": round(wall, 2),
                        "cpu_s_per_broadcast_s": round(cpu / seconds, 5)}
    return result


def gst_has(element):
    return shutil.which("gst-inspect-1.0") and subprocess.run(
        ["gst-inspect-1.0", element], stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL).returncode == 0


def pcap_compare(tools, work, quick, repeat):
    if not (shutil.which("gst-launch-1.0") and gst_has("pcapparse") and gst_has("rtpmp4vdepay")):
        return {"skipped": "gst-launch-1.0 with pcapparse and rtpmp4vdepay is not installed"}
    if not shutil.which("ffmpeg"):
        return {"skipped": "ffmpeg is not installed (it makes the clip)"}
    # A minute of one clear program at about 6 Mbit/s: tens of thousands of datagrams, so that
    # neither program's start-up decides the figure.
    clip = make_clip(work)
    loops = 5 if quick else 60
    # The EPG carousel at krmux's default pace: at the full multiplex's it would be twice the
    # program's bytes, which krhost reads and GStreamer never sees.
    scenario = multiplex_scenario(work, clip, loops, programs=1, epg_rate=100)
    stream, capture = work / "clip.ts", work / "clip.pcap"
    seconds = mux(tools, ["--scenario", scenario, "--pcap", capture], stream)
    out = work / "clip_play.m4v"
    krhost_cpu, _ = best_cpu(play(tools, stream, 1101, out), repeat)
    check_play(out, clip.read_bytes() * loops, "pcap stream")
    # Every datagram of the program, video and audio, through the depayloader: as many packets
    # as krhost reassembles frames from.
    gst = ["gst-launch-1.0", "-q", "filesrc", "location=%s" % capture, "!", "pcapparse", "!",
           "application/x-rtp,media=video,clock-rate=90000,encoding-name=MP4V-ES,payload=96",
           "!", "rtpmp4vdepay", "!", "fakesink"]
    gst_cpu, _ = best_cpu(gst, repeat)
    return {"broadcast_s": seconds, "datagrams": count_records(capture),
            "krhost_cpu_s": round(krhost_cpu, 3), "gstreamer_cpu_s": round(gst_cpu, 3),
            "krhost_to_gstreamer": round(krhost_cpu / gst_cpu, 2) if gst_cpu > 0 else None}


def count_records(capture):
    data = capture.read_bytes()
    at, records = 24, 0
    while at + 16 <= len(data):
        at += 16 + int.from_bytes(data[at + 8:at + 12], "little")
        records += 1
    return records


def make_clip(work):
    """One second of MPEG-4 Part 2 at about 6.5 Mbit/s, made once: with the audio, the
    sections' headers and the transport packets, ten programs of it fill 80 Mbit/s."""
    clip = work / "clip_6m.m4v"
    if not clip.exists():
        subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc2=size=1280x720:rate=25", "-t", "1", "-c:v", "mpeg4",
                        "-b:v", "6.3M", "-minrate", "6.3M", "-maxrate", "6.3M", "-bufsize", "2M",
                        "-g", "25", "-f", "m4v", str(clip)], check=True)
    return clip


PROGRAMS = 10
SCRAMBLED_FROM = 6  # programs 6..10 of the multiplex are scrambled


def multiplex_scenario(work, clip, seconds, programs=PROGRAMS, epg_rate=1000):
    """A scenario of programs of the given clip and the sample audio, SCRAMBLED_FROM and on
    scrambled, and a card entitled to the scrambled ones; the live programs run from 1 s on.
    The EPG carousel's blocks per second: 1,000 (about 11 Mbit/s) fill the full multiplex."""
    ids = [1100 + n for n in range(1, programs + 1)]
    scrambled = [i for i in ids if i - 1100 >= SCRAMBLED_FROM]
    name = "mux%d" % programs
    epg = work / (name + "_epg")
    shutil.rmtree(epg, ignore_errors=True)
    shutil.copytree(SAMPLES / "epg", epg)
    lines = ["[LIVE_EPG]", "COUNT=%d" % programs, "VERSION=20261206180000"]
    for n, program in enumerate(ids, 1):
        lines += ["[PROGRAM%d]" % n, "ProgramID=%d" % program, "ProgramName=Channel %d" % n,
                  "ProgramSort=4", "CA=%d" % (program in scrambled), "Freq=626",
                  "Channel=239.81.3.%d:6000" % n, "Pid=%d" % (512 + n), "#STARTSDP",
                  "m=video 6000 RTP/AVP 96", "a=rtpmap:96 MP4V-ES/90000",
                  "m=audio 6002 RTP/AVP 97", "a=rtpmap:97 MPEG4-GENERIC/48000/2", "#ENDSDP"]
    (epg / "LiveEPG.txt").write_text("\n".join(lines) + "\n")
    settings = ["epg = %s" % epg, "epg-pid = 0x1FF0", "epg-rate = %d" % epg_rate, "sysinfo-ms = 500",
                "live-start-ms = 1000", "loops = %d" % seconds,
                "duration-ms = %d" % (1000 + 1000 * seconds + 200), "frame-rate = 25",
                "resource = 2012, %s" % (SAMPLES / "resources/service_guide.txt")]
    settings += ["program = %d, video=%s, audio=%s" % (i, clip, SAMPLES / "media/clip.aac")
                 for i in ids]
    if scrambled:
        card = (SAMPLES / "card/card.txt").read_text()
        card = re.sub(r"(?m)^entitlements = .*$",
                      "entitlements = " + ", ".join(map(str, scrambled)), card)
        (work / "mux_card.txt").write_text(card)
        # ECMs come four times a period: at 2 s one is due at the programs' start.
        settings += ["ca-card = %s" % (work / "mux_card.txt"), "emm-pid = 0x1FF1",
                     "scrambled = " + ", ".join(map(str, scrambled)), "crypto-period-ms = 2000"]
    scenario = work / (name + "_scenario")
    scenario.mkdir(exist_ok=True)
    (scenario / "scenario.txt").write_text("\n".join(settings) + "\n")
    return scenario


def multiplex(tools, work, quick, repeat):
    if not shutil.which("ffmpeg"):
        return {"skipped": "ffmpeg is not installed (it makes the clip)"}
    clip = make_clip(work)
    loops = 3 if quick else 20
    scenario = multiplex_scenario(work, clip, loops)
    stream = work / "multiplex.ts"
    seconds = mux(tools, ["--scenario", scenario], stream)
    mbits = stream.stat().st_size * 8 / seconds / 1e6
    out = work / "multiplex_play.m4v"
    program = 1100 + PROGRAMS
    cpu, wall = best_cpu(play(tools, stream, program, out, ("--realtime", "--emm-pid", "0x1FF1"),
                              card=work / "mux_card.txt"), repeat)
    check_play(out, clip.read_bytes() * loops, "multiplex")
    return {"broadcast_s": seconds, "mbit_per_s": round(mbits, 1), "cpu_s": round(cpu, 3),
            "wall_s": round(wall, 2), "cpu_s_per_broadcast_s": round(cpu / seconds, 4)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", default="long,pcap,multiplex")
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args()
    build = pathlib.Path(args.build).resolve()
    tools = {"krmux": build / "tools/krmux/krmux", "krhost": build / "tools/krhost/krhost"}
    for path in tools.values():
        if not path.exists():
            sys.exit("tools_cpu: %s is not built" % path)
    runs = {"long": long_stream, "pcap": pcap_compare, "multiplex": multiplex}
    report = {}
    keep = os.environ.get("TOOLS_CPU_KEEP")
    with (tempfile.TemporaryDirectory(prefix="krtools_cpu_") if not keep else contextlib.nullcontext(keep)) as scratch:
        for name in args.only.split(","):
            try:
                report[name] = runs[name](tools, pathlib.Path(scratch), args.quick, args.repeat)
            except Failure as failure:
                report[name] = {"error": str(failure)}
    print(json.dumps(report, indent=2))
    failed = [name for name, result in report.items() if "error" in result]
    for name in failed:
        print("tools_cpu: %s: %s" % (name, report[name]["error"]), file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
