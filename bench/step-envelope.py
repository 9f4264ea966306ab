#!/usr/bin/env python3
"""Finds a device's true rate and the samples it lost from the position steps that
build/step_probe printed (nanoseconds seen, frames so far; one line a step).

A look can only come late, never early, so the earliest look in each second (the largest
position ahead of the nominal clock) lies on the device's own line. A sound server that
loses samples makes that line step down and stay down: a loss is a drop of the per-second
upper envelope that the next three seconds do not take back, by more than ten times the
envelope's usual rise from one second to the next (its jitter; at least 10 frames). The
ratio is fitted along the envelope with one common slope and an offset per stretch between
losses, so the losses do not bias it: once as the line above every envelope point with the
least total gap to them (late looks cannot pull it down), once by least squares (for its
error), and once as the upper convex hull of the longest stretch alone.
Usage: step-envelope.py <probe output> <nominal rate> [seconds of warm-up to skip]"""
import statistics
import sys

path, rate = sys.argv[1], float(sys.argv[2])
warmup = float(sys.argv[3]) if len(sys.argv) > 3 else 3.0
rows = [tuple(map(int, line.split())) for line in open(path) if not line.startswith("#")]
t0 = rows[0][0]
points = [((t - t0) / 1e9, p) for t, p in rows if (t - t0) / 1e9 >= warmup]
steps = [b[1] - a[1] for a, b in zip(points, points[1:])]
step = statistics.median(steps)

# Frames ahead of the nominal clock; the envelope is their maximum in each second.
ahead = [(t, p - rate * t) for t, p in points]
windows = {}
for t, r in ahead:
    k = int(t)
    if k not in windows or r > windows[k][1]:
        windows[k] = (t, r)
# The last seconds have no three whole seconds after them to confirm a loss: left out.
env = [windows[k] for k in sorted(windows)][:-3]

# Only jitter moves the envelope up (a loss only ever moves it down), so the rises measure
# the jitter even when many seconds lose samples.
rises = sorted(b[1] - a[1] for a, b in zip(env, env[1:]) if b[1] > a[1]) or [0.0]
jitter = rises[len(rises) * 3 // 4]
threshold = max(10 * jitter, 10.0)
segments = [[env[0]]]
losses = []
for k in range(1, len(env)):
    reference = max(r for _, r in segments[-1][-3:])
    later = max(r for _, r in env[k:k + 3])
    if later < reference - threshold:
        losses.append((env[k][0], reference - later))
        segments.append([])
    segments[-1].append(env[k])

# One slope, an offset per stretch (least squares on the envelope points).
usable = [s for s in segments if len(s) >= 5]
sxx = sxy = 0.0
for s in usable:
    mt = sum(t for t, _ in s) / len(s)
    mr = sum(r for _, r in s) / len(s)
    sxx += sum((t - mt) ** 2 for t, _ in s)
    sxy += sum((t - mt) * (r - mr) for t, r in s)
# No stretch of five seconds without a loss leaves nothing to fit: no ratio (nan).
slope = sxy / sxx if sxx else float("nan")
residuals = []
for s in usable:
    mt = sum(t for t, _ in s) / len(s)
    mr = sum(r for _, r in s) / len(s)
    residuals += [r - mr - slope * (t - mt) for t, r in s]
dof = max(len(residuals) - len(usable) - 1, 1)
slope_error = (sum(x * x for x in residuals) / dof / sxx) ** 0.5 if sxx else float("nan")


def total_gap(slope_value):
    """The summed gap of the envelope points below the lowest lines of that slope that lie
    above every point of their stretch."""
    gap = 0.0
    for s in usable:
        offset = max(r - slope_value * t for t, r in s)
        gap += sum(offset + slope_value * t - r for t, r in s)
    return gap


# The total gap is convex in the slope: golden-section search within ±1000 ppm.
low, high = -1000e-6 * rate, 1000e-6 * rate
golden = (5 ** 0.5 - 1) / 2
for _ in range(80):
    a, b = high - golden * (high - low), low + golden * (high - low)
    if total_gap(a) < total_gap(b):
        high = b
    else:
        low = a
above = (low + high) / 2 if usable else float("nan")


def hull_slope(stretch_points):
    """The slope of the upper hull's edge above the mean time: the line above every point
    with the least mean gap to them."""
    hull = []
    for q in stretch_points:
        while len(hull) >= 2:
            (t1, r1), (t2, r2) = hull[-2], hull[-1]
            if (r2 - r1) * (q[0] - t1) <= (q[1] - r1) * (t2 - t1):
                hull.pop()
            else:
                break
        hull.append(q)
    mean_t = sum(t for t, _ in stretch_points) / len(stretch_points)
    for (t1, r1), (t2, r2) in zip(hull, hull[1:]):
        if t1 <= mean_t <= t2:
            return (r2 - r1) / (t2 - t1), t2 - t1
    return float("nan"), 0.0


longest = max(segments, key=lambda s: s[-1][0] - s[0][0])
inside = [(t, r) for t, r in ahead if longest[0][0] <= t <= longest[-1][0] + 1]
hull, hull_span = hull_slope(inside)

span = points[-1][0] - points[0][0]
lost = sum(a for _, a in losses)
print(f"{path}: {span:.0f} s, {len(points)} steps, step {step:g} frames "
      f"({step / rate * 1e3:.2f} ms; smallest {min(steps)}, largest {max(steps)})")
print(f"  envelope jitter {jitter:.1f} frames, loss threshold {threshold:.0f} frames")
print(f"  losses: {len(losses)}, {lost:.0f} frames = {lost / rate * 1e3:.1f} ms "
      f"({lost / (span * rate) * 1e6:.0f} ppm of the run); one every "
      f"{span / len(losses) if losses else float('inf'):.1f} s")
if losses:
    # Losses less than 5 s apart belong to one burst of trouble.
    bursts = 1 + sum(1 for a, b in zip(losses, losses[1:]) if b[0] - a[0] >= 5.0)
    print(f"  in {bursts} bursts (losses less than 5 s apart counted as one)")
    sizes = sorted(round(a / rate * 1e3, 1) for _, a in losses)
    print(f"  loss sizes ms: smallest {sizes[0]:.1f}, median {statistics.median(sizes):.1f}, "
          f"largest {sizes[-1]:.1f}")
print(f"  ratio of the line above the envelope, losses cut out: {1 + above / rate:.8f} "
      f"({above / rate * 1e6:+.3f} ppm)")
print(f"  least squares along the envelope, losses cut out: {1 + slope / rate:.8f} "
      f"({slope / rate * 1e6:+.3f} ± {2 * slope_error / rate * 1e6:.3f} ppm, 2 sigma; "
      f"{len(usable)} stretches)")
print(f"  upper hull of the longest stretch ({longest[-1][0] - longest[0][0]:.0f} s, "
      f"edge {hull_span:.1f} s): {1 + hull / rate:.8f} ({hull / rate * 1e6:+.3f} ppm)")
naive = (points[-1][1] - points[0][1]) / span / rate
print(f"  first to last, losses counted as time: {naive:.8f} ({(naive - 1) * 1e6:+.1f} ppm)")
