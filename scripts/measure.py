#!/usr/bin/env python3
"""Measures whole runs of the tool: overhead over the encoder alone, pipeline density, pacing and
memory per pipeline. Prints one line per figure.

  scripts/measure.py [--build build] [overhead] [density] [pacing] [memory]

Each run uses its own copy (hard link) of the tool in a temporary folder, a configuration of
identical tasks and -WriteStreams, so that delivered frames can be counted in the stream files.
The machine should be otherwise idle: every figure here is wall-clock or CPU time."""

import argparse, os, re, shutil, subprocess, sys, tempfile, time


def run(build, size, rate, count, duration):
    """One run of `count` tasks of `size` at `rate` for `duration` seconds. Returns a dict with
    the elapsed time from the start line to the CPU line, the process CPU seconds, the peak
    resident memory (KiB) and the frame count of each stream."""
    folder = tempfile.mkdtemp(prefix="xev-measure-")
    try:
        tool = os.path.join(folder, "XevEncodeTest")
        os.link(os.path.join(build, "bin", "XevEncodeTest"), tool)
        width, height = size
        task = '{"SizeW": %d, "SizeH": %d, "RateN": %d, "RateD": 1}' % (width, height, rate)
        with open(os.path.join(folder, "XevEncodeTest.Configuration.json"), "w") as f:
            f.write('{"Tasks": [%s], "Duration": %d}' % (", ".join([task] * count), duration))
        process = subprocess.Popen([tool, "-WriteStreams"], stdout=subprocess.PIPE, text=True)
        started = ended = None
        for line in process.stdout:
            if line.startswith("Started "):
                started = time.monotonic()
            elif line.startswith("CPU consumption"):
                ended = time.monotonic()
        # This child's own usage: RUSAGE_CHILDREN's peak would be the largest of every child so far.
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
        frames = []
        for index in range(count):
            path = os.path.join(folder, "Stream-%02d.h264" % index)
            probe = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                                    "stream=nb_read_frames", "-of", "csv=p=0", path], capture_output=True, text=True)
            frames.append(int(probe.stdout.strip() or 0))
        return {
            "status": process.returncode,
            "elapsed": (ended - started) if started and ended else float("nan"),
            "cpu": usage.ru_utime + usage.ru_stime,
            "rss": usage.ru_maxrss,
            "frames": frames,
        }
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def encoder_cpu_per_frame(build, width, height, paced):
    """CPU a frame of the software runtime alone on the source's pictures, each copied in as the
    transform copies it: back to back, or paced at 30 frames a second as a pipeline runs."""
    bench = os.path.join(build, "bin", "transform_bench")
    out = subprocess.run([bench, "--benchmark_filter=RuntimeAlone/%d/%d/1/%d/" % (width, height, 1 if paced else 0),
                          "--benchmark_min_time=%d" % (10 if paced else 3)],
                         capture_output=True, text=True).stdout
    match = re.search(r"CpuPerFrame=([0-9.]+)(m?)", out)
    if not match:
        sys.exit("transform_bench gave no CpuPerFrame:\n" + out)
    return float(match.group(1)) / 1000.0  # milliseconds -> seconds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--duration", type=int, default=10)
    parser.add_argument("--density-from", type=int, default=1, help="the first pipeline count the density search tries")
    parser.add_argument("figures", nargs="*", default=["overhead", "density", "pacing", "memory"])
    args = parser.parse_args()
    d = args.duration

    if "overhead" in args.figures:
        r = run(args.build, (1920, 1080), 30, 1, d)
        pipeline = r["cpu"] / max(1, r["frames"][0])
        alone, paced = encoder_cpu_per_frame(args.build, 1920, 1080, False), encoder_cpu_per_frame(args.build, 1920, 1080, True)
        print("overhead: 1920x1080@30 pipeline %.2f ms CPU/frame (%d frames); runtime alone %.2f ms/frame back to back "
              "(ratio %.3f), %.2f ms/frame paced at 30/s (ratio %.3f)"
              % (pipeline * 1000, r["frames"][0], alone * 1000, pipeline / alone, paced * 1000, pipeline / paced))

    if "pacing" in args.figures:
        r = run(args.build, (640, 480), 30, 1, d)
        print("pacing: %d s run of one 640x480@30 pipeline: elapsed %.3f s, %d of %d frames"
              % (d, r["elapsed"], r["frames"][0], d * 30))

    if "memory" in args.figures:
        one, four = run(args.build, (1280, 720), 30, 1, 4), run(args.build, (1280, 720), 30, 4, 4)
        print("memory: peak RSS %.1f MB with 1, %.1f MB with 4 1280x720 pipelines: %.1f MB per added pipeline"
              % (one["rss"] / 1024, four["rss"] / 1024, (four["rss"] - one["rss"]) / 3 / 1024))

    if "density" in args.figures:
        best = args.density_from - 1
        for count in range(args.density_from, 65):
            r = run(args.build, (1280, 720), 30, count, d)
            ok = r["status"] == 0 and all(f == d * 30 for f in r["frames"]) and r["elapsed"] <= d * 1.03
            print("density: %2d pipelines of 1280x720@30: elapsed %.3f s, frames %s -> %s"
                  % (count, r["elapsed"], sorted(set(r["frames"])), "ok" if ok else "over"))
            if not ok:
                break
            best = count
        print("density: %d pipelines" % best)


if __name__ == "__main__":
    main()
