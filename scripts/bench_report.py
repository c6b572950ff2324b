#!/usr/bin/env python3
"""Builds the benchmark report from the outputs that scripts/bench collected.

Reads RAW/<bench>.txt (each benchmark's printed output) and RAW/zmq_peer_bench.json
(the peer benchmark's figures), appends this run's targets to the history file
(one JSON object a line), and writes OUT/index.html with PNG plots made by
matplotlib: throughput against the peers and the floor, CPU per update, latency
percentile curves and the history of the targets, each shown met or MISSED.

    scripts/bench_report.py --raw DIR --out DIR --history FILE [--commit SHA]
"""

import argparse
import datetime
import html
import json
import math
import os
import re
import sys

# A printed target: "... (target >= 3x: met)", "(target 0: MISSED)",
# "ratio 1.10 (target <= 1.3)" (no verdict: judged here from the value before it).
_TARGET_RE = re.compile(r"\(target\s*(?P<op><=|>=|<|>)?\s*(?P<bound>[-\d.]+)(?P<unit>[^:)]*)"
                        r"(?::\s*(?P<verdict>met|MISSED))?\)(?::\s*(?P<after>met|MISSED))?")
_NUMBER_RE = re.compile(r"[-+]?\d+(?:\.\d+)?")


def _mask(text):
    return re.sub(r"\s+", " ", _NUMBER_RE.sub("#", text)).strip(" :")


def _judge(value, op, bound):
    if value is None or bound is None:
        return None
    return {"<=": value <= bound, ">=": value >= bound, "<": value < bound,
            ">": value > bound, None: value == bound}[op]


def parse_text_targets(bench, text):
    """The targets a benchmark printed, one per line that names one.

    Each is a dict: bench, name (the line's words with its numbers masked, stable
    from run to run), text (the line), value (the last number before the target,
    when there is one), bound, op, status ("met", "MISSED" or "no verdict").
    """
    targets = []
    section = ""
    seen = {}
    for raw in text.splitlines():
        line = raw.strip()
        if line and not raw[0].isspace():
            section = line  # the heading the indented lines below belong to
        m = _TARGET_RE.search(line)
        if m is None:
            continue
        before = line[:m.start()].rstrip()
        # The value is the last number before the target, or the one that carries the
        # target's unit ("30.1% of CPU-time rate" for "(target >= 25% of CPU-time rate)").
        numbers = _NUMBER_RE.findall(before)
        value = float(numbers[-1]) if numbers else None
        unit = m.group("unit").strip()
        if unit:
            same = re.findall(r"([-+]?\d+(?:\.\d+)?)\s*" + re.escape(unit), before)
            if same:
                value = float(same[-1])
        try:
            bound = float(m.group("bound"))
        except ValueError:
            bound = None
        op = m.group("op")
        verdict = m.group("verdict") or m.group("after")
        if verdict is None:
            judged = _judge(value, op, bound) if op is not None else None
            status = "no verdict" if judged is None else ("met" if judged else "MISSED")
        else:
            status = verdict
        name = _mask(before)
        if section and section != line:
            name = _mask(section) + " / " + name
        seen[name] = seen.get(name, 0) + 1
        if seen[name] > 1:
            name += " (%d)" % seen[name]
        targets.append({"bench": bench, "name": name, "text": line,
                        "section": section if section != line else "", "value": value,
                        "bound": bound, "op": op, "status": status})
    return targets


def zmq_targets(figures):
    """The peer benchmark's targets and reported ratios, in the same form."""
    out = []
    for t in figures.get("targets", []):
        if not t.get("measured"):
            status = "MISSED" if t.get("target") and t.get("run", True) else "not measured"
        elif t.get("target"):
            status = "met" if t.get("met") else "MISSED"
        else:
            status = "reported"
        out.append({"bench": "zmq_peer_bench", "name": t["name"], "text": t["text"],
                    "value": t["value"] if t.get("measured") else None,
                    "bound": t["bound"] if t.get("target") else None,
                    "op": (">=" if t.get("at_least") else "<") if t.get("target") else None,
                    "status": status})
    return out


_CASE_KEYS = ("name", "label", "per_send", "rate", "rate_min", "rate_max", "rate_spread",
              "pub_cpu_ns", "sub_cpu_ns", "other_cpu_ns", "latency_us", "errors")


