"""Turns the benchmark's samples (figure<TAB>value lines) into the results table (Markdown)."""
import platform
import statistics
import subprocess
import sys
import time
from collections import defaultdict

samples_path, runs, idle, sizes, live = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4].split(), sys.argv[5]
samples = defaultdict(list)
with open(samples_path) as f:
    for line in f:
        key, _, text = line.rstrip("\n").partition("\t")
        try:
            samples[key].append(float(text))
        except ValueError:
            samples[key].append(float("nan"))


def number(value):
    if value != value:
        return "n/a"
    if abs(value) >= 100:
        return f"{value:,.0f}".replace(",", " ")
    return f"{value:.3g}"


def cell(key, unit):
    values = samples.get(key)
    if not values:
        return "n/a", None
    if all(v != v for v in values):
        return "n/a", None
    median = statistics.median(values)
    if len(values) == 1:
        return f"{number(median)} {unit}".strip(), median
    if min(values) == max(values):
        return f"{number(median)} {unit}".strip(), median
    return f"{number(median)} {unit} ({number(min(values))}–{number(max(values))})".replace(" (", " (", 1).strip(), median


def row(label, key, unit, base=None):
    text, median = cell(key, unit)
    base_text, ratio = "", ""
    if base:
        base_text, base_median = cell(base, unit)
        if median is not None and base_median:
            ratio = f"{median / base_median:.2f}×"
    print(f"| {label} | {text} | {base_text} | {ratio} |")


wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
print(f"Benchmark of {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}: {wine}, {platform.machine()}, "
      f"{subprocess.run(['nproc'], capture_output=True, text=True).stdout.strip()} cores; "
      f"median of {runs} runs (min–max); baseline: the bench's do-nothing own-process service "
      f"(for the control tool and the viewer's command line: a do-nothing program started the same way). "
      f"Settings: QUILLON_BENCH_RUNS={runs} QUILLON_BENCH_IDLE={idle} QUILLON_BENCH_SIZES=\"{' '.join(sizes)}\" "
      f"QUILLON_BENCH_LIVE={live}.")
print()
print("| Figure | Quillon | Baseline | Ratio |")
print("|---|---|---|---|")
row("Start: StartServiceW to SERVICE_RUNNING", "start.running", "ms", "start.running.base")
row("Start: StartServiceW to the shell window visible", "start.shell", "ms", "start.running.base")
row("Start, window reference (COM before the dispatcher, one plain window): to SERVICE_RUNNING",
    "start.running.window", "ms", "start.running.base")
row("Start, window reference: to its window visible", "start.window.window", "ms", "start.running.base")
row("Start: Quillon's SERVICE_RUNNING against the window reference's", "start.running", "ms", "start.running.window")
row("Start: Quillon's shell visible against the window reference's window", "start.shell", "ms",
    "start.window.window")
row("Stop: ControlService(STOP) to SERVICE_STOPPED, helpers close", "stop.helpers", "ms", "stop.base")
row("Stop: ... to both helper processes gone", "stop.helpersgone", "ms", "stop.base")
row("Stop: one helper ignores WM_CLOSE", "stop.stubborn", "ms", "stop.base")
row("Stop right after the helpers' processes start: helpers left 3 s later", "stop.early.left", "")
row(f"Idle {idle} s: CPU time (Linux utime+stime)", "idle.cpu", "ms", "idle.cpu.base")
row(f"Idle {idle} s: context switches (all threads)", "idle.switches", "", "idle.switches.base")
row("After start: handles (wineserver's count)", "mem.handles", "", "mem.handles.base")
row("After start: private memory (Linux RssAnon)", "mem.anon", "KiB", "mem.anon.base")
row("After start: working set (process list)", "mem.ws", "KiB", "mem.ws.base")
row("After start: Linux file descriptors", "mem.fds", "", "mem.fds.base")
first = None
for size in sizes:
    row(f"Full repaint at {size}: time", f"repaint.{size}.ms", "ms")
    row(f"Full repaint at {size}: peak resident growth (VmHWM − VmRSS)", f"repaint.{size}.peak", "KiB")
    row(f"Full repaint at {size}: private memory after (RssAnon)", f"repaint.{size}.anon", "KiB")
row("1000 shell hook events (console at session 0): drain", "storm.hook", "ms")
row("... service CPU (process list)", "storm.hook.cpu", "ms")
row("... trays in the user's session afterwards", "storm.hook.trays1", "")
row("... trays in session 0 afterwards", "storm.hook.trays0", "")
row("1000 session notifications: drain", "storm.session", "ms")
row("... service CPU (process list)", "storm.session.cpu", "ms")
row("... trays in the user's session afterwards", "storm.session.trays1", "")
row("process_pid, the real process list of the prefix", "lookup.real", "µs")
for n in (100, 1000, 5000):
    row(f"process_pid, made-up list of {n}", f"lookup.{n}", "µs", "lookup.100")
row("Control tool: do-nothing program (baseline)", "tool.base", "ms")
for option in ("-t", "-s", "-r", "-k--query"):
    row(f"Control tool: `{option.replace('--', ' --')}`", f"tool.{option}", "ms", "tool.base")
row("Viewer: `--list`, start to exit", "viewer.list", "ms", "tool.base")
row("Viewer: `--save ID FILE.png` of an 800x600 window, start to exit", "viewer.save", "ms", "tool.base")
row("... size of the PNG written", "viewer.png", "B")
for kind, words in (("moving", "repainting every 16 ms"), ("still", "idle")):
    where = f"Live view, 800x600 window {words}"
    row(f"{where}: changed frames per second (agent::Client polling as the viewer's window does: "
        f"Capture with the last hash every 90 ms, every 500 ms once unchanged for a second, List every 1 s; {live} s)", f"live.{kind}.fps", "")
    row("... changed frames", f"live.{kind}.changed", "")
    row("... captures asked", f"live.{kind}.polls", "")
    row("... time of a capture that brought a new image (median)", f"live.{kind}.capture", "ms")
    row("... agent's CPU (Linux utime+stime of the session 0 QuillonTray.exe)", f"live.{kind}.cpu", "ms")
    row("... the same as a share of one core", f"live.{kind}.cpupct", "%")
row(f"Agent's CPU over {idle} s, no client connected (baseline: the do-nothing service)", "agent.idle.cpu", "ms",
    "idle.cpu.base")
row(f"Agent's CPU over {idle} s, QuillonViewer's window connected, showing the idle 800x600 window",
    "agent.viewer.cpu", "ms", "idle.cpu.base")
row("... the viewer's own CPU meanwhile", "viewer.idle.cpu", "ms")
for program in ("Quillon", "QuillonControl", "QuillonExplorer", "QuillonTray", "QuillonViewer"):
    row(f"Size of {program}.exe", f"size.{program}", "B", "size.base")
