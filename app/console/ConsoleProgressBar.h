#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/ProgressControl.h"
#include "app/StatusControl.h"

namespace qrv {

// The progress bar and status line of the download page as one terminal
// line: "[#####---------------]  25% Downloading : a.cab". On a terminal the
// line is redrawn in place; otherwise (a log, a pipe) every change of the
// status text is printed as a line of its own, so logs stay readable.
//
// The range is the number of files; each StepIt is one file done (the step
// size is kept for GetPos users but not used for drawing), and the bar
// stops full.
//
// The stream is not owned. Thread: the user-interface thread.
class ConsoleProgressBar : public ProgressControl, public StatusControl {
 public:
  static constexpr int32_t kBarChars = 20;

  ConsoleProgressBar(std::FILE* out, bool redrawInPlace);
  ~ConsoleProgressBar() override;

  void SetRange(int32_t low, int32_t high) override;
  void SetStep(int32_t step) override { m_step = step; }
  // One file done; never past the end.
  void StepIt() override;
  int32_t GetPos() const override { return m_pos; }
  void SetPos(int32_t pos) override;
  void SetText(const std::string& text) override;
  // Ends a line drawn in place, so the next output starts on a line of its own.
  void Finish();

  // The line for pos in low..high (clamped) and text, its control
  // characters escaped. An empty or reversed range draws an empty bar at 0%.
  static std::string Render(int32_t low, int32_t high, int32_t pos, const std::string& text);

 private:
  // newText: the status text changed. moved: SetPos set the position (a
  // phase ending moves the bar to its end), as against a step.
  void Draw(bool newText, bool moved = false);

  std::FILE* m_out;
  bool m_inPlace;
  bool m_open = false;
  int32_t m_low = 0;
  int32_t m_high = 100;
  int32_t m_step = 10;
  int32_t m_pos = 0;
  bool m_shownFull = false;  // the last line written (not in place) showed the full bar
  std::string m_text;
};

}  // namespace qrv