def check_figures(figures):
    """What is wrong with the peer benchmark's figures, as a list of texts (empty when
    nothing is): so that a report is never drawn from figures of another form."""
    problems = []
    if not isinstance(figures, dict):
        return ["the figures are not an object"]
    for key in ("settings", "percentiles", "cases", "targets"):
        if key not in figures:
            problems.append("no %s" % key)
    if problems:
        return problems
    for key in ("reps", "seconds", "latency_seconds", "rate", "topics", "batch"):
        if not isinstance(figures["settings"].get(key), (int, float)):
            problems.append("settings: no %s" % key)
    pcts = figures["percentiles"]
    if pcts != sorted(pcts) or not all(0 < p < 100 for p in pcts):
        problems.append("percentiles not rising within (0, 100)")
    for c in figures["cases"]:
        name = c.get("name", "?")
        missing = [k for k in _CASE_KEYS if k not in c]
        if missing:
            problems.append("%s: no %s" % (name, ", ".join(missing)))
            continue
        if c["rate"] < 0 or not c["rate_min"] <= c["rate"] <= c["rate_max"]:
            problems.append("%s: the median rate lies outside its range" % name)
        lat = c["latency_us"]
        if lat and len(lat) != len(pcts):
            problems.append("%s: %d latency figures for %d percentiles"
                            % (name, len(lat), len(pcts)))
        elif lat != sorted(lat):
            problems.append("%s: latency falls as the percentile rises" % name)
    for t in figures["targets"]:
        if not all(k in t for k in ("name", "text", "value", "bound", "target", "measured",
                                    "met")):
            problems.append("a target lacks a field: %s" % t.get("name", "?"))
    return problems


def load_history(path):
    """The runs recorded so far, oldest first; unreadable lines are passed over."""
    runs = []
    if not os.path.exists(path):
        return runs
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line:
                continue
            try:
                run = json.loads(line)
            except ValueError:
                continue
            if isinstance(run, dict) and isinstance(run.get("targets"), list):
                runs.append(run)
    return runs


def append_history(path, run):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "a", encoding="utf-8") as f:
        f.write(json.dumps(run, sort_keys=True) + "\n")


# ---- plots ----

def plot_throughput(plt, figures, path):
    cases = [c for c in figures["cases"] if c.get("rate", 0) > 0]
    if not cases:
        return False
    fig, ax = plt.subplots(figsize=(9, 0.5 * len(cases) + 1.5))
    names = [c["label"] for c in cases]
    rates = [c["rate"] / 1e6 for c in cases]
    lo = [max(0.0, (c["rate"] - c["rate_min"]) / 1e6) for c in cases]
    hi = [max(0.0, (c["rate_max"] - c["rate"]) / 1e6) for c in cases]
    colours = [_case_colour(c["name"]) for c in cases]
    y = list(range(len(cases)))[::-1]
    ax.barh(y, rates, xerr=[lo, hi], color=colours, capsize=3)
    ax.set_yticks(y)
    ax.set_yticklabels(names)
    for yi, r, h in zip(y, rates, hi):
        ax.text(r + h, yi, "  %.2f M" % r, va="center", fontsize=8)
    ax.set_xlabel("million updates per second decoded at the subscriber (median; whiskers: min-max)")
    ax.set_title("Throughput: qrx (blue), ZeroMQ with plain structs (orange) and with qrx\n"
                 "records (brown), raw TCP of qrx's encoded messages: the floor (grey)",
                 fontsize=10)
    ax.set_xlim(0, max(r + h for r, h in zip(rates, hi)) * 1.2)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


