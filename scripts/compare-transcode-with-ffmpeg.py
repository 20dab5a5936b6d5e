#!/usr/bin/env python3
"""Runs `mpg transcode` and `mpg mp3` over every file of the real-file folder next to
the same jobs done by the ffmpeg tool, and lists per file and job what each wrote.

usage: compare-transcode-with-ffmpeg.py MPG_BINARY [REALWORLD_DIR] [--jobs mp4,mp4-144,...]
                               [--cache FILE]

ffmpeg maps the first moving video and audio streams (cover pictures are left
out, as our transcode leaves them). Its results are kept in the cache file
(default /tmp/compare-transcode-with-ffmpeg.json), so a second run compares a new build
without running ffmpeg again.

A row is "ok" when our call did what ffmpeg could do (or both failed), "REFUSED"
when we fail where ffmpeg writes a file ("refused-by-design" for an input without
audio, which the transcode refuses on purpose), "NO-VIDEO" when we return 0 without
the moving video the input has, "EMPTY" for an MP3 call that returns 0 without audio,
"FILE-LEFT" for a failed MP3 call that leaves a file, and "UNCLEAN" when our output
does not decode cleanly although the input and ffmpeg's output do.
"""
import json
import os
import subprocess
import sys
import tempfile

# job name -> (extension, extra mpg arguments, extra ffmpeg arguments)
JOBS = {
    "mp4": ("mp4", [], []),
    "mp4-144": ("mp4", ["--height", "144"], ["-vf", "scale=-2:144"]),
    "avi": ("avi", [], []),
    "ts": ("ts", [], []),
    "3gp-144": ("3gp", ["--height", "144"], ["-vf", "scale=-2:144"]),
    "webm-144": ("webm", ["--height", "144"], ["-vf", "scale=-2:144", "-deadline", "realtime", "-cpu-used", "8"]),
    "mp3": ("mp3", None, ["-vn", "-f", "mp3"]),
}
SKIP_EXT = {".srt", ".vtt", ".tsv"}
AUDIO_NOT_FOUND = "Audio stream not found"


def run(cmd, timeout=600):
    try:
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
        return p.returncode, (p.stderr or "").strip()
    except subprocess.TimeoutExpired:
        return -999, "timeout"


def streams(path):
    """(moving video streams, audio streams, audio packets) as ffprobe sees them."""
    if not os.path.exists(path) or os.path.getsize(path) == 0:
        return None
    p = subprocess.run(["ffprobe", "-v", "error", "-show_streams", "-of", "json", path], capture_output=True, text=True)
    try:
        data = json.loads(p.stdout or "{}")
    except json.JSONDecodeError:
        return None
    v = a = 0
    for st in data.get("streams", []):
        if st.get("codec_type") == "video" and not st.get("disposition", {}).get("attached_pic"):
            v += 1
        elif st.get("codec_type") == "audio":
            a += 1
    pk = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a", "-count_packets", "-show_entries",
                         "stream=nb_read_packets", "-of", "csv=p=0", path], capture_output=True, text=True)
    apk = sum(int(x) for x in pk.stdout.split() if x.strip().isdigit())
    return v, a, apk


def clean(path):
    p = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "null", "-"], capture_output=True, text=True)
    return p.returncode == 0 and not p.stderr.strip()


def main():
    mpg = sys.argv[1]
    folder = sys.argv[2] if len(sys.argv) > 2 and not sys.argv[2].startswith("--") else "/work/shared/media/realworld"
    jobs = list(JOBS)
    if "--jobs" in sys.argv:
        jobs = sys.argv[sys.argv.index("--jobs") + 1].split(",")
    cache_path = sys.argv[sys.argv.index("--cache") + 1] if "--cache" in sys.argv else "/tmp/compare-transcode-with-ffmpeg.json"
    cache = json.load(open(cache_path)) if os.path.exists(cache_path) else {}
    tmp = tempfile.mkdtemp(prefix="tc_compare_")
    counts = {}
    for name in sorted(os.listdir(folder)):
        src = os.path.join(folder, name)
        if not os.path.isfile(src) or os.path.splitext(name)[1] in SKIP_EXT:
            continue
        src_streams = streams(src) or (0, 0, 0)
        for job in jobs:
            ext, mpg_args, ff_args = JOBS[job]
            ours, theirs = os.path.join(tmp, "ours." + ext), os.path.join(tmp, "ffmpeg." + ext)
            for p in (ours, theirs):
                if os.path.exists(p):
                    os.remove(p)
            key = name + "|" + job
            if key not in cache:
                ff_rc, _ = run(["ffmpeg", "-v", "error", "-y", "-i", src, "-map", "0:V:0?", "-map", "0:a:0?"] +
                               ff_args + [theirs])
                ff = streams(theirs) if ff_rc == 0 else None
                cache[key] = [ff_rc, ff, ff is not None and clean(theirs)]
                if name + "|clean" not in cache:
                    cache[name + "|clean"] = clean(src)
                json.dump(cache, open(cache_path, "w"))
            ff_rc, ff, ff_clean = cache[key]
            src_clean = cache[name + "|clean"]
            ff_ok = ff is not None and (ff[0] > 0 or ff[2] > 0)
            if mpg_args is None:
                rc, err = run([mpg, "-q", "mp3", src, ours])
            else:
                rc, err = run([mpg, "-q", "transcode", src, ours] + mpg_args)
            got = streams(ours) if rc == 0 else None
            exists = os.path.exists(ours)
            if job == "mp3":
                ff_ok = ff is not None and ff[2] > 0
                if rc == 0 and (got is None or got[2] == 0):
                    verdict = "EMPTY"
                elif rc != 0 and exists:
                    verdict = "FILE-LEFT"
                elif rc != 0 and ff_ok:
                    verdict = "REFUSED"
                elif rc == 0 and ff_ok and ff_clean and src_clean and not clean(ours):
                    verdict = "UNCLEAN"
                else:
                    verdict = "ok"
            else:
                if rc == 0 and src_streams[0] > 0 and (got is None or got[0] == 0) and ext not in ("aac", "mp3"):
                    verdict = "NO-VIDEO"
                elif rc != 0 and AUDIO_NOT_FOUND in err and src_streams[1] == 0:
                    verdict = "refused-by-design"
                elif rc != 0 and ff_ok:
                    verdict = "REFUSED"
                elif rc == 0 and ff_ok and ff_clean and src_clean and not clean(ours):
                    verdict = "UNCLEAN"
                else:
                    verdict = "ok"
            counts[(job, verdict)] = counts.get((job, verdict), 0) + 1
            msg = err.splitlines()[-1][:90] if (rc != 0 and err) else ""
            print(f"{name}\t{job}\tours rc={rc} {got}\tffmpeg rc={ff_rc} {ff}\t{verdict}\t{msg}", flush=True)
    print("\nsummary (job, verdict: count)")
    for (job, verdict), n in sorted(counts.items()):
        print(f"  {job}\t{verdict}\t{n}")


if __name__ == "__main__":
    main()
