"""Scoring leaves out the frames empty on both sides and only counts them: the results equal those
of the frame-by-frame layout, and memory follows the lines of a file, not its frame numbers."""

import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vestrim
from vestrim import _native
from vestrim.benchmark import MaskBenchmarkSequence

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def spread_frames(root: Path, folders, factor: int) -> Path:
    """A copy of example folders with every frame number (and every sequence length) multiplied
    by `factor`: all frames but every factor-th are then empty on both sides."""
    def times(m):
        return m[1] + str(int(m[2]) * factor)

    for folder in folders:
        shutil.copytree(EXAMPLES / folder, root / folder)
    for path in root.rglob("*"):
        if not path.is_file() or path.name == "seqmap.txt":
            continue
        text = path.read_text()
        if path.name == "seqinfo.ini":
            text = re.sub(r"(seqLength=)(\d+)", times, text)
        elif ".seqmap." in path.name:
            text = re.sub(r"(?m)^(\S+ empty \d+ )(\d+)", times, text)
        else:
            text = re.sub(r"(?m)^()(\d+)", times, text)
        path.write_text(text)
    return root


def frame_by_frame(seq, protocol):
    """The metrics of one sequence of load_benchmark's layout (one entry per frame)."""
    assert seq.empty_frames == 0 and seq.num_frames == len(seq.gt_ids)
    if protocol == "plain":
        r = vestrim.evaluate(*seq.arrays())
        return r.clear, r.identity, r.hota
    evaluate = (_native.evaluate_from_similarity if isinstance(seq, MaskBenchmarkSequence)
                else _native.evaluate)
    return evaluate(*seq.arrays(), 0.5, "benchmark")


@pytest.mark.parametrize("factor", [1, 3])
@pytest.mark.parametrize("protocol, gt, tracker", [
    ("plain", "gt", "pred"), ("mot17", "mot17/gt", "mot17/trackers/alpha"),
    ("kitti", "kitti/gt", "kitti/tracker_a"),
    ("kitti-mots", "kitti_mots/gt", "kitti_mots/tracker_a"),
    ("mots20", "mots20/gt", "mots20/tracker_a")])
def test_scores_equal_the_frame_by_frame_layout(tmp_path, monkeypatch, protocol, gt, tracker,
                                                factor):
    root = EXAMPLES if factor == 1 else spread_frames(
        tmp_path, {gt.split("/")[0], tracker.split("/")[0]}, factor)
    left_out = []
    for name in ("evaluate", "evaluate_from_similarity"):
        def recording(*args, _evaluate=getattr(_native, name), **kwargs):
            left_out.append(kwargs["empty_frames"])
            return _evaluate(*args, **kwargs)
        monkeypatch.setattr(_native, name, recording)
    result = vestrim.evaluate_benchmark(root / gt, [root / tracker], protocol=protocol)
    monkeypatch.undo()
    scored = {(t.class_name, s.name): s for t in result.trackers for s in t.sequences}
    sequences = vestrim.load_benchmark(root / gt, root / tracker, protocol=protocol)
    assert len(sequences) == len(scored) == len(left_out)
    for seq in sequences:
        s = scored[seq.class_name, seq.name]
        expected = frame_by_frame(seq, protocol)
        # repr: every float exactly, NaN equal to NaN
        assert repr([vestrim.asdict(m) for m in (s.clear, s.identity, s.hota)]) == \
            repr([vestrim.asdict(m) for m in expected])
        assert s.count == seq.count
    if factor > 1:
        frames = sum(s.clear.num_frames for s in scored.values())
        assert sum(left_out) >= frames * (factor - 1) // factor


def test_far_frame_runs_in_little_memory(tmp_path):
    # One line each at the largest frame allowed: 10,000,000 frames, all but one empty.
    gt, pred = tmp_path / "gt.txt", tmp_path / "pred.txt"
    gt.write_text("10000000,1,10,10,20,20,1,1,1\n")
    pred.write_text("10000000,1,11,10,20,20,0.9\n")
    script = ("import resource, subprocess, sys\n"
              "run = subprocess.run([sys.executable, '-m', 'vestrim', *sys.argv[1:]],\n"
              "                     capture_output=True, text=True)\n"
              "print(run.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
              "print(run.stdout, run.stderr)\n")
    for protocol in ("plain", "mot17"):
        out = subprocess.run([sys.executable, "-c", script, "--protocol", protocol, "--format",
                              "json", gt, pred], capture_output=True, text=True, check=True).stdout
        status, peak_kib = map(int, out.split("\n", 1)[0].split())
        assert status == 0, out
        assert '"num_frames": 10000000' in out
        assert peak_kib < 400 * 1024, f"{protocol}: peak RSS {peak_kib} KiB"


@pytest.mark.parametrize("protocol, line", [
    ("kitti", "10000000 1 Car 0 0 0 10 10 50 60 -1 -1 -1 0 0 0 0"),
    ("kitti-mots", "10000000 1 1 4 4 " + vestrim.Mask((4, 4), [0, 16]).to_coco()),
])
def test_frames_beyond_the_limit_are_errors_without_a_seqmap(tmp_path, protocol, line):
    # A pair of files has the frames they reach, up to the same limit as the MOTChallenge reader.
    gt, pred = tmp_path / "gt.txt", tmp_path / "pred.txt"
    gt.write_text(line + "\n")
    pred.write_text("")
    with pytest.raises(vestrim.mot.MotFormatError, match=r"gt.txt:1: frame 10000000 is outside "
                       r"the sequence's frames 0 to 9999999"):
        vestrim.load_benchmark(gt, pred, protocol=protocol)
