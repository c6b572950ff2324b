"""The benchmark report builder (scripts/bench_report.py): how it reads the
targets the benchmarks print and the peer benchmark's figures, keeps the
history and writes the page with its plots."""

import json
import os
import subprocess
import sys

import pytest

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                       "scripts")
sys.path.insert(0, SCRIPTS)

import bench_report as br  # noqa: E402

CODEC_OUTPUT = """\
Medians over the runs (1000 topics subscribed, 100 ticks a flush).
  encode                       qrx     52.1 ns  protobuf    160.3 ns  ratio   3.1x  (target >= 3x: met)
  decode                       qrx     95.0 ns  protobuf    120.0 ns  ratio   1.3x  (target >= 3x: MISSED)
  publish/quote24                             0.50 allocs/iteration  (target 0: MISSED)
  publishing over encoding: 30.1% of CPU-time rate, 28.0% of wall-time rate  (target >= 25% of CPU-time rate: met)
  decode bare                  not measured (filtered out or unavailable)
  targets: some MISSED
"""

PYTHON_OUTPUT = """\
delivery of the 24-field quote to a callable (best of 3)
  Symlistener (socket, decode, dict, call)      900 ns/update    1111111 updates/s
  ratio 1.10 (target <= 1.3)
publishing the same record (best of 3)
  speed-up 2.50 (target >= 3)
batched publishing, 100 ticks per publishMany (median of 3)
  ratio 1.42 (target <= 1.3): MISSED
publishing to a client that stops reading (median of 3)
  ratio 1.05 (target <= 1.2): met
"""


def figures(per_tick_rate=300000.0, batched_met=False):
    """Peer benchmark figures in the form zmq_peer_bench --json writes."""
    pcts = [50, 75, 90, 95, 99, 99.5, 99.9]

    def case(name, label, rate, lat):
        return {"name": name, "label": label, "per_send": 100, "rate": rate,
                "rate_min": rate * 0.9, "rate_max": rate * 1.1, "rate_spread": 0.2,
                "pub_cpu_ns": 150.0, "sub_cpu_ns": 120.0,
                "other_cpu_ns": 200.0 if name.startswith("zmq") else 0.0,
                "rates": [rate] * 3, "latency_us": [lat * (1 + i) for i in range(len(pcts))],
                "latency_max_us": lat * 20, "errors": []}

    return {
        "program": "zmq_peer_bench", "time": "2026-01-01T00:00:00Z",
        "settings": {"reps": 3, "seconds": 0.5, "latency_seconds": 1.0, "rate": 10000,
                     "topics": 1000, "batch": 100},
        "load_before": "1.0 1.0 1.0", "load_after": "1.1 1.0 1.0", "percentiles": pcts,
        "cases": [case("qrx_batched", "qrx, flush every 100", 3e6, 120.0),
                  case("qrx_per_tick", "qrx, flush every tick", per_tick_rate, 15.0),
                  case("zmq_struct_100", "ZeroMQ, 100 structs a message", 5e6, 110.0),
                  case("tcp_floor_100", "raw TCP floor", 5e6, 100.0)],
        "targets": [
            {"name": "batched_vs_zmq_struct_100", "text": "qrx batched / ZeroMQ",
             "value": 1.2 if batched_met else 0.6, "bound": 1.0, "at_least": True,
             "target": True, "run": True, "measured": True, "met": batched_met},
            {"name": "batched_vs_tcp_floor", "text": "qrx batched / floor", "value": 0.6,
             "bound": 0.5, "at_least": True, "target": True, "run": True, "measured": True,
             "met": True},
            {"name": "per_tick_vs_zmq_struct_1", "text": "qrx per tick / ZeroMQ", "value": 0,
             "bound": 1.0, "at_least": True, "target": True, "run": True, "measured": False,
             "met": False},
            {"name": "per_tick_rate_spread", "text": "spread", "value": 0, "bound": 0.2,
             "at_least": False, "target": True, "run": False, "measured": False,
             "met": False},
            {"name": "batched_p50_vs_zmq_struct_100", "text": "latency p50", "value": 1.09,
             "bound": 0, "at_least": True, "target": False, "run": True, "measured": True,
             "met": False},
        ],
    }


