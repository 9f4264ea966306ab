#pragma once
// Sees frames that a device or sound server lost without reporting an overrun. Such a loss
// shows as the position falling behind the clock in one go and staying behind: a step up in
// the line of time seen against position that no jitter of the looks explains. No wxWidgets.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

namespace veltrane {

struct SampleLoss {
  // Steps seen from doubtfulFrom to doubtfulUntil may lie on either side of the loss, with
  // late looks from before it among them; every step after lies on the line behind.
  double doubtfulFrom = 0.0;
  double doubtfulUntil = 0.0;
  double lostSeconds = 0.0;  // how far the position fell behind the clock
};

// Fed the steps as they are seen, in order, from the thread that measures. Steps closer
// together than the window are judged by their earliest look, since a look is only ever late;
// a window of 0 judges every step on its own (a few looks that each catch a step at once).
class LossDetector {
 public:
  // stepFrames: the counter's step, 0 when unknown.
  LossDetector(double framesPerSecond, std::uint32_t stepFrames, double windowSeconds);

  // The position was seen to have reached frames (counted on across any wrap) by seconds.
  void AddStep(double seconds, std::uint64_t frames);

  // No more steps come: judges what the windows closed so far can tell. Steps after
  // JudgedUntil() then stay unjudged (a last window still open, or a rise nothing confirmed).
  void Finish();

  const std::vector<SampleLoss>& Losses() const { return losses; }
  // The losses, and the places where the line came back earlier for good (a hold that outlasted
  // the time a loss must last ended; lostSeconds negative), in order: where a fit of the run
  // must begin a new segment.
  const std::vector<SampleLoss>& Shifts() const { return shifts; }
  double LostMilliseconds() const;

  // Every step seen up to this time is judged: no loss found later starts before it.
  double JudgedUntil() const;

  // The drift (seconds per second, the rate's error) of the lowest offset of the last window,
  // followed from one step to the next, leaving out where it rose or fell by half a step
  // period or more: losses however often they come, each a rise of its own, and late looks that
  // outlasted a window, which come back down alike. Losses that the windows cannot tell from a
  // slower rate show as this lying below the drift of the run. Needs the counter's step.
  struct StepDrift {
    bool valid = false;
    double drift = 0.0;
    double error = 0.0;               // from the scatter of what was kept and the number left out
    std::size_t rises = 0;            // rises left out, less the falls
    double typicalRiseSeconds = 0.0;  // the median loss among them
  };
  StepDrift DriftBetweenSteps() const;

 private:
  struct Window {
    double firstSeconds;
    double lastSeconds;
    double floorSeconds;  // when its lowest point was seen
    double floor;         // its lowest time seen minus frames / nominal rate
  };

  // Drift of the floors in seconds per second (the rate's error), and the scatter of the
  // residuals from one window to the next.
  struct FloorScatter {
    double drift = 0.0;
    double spread = std::numeric_limits<double>::infinity();
  };
  // A boundary as Judge sees it: between windows index-1 and index, the lowest residual of the
  // windows before it, how far those after it rose above that, the rise that counts and the
  // drift they are taken against.
  struct Boundary {
    std::size_t index;
    double before;
    double risen;
    double threshold;
    double drift;
  };
  // What judging a boundary found: wait for windows not yet seen, or go on at boundary next;
  // shifted when the floors before it moved, so that the scatter wants measuring again.
  struct Verdict {
    bool wait = false;
    bool shifted = false;
    std::size_t next = 0;
    static Verdict Wait() { return {true, false, 0}; }
    static Verdict Pass(std::size_t b) { return {false, false, b + 1}; }
    static Verdict Shift(std::size_t from) { return {false, true, from + 1}; }
  };

  void CloseWindow();
  void NoteLowest(double seconds, std::uint64_t frames, double offset);
  void Judge(bool finishing);
  // The first window of the kLastingSeconds before boundary b.
  std::size_t LastingBefore(std::size_t b) const;
  // The first window at least kConfirmWindows after boundary b that begins kLastingSeconds or
  // more after it; windows.size() when none has yet.
  std::size_t LastingAfter(std::size_t b) const;
  // A boundary that did not rise: whether the line came back earlier there for good (see
  // Shifts); a wait while that needs windows not yet seen.
  Verdict JudgeReturn(const Boundary& at, bool finishing);
  // A boundary that rose past the threshold: a loss, a rise that passes, or a wait.
  Verdict JudgeRise(const Boundary& at, bool finishing);
  // The loss at a boundary whose rise lasted (or was large), up to window last: where the line
  // behind begins, the doubtful windows, and the floors before it moved onto that line.
  Verdict NoteLoss(const Boundary& at, std::size_t last);
  // Lowest residual of windows [begin, end) against the drift; end may lie past the last.
  double LowestResidual(std::size_t begin, std::size_t end, double drift) const;
  // From the windows so far.
  FloorScatter Scatter() const;

  double framesPerSecond;
  double stepSeconds;
  double windowSeconds;
  bool haveOrigin = false;
  std::uint64_t originFrames = 0;
  // The offsets of the last window's steps that no later one lies below, oldest first: the
  // front is the window's lowest.
  struct Seen {
    double seconds;
    double offset;
  };
  std::deque<Seen> lowest;
  bool haveLowestFrom = false;
  double lowestFrom = 0.0;
  bool havePrevious = false;
  double previousLowest = 0.0;
  std::uint64_t previousFrames = 0;
  // Over the steps after the first: the nominal seconds of frames since the step before and
  // the rise of the lowest offset over it, of those kept; the number left out.
  double keptSpan = 0.0;
  double keptRise = 0.0;
  double keptSquares = 0.0;
  std::size_t kept = 0;
  std::size_t bigRises = 0;
  std::size_t bigFalls = 0;
  std::vector<double> bigRiseSizes;  // one a loss
  double openRise = 0.0;             // the latest loss, which further rises may still belong to
  double openRiseSeconds = 0.0;
  bool windowOpen = false;
  Window open{};
  std::vector<Window> windows;
  std::size_t nextBoundary = 1;  // the first boundary (between windows n-1 and n) not judged
  std::vector<SampleLoss> losses;
  std::vector<SampleLoss> shifts;
};

}  // namespace veltrane