def plot_cpu(plt, figures, path):
    cases = [c for c in figures["cases"] if c.get("rate", 0) > 0]
    if not cases:
        return False
    fig, ax = plt.subplots(figsize=(9, 0.5 * len(cases) + 1.5))
    y = list(range(len(cases)))[::-1]
    left = [0.0] * len(cases)
    for key, label, colour in (("pub_cpu_ns", "publishing thread", "#1f77b4"),
                               ("sub_cpu_ns", "subscribing thread", "#2ca02c"),
                               ("other_cpu_ns", "other threads (ZeroMQ I/O)", "#ff7f0e")):
        vals = [c.get(key, 0) for c in cases]
        ax.barh(y, vals, left=left, color=colour, label=label)
        left = [a + b for a, b in zip(left, vals)]
    for yi, total in zip(y, left):
        ax.text(total, yi, "  %.0f" % total, va="center", fontsize=8)
    ax.set_yticks(y)
    ax.set_yticklabels([c["label"] for c in cases])
    ax.set_xlabel("CPU nanoseconds per update (median), flat out")
    ax.set_title("CPU per update on each side")
    ax.set_xlim(0, max(left) * 1.2)
    ax.legend(loc="lower right", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


_CASE_COLOURS = {"qrx": "#1f77b4", "zmq_struct": "#ff7f0e", "zmq_encoded": "#8c564b",
                 "tcp": "#7f7f7f"}


def _case_colour(name):
    for prefix, colour in _CASE_COLOURS.items():
        if name.startswith(prefix):
            return colour
    return "#2ca02c"


def plot_latency(plt, figures, path):
    """Two panels: the cases that send a batch at a time, and those that send every update
    on its own; one curve per case over the percentiles."""
    pcts = figures.get("percentiles", [])
    cases = [c for c in figures["cases"] if len(c.get("latency_us", [])) == len(pcts) and pcts]
    if not cases:
        return False
    # Nines on the x axis: 50% -> 0.3, 90% -> 1, 99% -> 2, 99.9% -> 3.
    xs = [-math.log10(1 - p / 100.0) for p in pcts]
    s = figures["settings"]
    groups = [("a batch of %d every %g ms" % (s["batch"], 1000.0 * s["batch"] / s["rate"]),
               [c for c in cases if c.get("per_send", 1) > 1]),
              ("every update on its own, one every %g us" % (1e6 / s["rate"]),
               [c for c in cases if c.get("per_send", 1) <= 1])]
    groups = [g for g in groups if g[1]]
    fig, axes = plt.subplots(1, len(groups), figsize=(12, 5), squeeze=False, sharey=True)
    for ax, (title, members) in zip(axes[0], groups):
        for c in members:
            ax.plot(xs, c["latency_us"], color=_case_colour(c["name"]),
                    linestyle=":" if c["name"].startswith("tcp") else "-", marker="o",
                    markersize=3, label=c["label"])
        ax.set_xticks(xs)
        ax.set_xticklabels(["p%g" % p for p in pcts], fontsize=8)
        ax.set_yscale("log")
        ax.set_title(title, fontsize=10)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8, loc="upper left")
    axes[0][0].set_ylabel("microseconds from send to decode (median over repetitions)")
    fig.suptitle("Latency percentiles at %g updates/s" % s["rate"], fontsize=11)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