class TestPrintedTargets:
    def test_verdicts_inside_and_after_the_target_are_read_as_printed(self):
        got = br.parse_text_targets("codec", CODEC_OUTPUT)
        assert [t["status"] for t in got] == ["met", "MISSED", "MISSED", "met"]
        got = br.parse_text_targets("py", PYTHON_OUTPUT)
        assert got[2]["status"] == "MISSED" and got[3]["status"] == "met"

    def test_a_target_printed_without_verdict_is_judged_from_its_value(self):
        got = br.parse_text_targets("py", PYTHON_OUTPUT)
        assert (got[0]["value"], got[0]["op"], got[0]["bound"], got[0]["status"]) == \
            (1.10, "<=", 1.3, "met")
        assert (got[1]["value"], got[1]["status"]) == (2.50, "MISSED")

    def test_the_value_is_the_number_carrying_the_targets_unit(self):
        share = br.parse_text_targets("codec", CODEC_OUTPUT)[3]
        assert share["value"] == 30.1 and share["bound"] == 25

    def test_lines_without_a_target_and_the_closing_summary_are_not_targets(self):
        texts = [t["text"] for t in br.parse_text_targets("codec", CODEC_OUTPUT)]
        assert not any("not measured" in t or t.startswith("targets:") for t in texts)

    def test_names_ignore_the_figures_and_tell_alike_lines_apart(self):
        first = br.parse_text_targets("py", PYTHON_OUTPUT)
        again = br.parse_text_targets("py", PYTHON_OUTPUT.replace("1.10", "1.25")
                                      .replace("1.42", "0.9"))
        assert [t["name"] for t in first] == [t["name"] for t in again]
        assert len({t["name"] for t in first}) == len(first)  # three lines say "ratio"


class TestPeerFigures:
    def test_statuses_follow_measured_run_and_target(self):
        got = {t["name"]: t for t in br.zmq_targets(figures())}
        assert got["batched_vs_zmq_struct_100"]["status"] == "MISSED"
        assert got["batched_vs_tcp_floor"]["status"] == "met"
        # asked for but not measured (its runs failed): missed, not passed over
        assert got["per_tick_vs_zmq_struct_1"]["status"] == "MISSED"
        assert got["per_tick_rate_spread"]["status"] == "not measured"
        assert got["batched_p50_vs_zmq_struct_100"]["status"] == "reported"
        assert got["batched_p50_vs_zmq_struct_100"]["bound"] is None
        assert got["per_tick_vs_zmq_struct_1"]["value"] is None


class TestFigureChecks:
    def test_figures_as_the_benchmark_writes_them_pass(self):
        assert br.check_figures(figures()) == []

    def test_figures_of_another_form_are_named(self):
        f = figures()
        del f["cases"][0]["latency_us"]
        f["cases"][1]["latency_us"] = [5.0, 4.0, 6, 7, 8, 9, 10]
        f["cases"][2]["latency_us"] = [1.0, 2.0]
        f["cases"][3]["rate"] = f["cases"][3]["rate_max"] * 2
        f["targets"][0].pop("met")
        problems = br.check_figures(f)
        assert len(problems) == 5
        assert any(p.startswith("qrx_batched: no latency_us") for p in problems)
        assert any("falls" in p and p.startswith("qrx_per_tick") for p in problems)
        assert any("2 latency figures for 7" in p for p in problems)
        assert any("outside its range" in p for p in problems)
        assert any("lacks a field" in p for p in problems)
        assert br.check_figures({"cases": []}) == ["no settings", "no percentiles", "no targets"]

    def test_a_report_from_bad_figures_says_so_and_fails(self, tmp_path):
        pytest.importorskip("matplotlib")
        raw, out = tmp_path / "raw", tmp_path / "out"
        raw.mkdir()
        f = figures()
        f["percentiles"] = [99, 50]
        (raw / "zmq_peer_bench.json").write_text(json.dumps(f))
        (raw / "zmq_peer_bench.txt").write_text("  ratio 0.40 (target >= 1: MISSED)\n")
        done = run_report(raw, out, out / "history.jsonl", "ffff666")
        assert done.returncode == 1
        assert "PROBLEM zmq_peer_bench.json: percentiles not rising" in done.stdout
        page = (out / "index.html").read_text()
        assert "percentiles not rising" in page
        assert "throughput.png" not in page  # nothing drawn from them
        assert "ratio 0.40" in page  # the printed targets stand in


class TestHistory:
    def test_unreadable_lines_are_passed_over_and_the_order_kept(self, tmp_path):
        path = tmp_path / "history.jsonl"
        br.append_history(str(path), {"time": "a", "targets": []})
        with open(path, "a") as f:
            f.write("{not json\n\n[1, 2]\n{\"time\": \"x\"}\n")
        br.append_history(str(path), {"time": "b", "targets": [{"name": "t"}]})
        assert [r["time"] for r in br.load_history(str(path))] == ["a", "b"]

    def test_a_missing_file_is_an_empty_history(self, tmp_path):
        assert br.load_history(str(tmp_path / "none.jsonl")) == []


def run_report(raw, out, history, commit, *extra):
    """The report builder as scripts/bench runs it, in an interpreter of its own
    (without a sanitizer runtime preloaded into matplotlib)."""
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    return subprocess.run([sys.executable, os.path.join(SCRIPTS, "bench_report.py"),
                           "--raw", str(raw), "--out", str(out), "--history", str(history),
                           "--commit", commit, *extra], env=env, capture_output=True, text=True,
                          timeout=300)


def is_png(path):
    with open(path, "rb") as f:
        return f.read(8) == b"\x89PNG\r\n\x1a\n"


class TestPage:
    @pytest.fixture(autouse=True)
    def need_matplotlib(self):
        pytest.importorskip("matplotlib")

    def test_two_runs_give_a_page_with_every_plot_and_a_history_of_two(self, tmp_path):
        raw, out = tmp_path / "raw", tmp_path / "out"
        raw.mkdir()
        (raw / "record_codec_bench.txt").write_text(CODEC_OUTPUT)
        (raw / "zmq_peer_bench.json").write_text(json.dumps(figures(batched_met=False)))
        (raw / "zmq_peer_bench.txt").write_text("  (target >= 9: MISSED)\n")  # JSON wins
        history = out / "history.jsonl"
        first = run_report(raw, out, history, "aaaa111")
        assert first.returncode == 0, first.stderr
        (raw / "zmq_peer_bench.json").write_text(json.dumps(figures(batched_met=True)))
        second = run_report(raw, out, history, "bbbb222")
        assert second.returncode == 0, second.stderr

        runs = br.load_history(str(history))
        assert [r["commit"] for r in runs] == ["aaaa111", "bbbb222"]
        batched = [t for r in runs for t in r["targets"]
                   if t["name"] == "batched_vs_zmq_struct_100"]
        assert [t["status"] for t in batched] == ["MISSED", "met"]
        assert not any(t["bench"] == "zmq_peer_bench" and t["bound"] == 9
                       for r in runs for t in r["targets"])

        page = (out / "index.html").read_text()
        for png in ("throughput.png", "cpu.png", "latency.png", "history.png"):
            assert "src='%s'" % png in page
            assert is_png(out / png)
        assert "class='MISSED'>MISSED" in page and "class='met'>met" in page
        assert "bbbb222" in page and "aaaa111" in page
        assert "ZeroMQ, 100 structs a message" in page

    def test_a_run_not_recorded_is_shown_but_leaves_the_history_as_it_was(self, tmp_path):
        raw, out = tmp_path / "raw", tmp_path / "out"
        raw.mkdir()
        (raw / "python_dispatch_bench.txt").write_text(PYTHON_OUTPUT)
        history = out / "history.jsonl"
        assert run_report(raw, out, history, "dddd444").returncode == 0
        before = history.read_text()
        done = run_report(raw, out, history, "eeee555", "--no-record")
        assert done.returncode == 0, done.stderr
        assert history.read_text() == before
        page = (out / "index.html").read_text()
        assert "eeee555" in page and "not added" in page

    def test_without_the_peer_figures_the_page_shows_the_printed_targets(self, tmp_path):
        raw, out = tmp_path / "raw", tmp_path / "out"
        raw.mkdir()
        (raw / "python_dispatch_bench.txt").write_text(PYTHON_OUTPUT)
        done = run_report(raw, out, out / "history.jsonl", "cccc333")
        assert done.returncode == 0, done.stderr
        assert "2 MISSED" in done.stdout
        page = (out / "index.html").read_text()
        assert "throughput.png" not in page and "latency.png" not in page
        assert "speed-up 2.50 (target &gt;= 3)" in page
        assert is_png(out / "history.png")