def plot_history(plt, runs, path, max_runs=30):
    """One panel per target with a value and a bound: its value run by run,
    the bound as a line, each point green (met) or red (MISSED)."""
    runs = runs[-max_runs:]
    keys = []
    texts = {}  # the target's line as its last run printed it, without the target itself
    for run in runs:
        for t in run["targets"]:
            key = (t.get("bench"), t.get("name"))
            if t.get("text"):
                text = re.sub(r"\s+", " ", _TARGET_RE.sub("", t["text"])).strip(" :")
                if len(text) < 30 and t.get("section"):
                    text = "%s: %s" % (t["section"], text)  # "ratio 1.35" says little alone
                texts[key] = text
            if t.get("bound") is not None and t.get("value") is not None and key not in keys:
                keys.append(key)
    if not keys:
        return False
    cols = 2
    rows = (len(keys) + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(11, 2.4 * rows), squeeze=False)
    for i, key in enumerate(keys):
        ax = axes[i // cols][i % cols]
        xs, ys, colours, bound = [], [], [], None
        for x, run in enumerate(runs):
            for t in run["targets"]:
                if (t.get("bench"), t.get("name")) == key and t.get("value") is not None:
                    xs.append(x)
                    ys.append(t["value"])
                    colours.append("#2ca02c" if t.get("status") == "met" else "#d62728")
                    bound = t.get("bound")
        ax.plot(xs, ys, color="#999999", linewidth=1)
        ax.scatter(xs, ys, c=colours, s=18, zorder=3)
        if bound is not None:
            ax.axhline(bound, color="#555555", linestyle="--", linewidth=1)
        title = "%s: %s" % (key[0], texts.get(key) or key[1])
        ax.set_title(title if len(title) <= 85 else title[:82] + "...", fontsize=7.5)
        ax.tick_params(labelsize=7)
        ax.set_xlim(-0.5, max(len(runs) - 0.5, 0.5))
        ax.set_xticks(range(len(runs)))
        ax.set_xticklabels([r.get("time", "")[5:16].replace("T", " ") for r in runs],
                           rotation=60, ha="right", fontsize=6)
    for j in range(len(keys), rows * cols):
        axes[j // cols][j % cols].axis("off")
    fig.suptitle("Targets run by run (dashed: the bound; green met, red MISSED)", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


# ---- page ----

_CSS = """
body { font-family: sans-serif; margin: 2em; max-width: 1100px; color: #222; }
table { border-collapse: collapse; margin: 1em 0; font-size: 0.9em; }
th, td { border: 1px solid #ccc; padding: 3px 8px; text-align: left; }
td.num { text-align: right; font-family: monospace; }
.met { background: #d4f4d4; font-weight: bold; }
.MISSED { background: #f8d0d0; font-weight: bold; }
.other { background: #eee; }
pre { background: #f6f6f6; padding: 0.8em; overflow-x: auto; font-size: 0.8em; }
.note { color: #555; }
img { max-width: 100%; border: 1px solid #ddd; margin: 0.5em 0; }
"""


def _fmt(v, digits=3):
    return "" if v is None else ("%.*f" % (digits, v))


def render_html(run, figures, images, texts, runs):
    h = []
    esc = html.escape
    h.append("<!DOCTYPE html><html><head><meta charset='utf-8'>"
             "<title>qrx benchmark report</title><style>%s</style></head><body>" % _CSS)
    h.append("<h1>qrx benchmark report</h1>")
    h.append("<p>Run %s, commit <code>%s</code>. Load average before the runs: %s.</p>"
             % (esc(run["time"]), esc(run.get("commit") or "?"), esc(run.get("load") or "?")))
    h.append("<p class='note'>Figures taken on a shared machine are noisy: compare ratios "
             "measured in the same run rather than absolute rates across runs.</p>")
    for p in run.get("problems", []):
        h.append("<p class='MISSED'>%s</p>" % esc(p))
    if run.get("unrecorded"):
        h.append("<p class='note'>A quick run: shown last in the history, not added to "
                 "it.</p>")
    targets = run["targets"]
    met = sum(1 for t in targets if t["status"] == "met")
    missed = sum(1 for t in targets if t["status"] == "MISSED")
    h.append("<h2>Targets: %d met, %d MISSED</h2>" % (met, missed))
    h.append("<table><tr><th>benchmark</th><th>target</th><th>value</th><th>bound</th>"
             "<th>status</th></tr>")
    for t in targets:
        cls = t["status"] if t["status"] in ("met", "MISSED") else "other"
        bound = "" if t["bound"] is None else "%s %g" % (t.get("op") or "=", t["bound"])
        h.append("<tr><td>%s</td><td>%s</td><td class='num'>%s</td><td class='num'>%s</td>"
                 "<td class='%s'>%s</td></tr>"
                 % (esc(t["bench"]),
                    ("<span class='note'>%s</span><br>" % esc(t["section"])
                     if t.get("section") else "") + esc(t["text"]),
                    _fmt(t["value"]), esc(bound), cls,
                    esc(t["status"])))
    h.append("</table>")
    if figures is not None:
        s = figures["settings"]
        h.append("<h2>Against ZeroMQ and the raw TCP floor</h2>")
        h.append("<p>The 24-field quote record over %d topics, one publisher and one "
                 "subscriber thread over loopback TCP, the subscriber decoding every record; "
                 "medians of %d repetitions of %g s flat out and %g s paced at %g updates/s. "
                 "The qrx subscriber: %s. Load average %s before, %s after.</p>"
                 % (s["topics"], s["reps"], s["seconds"], s["latency_seconds"], s["rate"],
                    "the client's CSymListener" if s.get("qrx_subscriber") == "listener"
                    else "the bare decoder of the raw TCP and ZeroMQ subscribers",
                    esc(figures.get("load_before", "")), esc(figures.get("load_after", ""))))
        h.append("<p>CPU time per update in nanoseconds: of the publishing thread (pub), the "
                 "subscribing thread (sub) and the rest of the process (other: ZeroMQ's I/O "
                 "threads). Spread: (max - min) / median of the rate over the repetitions. "
                 "Latency in microseconds from the send time to the decoding.</p>")
        h.append("<table><tr><th>case</th><th>updates/s</th><th>spread</th>"
                 "<th>pub ns</th><th>sub ns</th><th>other ns</th>"
                 + "".join("<th>p%g</th>" % p for p in figures.get("percentiles", []))
                 + "<th>failures</th></tr>")
        for c in figures["cases"]:
            lat = c.get("latency_us", [])
            pcts = figures.get("percentiles", [])
            cells = [esc(c["label"]), "{:,.0f}".format(c["rate"]),
                     "%.1f%%" % (100 * c["rate_spread"]), "%.0f" % c["pub_cpu_ns"],
                     "%.0f" % c["sub_cpu_ns"], "%.0f" % c["other_cpu_ns"]]
            cells += ["%.1f" % v for v in lat] + [""] * (len(pcts) - len(lat))
            h.append("<tr><td>%s</td>" % cells[0]
                     + "".join("<td class='num'>%s</td>" % v for v in cells[1:])
                     + "<td>%s</td></tr>" % esc("; ".join(c.get("errors", []))))
        h.append("</table>")
    for title, name in (("Throughput", "throughput.png"), ("CPU per update", "cpu.png"),
                        ("Latency percentiles", "latency.png"),
                        ("History of the targets", "history.png")):
        if name in images:
            h.append("<h2>%s</h2><img src='%s' alt='%s'>" % (title, name, esc(title)))
    if runs:
        h.append("<h2>Runs recorded</h2><table><tr><th>time</th><th>commit</th><th>met</th>"
                 "<th>MISSED</th></tr>")
        for r in runs[-15:][::-1]:
            rm = sum(1 for t in r["targets"] if t.get("status") == "met")
            rx = sum(1 for t in r["targets"] if t.get("status") == "MISSED")
            h.append("<tr><td>%s</td><td><code>%s</code></td><td class='num'>%d</td>"
                     "<td class='num'>%d</td></tr>"
                     % (esc(r.get("time", "")), esc((r.get("commit") or "?")[:10]), rm, rx))
        h.append("</table>")
    h.append("<h2>Output of each benchmark</h2>")
    for name in sorted(texts):
        h.append("<details><summary>%s</summary><pre>%s</pre></details>"
                 % (esc(name), esc(texts[name])))
    h.append("</body></html>")
    return "\n".join(h)


def build(raw, out, history, commit=None, load=None, now=None, record=True):
    """Reads the outputs in raw, records the run in history (unless record is false: the
    page then shows it beside the history without adding it) and writes out/index.html.
    Returns the run."""
    os.makedirs(out, exist_ok=True)
    texts = {}
    for name in sorted(os.listdir(raw)):
        if name.endswith(".txt"):
            with open(os.path.join(raw, name), encoding="utf-8", errors="replace") as f:
                texts[name[:-4]] = f.read()
    figures = None
    problems = []
    json_path = os.path.join(raw, "zmq_peer_bench.json")
    if os.path.exists(json_path):
        try:
            with open(json_path, encoding="utf-8") as f:
                figures = json.load(f)
        except ValueError:
            problems.append("zmq_peer_bench.json is not JSON")
        if figures is not None:
            problems.extend("zmq_peer_bench.json: " + p for p in check_figures(figures))
            if problems:
                figures = None  # its targets come from its printed output instead
    targets = zmq_targets(figures) if figures is not None else []
    for bench, text in texts.items():
        if bench != "zmq_peer_bench" or figures is None:
            targets.extend(parse_text_targets(bench, text))
    now = now or datetime.datetime.now(datetime.timezone.utc)
    run = {"time": now.strftime("%Y-%m-%dT%H:%M:%SZ"), "commit": commit, "load": load,
           "targets": targets, "problems": problems}
    if record:
        append_history(history, run)
    runs = load_history(history)
    if not record:
        run["unrecorded"] = True
        runs.append(run)

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    images = set()
    if figures is not None:
        for name, fn in (("throughput.png", plot_throughput), ("cpu.png", plot_cpu),
                         ("latency.png", plot_latency)):
            if fn(plt, figures, os.path.join(out, name)):
                images.add(name)
    if plot_history(plt, runs, os.path.join(out, "history.png")):
        images.add("history.png")
    with open(os.path.join(out, "index.html"), "w", encoding="utf-8") as f:
        f.write(render_html(run, figures, images, texts, runs))
    return run


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--raw", required=True, help="directory of the benchmarks' outputs")
    ap.add_argument("--out", required=True, help="directory of the report")
    ap.add_argument("--history", required=True, help="history file, one run a line")
    ap.add_argument("--commit", default=None)
    ap.add_argument("--load", default=None, help="load average to show")
    ap.add_argument("--no-record", action="store_true",
                    help="show this run beside the history without adding it")
    args = ap.parse_args(argv)
    run = build(args.raw, args.out, args.history, args.commit, args.load,
                record=not args.no_record)
    met = sum(1 for t in run["targets"] if t["status"] == "met")
    missed = [t for t in run["targets"] if t["status"] == "MISSED"]
    print("bench report: %d targets met, %d MISSED -> %s"
          % (met, len(missed), os.path.join(args.out, "index.html")))
    for t in missed:
        print("  MISSED  %s: %s" % (t["bench"], t["text"]))
    for p in run["problems"]:
        print("  PROBLEM %s" % p)
    return 1 if run["problems"] else 0


if __name__ == "__main__":
    sys.exit(main())
