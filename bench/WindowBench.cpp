// The desktop update window (CQUpdateDlgUser) driven as the program drives
// it, on the offscreen platform, against the engine's own front-end on the
// terminal; run by hand on a Release build:
//   cmake -S . -B build/win-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DQRV_BUILD_TESTS=OFF -DQRV_BUILD_BENCH=ON
//   cmake --build build/win-rel --target qrv_bench_window
//   build/win-rel/bench/qrv_bench_window bench/RunBench.sh [PREPARES [UPDATES]]
//
// (1) Opening the window on 256 installed products, every one with
//     something newer on the loopback HTTP server: from the start of
//     UpdatePrepare(0) (window and process object made before the clock, the
//     stand-by window and the event pump as the program has them) until the
//     list page holds its 256 rows, against the terminal front-end's prepare
//     and list (ConsoleDlgMgr UpdatePrepare + FillProductList) on the same
//     tree, alternating, PREPARES (default 9) times each; prints the medians
//     and their ratio.
// (2) Peak resident memory (VmHWM) through a whole update in the window of
//     the three products of RunBench.sh's 60 MiB of signed cabinets: the
//     baseline with the QApplication up and no window yet, and the peak
//     after the run; beside it the same update run by the terminal
//     front-end in a child process of its own, measured the same way.
// (3) How long the window's thread goes without processing events during
//     the download and the copy: a 0 ms QTimer on that thread notes each
//     firing; the gaps between firings from the first download progress to
//     the end of the copy give the longest and the 99th percentile, over
//     UPDATES (default 3) runs; beside them the engine alone (no window)
//     pumped by the same QtEventPump.
//
// QRV_BENCH_EXPLAIN=1 adds what the figures are made of: every gap of 20 ms
// or more with what the run was doing on either side, each cabinet's
// signature check timed on its own, the stand-by window's share of each
// opening, and the opening with a stand-by window that paints at most every
// 30 ms.
//
// The loopback servers run in a child process, so the memory measured is
// the updater's alone. Works in a fresh folder below /tmp, which is also the
// system root (so the registry store is private), and removes it afterwards.
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/CQUpdateBaseProcess.h"
#include "app/CQUpdateDlgMgr.h"
#include "app/console/ConsoleDlgMgr.h"
#include "app/console/ConsoleProductList.h"
#include "app/console/ConsoleStandBy.h"
#include "apply/SignatureVerification.h"
#include "bench/BenchSetup.h"
#include "bench/ServerProcess.h"
#include "platform/core/MessageService.h"
#include "platform/core/SystemRoot.h"
#include "tests/support/HttpTestServer.h"
#include "ui/CQUpdateDlgUser.h"
#include "ui/CQUpdatePropertyPageDownload.h"
#include "ui/CQUpdatePropertyPageList.h"
#include "ui/CQUpdateStandBy.h"
#include "ui/FormTexts.h"
#include "ui/QtEventPump.h"

namespace {

namespace fs = std::filesystem;
using qrv::bench::ServiceUrl;
using qrv::bench::Clock;
using qrv::bench::EmptyTrash;
using qrv::bench::Explaining;
using qrv::bench::kRunProducts;
using qrv::bench::MiB;
using qrv::bench::Median;
using qrv::bench::Ms;
using qrv::bench::Quoted;
using qrv::bench::ResetMachine;
using qrv::bench::ServeManyProducts;
using qrv::bench::SilentMessages;
using qrv::bench::StatusKib;

constexpr int kProducts = 256;
constexpr int kUpdateButton = 1004;
// Times of the run's landmarks, noted by the front-end itself: the end of
// the server query, the first download progress, the end of the copy.
struct Landmarks {
  std::optional<Clock::time_point> queried, firstDownload, copyEnd;
};

// The front-end Base as it is, with the landmarks noted on the way through.
template <class Base>
class Probed : public Base {
 public:
  using Base::Base;
  Landmarks marks;

  bool OnPrepareFinish(int32_t found) override {
    marks.queried = Clock::now();
    return Base::OnPrepareFinish(found);
  }
  void SetProgressText(qrv::platform::ProgressKind kind, std::string_view file, uint32_t value) override {
    if (kind == qrv::platform::ProgressKind::kDownloading && !marks.firstDownload) marks.firstDownload = Clock::now();
    Base::SetProgressText(kind, file, value);
  }
  void OnFileCopyFinish() override {
    marks.copyEnd = Clock::now();
    Base::OnFileCopyFinish();
  }
  void OnFileCopyError() override {
    marks.copyEnd = Clock::now();
    Base::OnFileCopyError();
  }
};

// What the stand-by window of a prepare cost the thread, in ms: making it
// (shown and painted), its steps, and closing it.
struct StandByCost {
  double made = 0, steps = 0, closed = 0;
  double Total() const { return made + steps + closed; }
};

// A front-end's stand-by window, timed.
class TimedStandBy : public qrv::StandByWindow {
 public:
  TimedStandBy(std::unique_ptr<qrv::StandByWindow> inner, StandByCost& cost) : m_inner(std::move(inner)), m_cost(cost) {}
  ~TimedStandBy() override {
    const auto start = Clock::now();
    m_inner.reset();
    m_cost.closed += Ms(start);
  }
  void Advance() override {
    const auto start = Clock::now();
    m_inner->Advance();
    m_cost.steps += Ms(start);
  }

 private:
  std::unique_ptr<qrv::StandByWindow> m_inner;
  StandByCost& m_cost;
};

template <class Window>
std::function<std::unique_ptr<qrv::StandByWindow>()> TimedFactory(std::function<std::unique_ptr<Window>()> make,
                                                                  StandByCost& cost) {
  return [make = std::move(make), &cost] {
    const auto start = Clock::now();
    std::unique_ptr<Window> inner = make();
    cost.made += Ms(start);
    return std::make_unique<TimedStandBy>(std::move(inner), cost);
  };
}

// Notes every firing of a 0 ms timer on the calling (GUI) thread: each one
// is a pass of event processing there.
class Heartbeat {
 public:
  // label, when given, says at each beat what the run is doing (for
  // QRV_BENCH_EXPLAIN).
  explicit Heartbeat(std::function<std::string()> label = {}) : m_label(std::move(label)) {
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
      m_beats.push_back(Clock::now());
      if (m_label) m_labels.push_back(m_label());
    });
    m_timer.setInterval(0);
    m_timer.start();
  }
  // The stretches without a beat, in ms, within [from, to] (each clipped to
  // it); also the unclipped stretch that runs past to.
  std::vector<double> Gaps(Clock::time_point from, Clock::time_point to, double* pastEnd) const {
    std::vector<double> gaps;
    *pastEnd = 0;
    for (size_t i = 1; i < m_beats.size(); ++i) {
      const Clock::time_point a = m_beats[i - 1], b = m_beats[i];
      if (b <= from || a >= to) continue;
      gaps.push_back(std::chrono::duration<double, std::milli>(std::min(b, to) - std::max(a, from)).count());
      if (b > to) *pastEnd = std::chrono::duration<double, std::milli>(b - a).count();
    }
    return gaps;
  }
  // Prints every stretch of at least least ms within [from, to] with what
  // the run was doing at the beats either side.
  void PrintLong(Clock::time_point from, Clock::time_point to, double least) const {
    for (size_t i = 1; i < m_beats.size() && i < m_labels.size(); ++i) {
      const Clock::time_point a = m_beats[i - 1], b = m_beats[i];
      if (b <= from || a >= to) continue;
      const double gap = std::chrono::duration<double, std::milli>(b - a).count();
      if (gap < least) continue;
      std::printf("      %7.1f ms after the first download progress: %6.1f ms between [%s] and [%s]\n",
                  std::chrono::duration<double, std::milli>(a - from).count(), gap, m_labels[i - 1].c_str(),
                  m_labels[i].c_str());
    }
  }

 private:
  QTimer m_timer;
  std::function<std::string()> m_label;
  std::vector<Clock::time_point> m_beats;
  std::vector<std::string> m_labels;
};

// Whether QRV_BENCH_EXPLAIN=1 asks for the make-up of the figures.
double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size())));
  return v[std::min(v.size() - 1, rank > 0 ? rank - 1 : 0)];
}

bool Unpacked(const fs::path& work) {
  std::error_code ec;
  for (const std::string& p : kRunProducts) {
    std::string lower = p;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (fs::file_size(work / "inst" / p / lower / "part4.bin", ec) != (5u << 20)) {
      std::fprintf(stderr, "%s was not unpacked into %s\n", p.c_str(), (work / "inst" / p).c_str());
      return false;
    }
  }
  return true;
}

// ms from start to mark, 0 without the mark.
double Since(Clock::time_point start, const std::optional<Clock::time_point>& mark) {
  return mark ? std::chrono::duration<double, std::milli>(*mark - start).count() : 0;
}

// The servers of both trees in a child process; their ports come back
// through a pipe (0 when one did not start).
pid_t StartServers(const fs::path& runTree, const fs::path& manyTree, int ports[2]) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    close(fds[0]);
    qrv::test::HttpTestServer run(runTree), many(manyTree);
    const int p[2] = {run.Port(), many.Port()};
    if (write(fds[1], p, sizeof p) != static_cast<ssize_t>(sizeof p)) _exit(1);
    close(fds[1]);
    for (;;) pause();
  }
  close(fds[1]);
  if (pid < 0 || read(fds[0], ports, 2 * sizeof(int)) != static_cast<ssize_t>(2 * sizeof(int))) ports[0] = ports[1] = 0;
  close(fds[0]);
  return pid;
}

// The peak memory of the terminal front-end's whole run, in a child process
// made before any Qt or worker thread exists: {baseline, peak} in KiB, or
// {-1, -1} when the run failed.
struct Peak {
  long baseline = -1, peak = -1;
};

Peak ConsolePeak(const fs::path& work, const std::string& url) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    Peak peak;
    std::FILE* devnull = std::fopen("/dev/null", "w");
    if (devnull != nullptr && ResetMachine(work, 1, url, kRunProducts, work / "fx" / "anchors.pem")) {
      peak.baseline = StatusKib("VmHWM");
      qrv::ConsoleDlgMgr::Options options;
      options.assumeYes = true;
      int32_t status = -1;
      {
        auto process = std::make_unique<qrv::CQUpdateBaseProcess>();
        process->SetAutoMode(0);
        process->SetStandByFactory([devnull] { return std::make_unique<qrv::ConsoleStandBy>(devnull); });
        process->SetDlgMgr(std::make_unique<qrv::ConsoleDlgMgr>(options, devnull, stdin));
        status = process->DlgMgr()->RunDialog();
      }
      if (status == 0 && Unpacked(work)) peak.peak = StatusKib("VmHWM");
      if (status != 0) std::fprintf(stderr, "the terminal run ended with status %d\n", status);
    }
    const bool sent = write(fds[1], &peak, sizeof peak) == static_cast<ssize_t>(sizeof peak);
    _exit(sent ? 0 : 1);
  }
  close(fds[1]);
  Peak peak;
  if (pid < 0 || read(fds[0], &peak, sizeof peak) != static_cast<ssize_t>(sizeof peak)) peak = {};
  close(fds[0]);
  if (pid > 0) waitpid(pid, nullptr, 0);
  EmptyTrash();
  return peak;
}

struct GapFigures {
  std::vector<double> gaps;  // every gap of the runs, ms
  double longest = 0, pastCopy = 0, runMs = 0;
};

// One whole update in the window as the program runs it: the list asked
// for and shown, then Update clicked with the event pump alive. Gaps of
// event processing between the first download progress and the end of the
// copy go to figures. False when the run failed.
bool WindowUpdate(GapFigures& figures) {
  auto process = std::make_unique<qrv::CQUpdateBaseProcess>();
  process->SetAutoMode(0);
  process->SetStandByFactory([] { return std::make_unique<qrv::CQUpdateStandBy>(); });
  process->SetDlgMgr(std::make_unique<Probed<qrv::CQUpdateDlgUser>>());
  auto* window = static_cast<Probed<qrv::CQUpdateDlgUser>*>(process->DlgMgr());
  qrv::QtEventPump pump;
  window->UpdatePrepare(0);
  window->show();
  QCoreApplication::processEvents();
  if (window->ListPage()->List()->topLevelItemCount() != static_cast<int>(kRunProducts.size())) {
    std::fprintf(stderr, "the window listed %d products\n", window->ListPage()->List()->topLevelItemCount());
    return false;
  }
  auto* update = qrv::FormTexts::Find<QPushButton>(window->ListPage(), kUpdateButton);
  const auto start = Clock::now();
  {
    Heartbeat heartbeat(Explaining() ? std::function<std::string()>([window] {
      return "phase " + std::to_string(static_cast<int>(window->Phase())) + ", " +
             window->DownloadPage()->StatusText()->text().toStdString();
    })
                                      : std::function<std::string()>());
    update->click();
    const Landmarks& m = window->marks;
    if (!m.firstDownload || !m.copyEnd) {
      std::fprintf(stderr, "the run did not %s\n", m.firstDownload ? "finish its copy" : "download");
      return false;
    }
    figures.runMs = Ms(start);
    double past = 0;
    const std::vector<double> gaps = heartbeat.Gaps(*m.firstDownload, *m.copyEnd, &past);
    figures.gaps.insert(figures.gaps.end(), gaps.begin(), gaps.end());
    figures.longest = gaps.empty() ? 0 : *std::max_element(gaps.begin(), gaps.end());
    figures.pastCopy = past;
    if (Explaining()) heartbeat.PrintLong(*m.firstDownload, *m.copyEnd, 20);
  }
  process.reset();
  QCoreApplication::processEvents();
  return true;
}

// The same update through the engine alone, no window, with the same pump
// and heartbeat: how often events are processed when only the run's waits
// pump them.
bool EngineUpdate(GapFigures& figures) {
  auto process = std::make_unique<qrv::CQUpdateBaseProcess>();
  process->SetAutoMode(0);
  process->SetDlgMgr(std::make_unique<Probed<qrv::CQUpdateDlgMgr>>());
  auto* engine = static_cast<Probed<qrv::CQUpdateDlgMgr>*>(process->DlgMgr());
  qrv::QtEventPump pump;
  std::vector<std::string> products = kRunProducts;
  if (!engine->UpdatePrepare(0) || engine->ProductList() == nullptr || engine->ProductList()->size() != products.size()) {
    std::fprintf(stderr, "the engine's prepare failed\n");
    return false;
  }
  const auto start = Clock::now();
  Heartbeat heartbeat(Explaining() ? std::function<std::string()>([engine] {
    return "phase " + std::to_string(static_cast<int>(engine->Phase()));
  })
                                    : std::function<std::string()>());
  if (engine->UpdateDownload(products) != 1) return false;
  engine->UpdateWait();
  if (engine->UpdateCopyFile() != 1) return false;
  engine->UpdateFinalize();
  engine->UpdateFinish(0);
  const Landmarks& m = engine->marks;
  if (!m.firstDownload || !m.copyEnd) return false;
  figures.runMs = Ms(start);
  double past = 0;
  const std::vector<double> gaps = heartbeat.Gaps(*m.firstDownload, *m.copyEnd, &past);
  figures.gaps.insert(figures.gaps.end(), gaps.begin(), gaps.end());
  figures.longest = gaps.empty() ? 0 : *std::max_element(gaps.begin(), gaps.end());
  figures.pastCopy = past;
  if (Explaining()) heartbeat.PrintLong(*m.firstDownload, *m.copyEnd, 20);
  return true;
}

// Figures (2) and (3).
int BenchUpdate(const fs::path& work, int port, int runs, const Peak& console) {
  const fs::path anchors = work / "fx" / "anchors.pem";
  const long baseline = StatusKib("VmHWM");
  const long baselineRss = StatusKib("VmRSS");
  std::vector<double> windowGaps, engineGaps;
  double windowLongest = 0, engineLongest = 0;
  long peakAfterFirst = -1;
  for (int i = 0; i < runs; ++i) {
    for (const bool window : {true, false}) {
      if (!ResetMachine(work, 1, ServiceUrl(port), kRunProducts, anchors)) {
        std::fprintf(stderr, "cannot write the settings below %s\n", work.c_str());
        return 1;
      }
      GapFigures f;
      if (!(window ? WindowUpdate(f) : EngineUpdate(f)) || !Unpacked(work)) return 1;
      if (window && peakAfterFirst < 0) peakAfterFirst = StatusKib("VmHWM");
      std::vector<double>& pooled = window ? windowGaps : engineGaps;
      pooled.insert(pooled.end(), f.gaps.begin(), f.gaps.end());
      double& longest = window ? windowLongest : engineLongest;
      longest = std::max(longest, f.longest);
      std::printf("    run %d, %-6s: %7.1f ms, %3zu gaps, median %5.1f ms, longest %6.1f ms", i + 1,
                  window ? "window" : "engine", f.runMs, f.gaps.size(), f.gaps.empty() ? 0.0 : Median(f.gaps),
                  f.longest);
      if (window) std::printf(", then the finalize and fresh check held the thread %.1f ms", f.pastCopy);
      std::printf("\n");
      EmptyTrash();
    }
  }
  if (Explaining()) {
    // What each cabinet's signature check costs the thread that runs it.
    for (const std::string& p : kRunProducts) {
      std::string lower = p;
      std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
      const fs::path cabinet = work / "srv" / (lower + ".cab");
      const auto start = Clock::now();
      std::string reason;
      const int valid = qrv::VerifyFileSignature(cabinet.string(), &reason, nullptr);
      std::printf("      signature check of %s (%.1f MiB): %.1f ms%s%s\n", cabinet.filename().c_str(),
                  static_cast<double>(fs::file_size(cabinet)) / (1 << 20), Ms(start), valid == 1 ? "" : ", refused: ",
                  reason.c_str());
    }
  }
  std::printf("(2) peak RSS through a 60 MiB update: window %.1f MiB (baseline %.1f MiB VmHWM, %.1f MiB VmRSS, "
              "with the QApplication and no window), terminal front-end %.1f MiB (baseline %.1f MiB) (target < 80 MiB)\n",
              MiB(peakAfterFirst), MiB(baseline), MiB(baselineRss), MiB(console.peak), MiB(console.baseline));
  const auto over = [](const std::vector<double>& gaps) {
    return std::count_if(gaps.begin(), gaps.end(), [](double g) { return g >= 50; });
  };
  std::printf("(3) event gaps on the window's thread, first download progress to the copy's end, %d runs: "
              "longest %.1f ms, 99th percentile %.1f ms (%td of %zu gaps >= 50 ms); engine alone with the same pump: "
              "longest %.1f ms, 99th percentile %.1f ms (%td of %zu) (pump interval %lld ms; target < 50 ms)\n",
              runs, windowLongest, Percentile(windowGaps, 99), over(windowGaps), windowGaps.size(), engineLongest,
              Percentile(engineGaps, 99), over(engineGaps), engineGaps.size(),
              static_cast<long long>(qrv::QtEventPump::kInterval.count()));
  return 0;
}

// The stand-by window with its steps painted at most every kThrottle: an
// estimate of what opening the window would cost if the stand-by window did
// not lay out and paint itself once per installed product
// (QRV_BENCH_EXPLAIN only).
class ThrottledStandBy : public qrv::CQUpdateStandBy {
 public:
  static constexpr double kThrottle = 30;
  void Advance() override {
    if (m_painted && Ms(m_last) < kThrottle) return;
    Step();
    m_painted = true;
    m_last = Clock::now();
  }

 private:
  bool m_painted = false;
  Clock::time_point m_last;
};

// One timed opening of a front-end on the many products: total ms, the
// stand-by window's share and the server query's (from the start to the
// query's end, less the stand-by window).
struct Opening {
  double total = 0, standBy = 0, query = 0, shown = 0;
  int rows = 0;
};

Opening ConsoleOpening(std::FILE* devnull) {
  Opening o;
  auto process = std::make_unique<qrv::CQUpdateBaseProcess>();
  process->SetAutoMode(0);
  StandByCost cost;
  process->SetStandByFactory(
      TimedFactory<qrv::ConsoleStandBy>([devnull] { return std::make_unique<qrv::ConsoleStandBy>(devnull); }, cost));
  process->SetDlgMgr(std::make_unique<Probed<qrv::ConsoleDlgMgr>>(qrv::ConsoleDlgMgr::Options{}, devnull, stdin));
  auto* front = static_cast<Probed<qrv::ConsoleDlgMgr>*>(process->DlgMgr());
  const auto start = Clock::now();
  front->UpdatePrepare(0);
  qrv::ConsoleProductList list;
  front->InitProductListColumns(list);
  front->FillProductList(list);
  o.total = Ms(start);
  o.rows = list.RowCount();
  o.standBy = cost.Total();
  o.query = Since(start, front->marks.queried) - cost.Total();
  return o;
}

// The window as RunDialog opens it: the event pump alive, UpdatePrepare(0),
// the list filled; then shown and painted (o.shown).
template <class StandBy>
Opening WindowOpening() {
  Opening o;
  auto process = std::make_unique<qrv::CQUpdateBaseProcess>();
  process->SetAutoMode(0);
  StandByCost cost;
  process->SetStandByFactory(TimedFactory<StandBy>([] { return std::make_unique<StandBy>(); }, cost));
  process->SetDlgMgr(std::make_unique<Probed<qrv::CQUpdateDlgUser>>());
  auto* front = static_cast<Probed<qrv::CQUpdateDlgUser>*>(process->DlgMgr());
  qrv::QtEventPump pump;
  const auto start = Clock::now();
  front->UpdatePrepare(0);
  o.rows = front->ListPage()->List()->topLevelItemCount();
  o.total = Ms(start);
  o.standBy = cost.Total();
  o.query = Since(start, front->marks.queried) - cost.Total();
  if (Explaining()) {
    std::printf("      stand-by window: made %.1f ms, steps %.1f ms, closed %.1f ms\n", cost.made, cost.steps,
                cost.closed);
  }
  front->show();
  front->repaint();
  o.shown = Ms(start);
  process.reset();
  QCoreApplication::processEvents();
  return o;
}

// Figure (1).
int BenchPrepare(const fs::path& work, int port, int runs) {
  qrv::platform::SystemRoot::Set(work / "root256");
  std::vector<std::string> products;
  for (int i = 0; i < kProducts; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "Prod%03d", i);
    products.emplace_back(name);
  }
  if (!ResetMachine(work, 1, ServiceUrl(port), products, work / "fx" / "anchors.pem")) {
    std::fprintf(stderr, "cannot write the settings below %s\n", work.c_str());
    return 1;
  }
  std::FILE* devnull = std::fopen("/dev/null", "w");
  if (devnull == nullptr) return 1;
  std::vector<Opening> window, console, throttled;
  for (int i = 0; i < runs; ++i) {
    console.push_back(ConsoleOpening(devnull));
    window.push_back(WindowOpening<qrv::CQUpdateStandBy>());
    if (Explaining()) throttled.push_back(WindowOpening<ThrottledStandBy>());
    if (console.back().rows != kProducts || window.back().rows != kProducts) {
      std::fprintf(stderr, "the terminal listed %d rows and the window %d, expected %d\n", console.back().rows,
                   window.back().rows, kProducts);
      std::fclose(devnull);
      return 1;
    }
    const Opening &w = window.back(), &c = console.back();
    std::printf("    run %d: window %7.1f ms (stand-by window %.1f, query %.1f, list %.1f; shown and painted at %.1f), "
                "terminal %7.1f ms (stand-by %.1f, query %.1f, list %.1f)\n",
                i + 1, w.total, w.standBy, w.query, w.total - w.standBy - w.query, w.shown, c.total, c.standBy, c.query,
                c.total - c.standBy - c.query);
  }
  std::fclose(devnull);
  const auto median = [](const std::vector<Opening>& v, double Opening::*field) {
    std::vector<double> values;
    for (const Opening& o : v) values.push_back(o.*field);
    return Median(values);
  };
  const double w = median(window, &Opening::total), c = median(console, &Opening::total);
  std::printf("(1) opening the window on %d installed products to its %d rows: median window %.1f ms (stand-by "
              "window %.1f, query %.1f; shown and painted at %.1f), terminal prepare + list %.1f ms (stand-by %.1f, "
              "query %.1f), ratio %.2f (targets < 500 ms, ratio <= 1.50)\n",
              kProducts, kProducts, w, median(window, &Opening::standBy), median(window, &Opening::query),
              median(window, &Opening::shown), c, median(console, &Opening::standBy), median(console, &Opening::query),
              c > 0 ? w / c : 0.0);
  if (!throttled.empty()) {
    const double t = median(throttled, &Opening::total);
    std::printf("    with the stand-by window painted at most every %.0f ms: median %.1f ms (stand-by window %.1f), "
                "ratio %.2f\n",
                ThrottledStandBy::kThrottle, t, median(throttled, &Opening::standBy), c > 0 ? t / c : 0.0);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PATH/TO/RunBench.sh [PREPARES [UPDATES]]\n", argv[0]);
    return 2;
  }
  // progress shows as it comes, also when the output goes to a file
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::string script = fs::absolute(argv[1]).string();
  const int prepares = argc > 2 ? std::max(1, std::atoi(argv[2])) : 9;
  const int updates = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  // no window on anybody's desktop, and comparable figures everywhere
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // the loopback servers are reached directly, whatever proxy is set
  setenv("no_proxy", "127.0.0.1", 1);
  std::string pattern = "/tmp/qrv-bench-window-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path work = pattern;
  qrv::platform::SystemRoot::Set(work / "root");
  qrv::platform::MessageService::Install(std::make_shared<SilentMessages>());

  int rc = std::system(("bash " + Quoted(script) + " prepare " + Quoted(work.string())).c_str()) == 0 ? 0 : 1;
  if (rc != 0) std::fprintf(stderr, "preparing the served tree in %s failed\n", work.c_str());
  ServeManyProducts(work / "srv256", kProducts, 1);
  int ports[2] = {0, 0};
  const pid_t servers = rc == 0 ? StartServers(work / "srv", work / "srv256", ports) : -1;
  if (rc == 0 && (servers <= 0 || ports[0] == 0 || ports[1] == 0)) {
    std::fprintf(stderr, "the loopback HTTP servers did not start\n");
    rc = 1;
  }
  // before Qt and its threads exist, so the child is a clean copy
  const Peak console = rc == 0 ? ConsolePeak(work, ServiceUrl(ports[0])) : Peak{};
  if (rc == 0 && console.peak < 0) {
    std::fprintf(stderr, "the terminal front-end's run failed\n");
    rc = 1;
  }
  if (rc == 0) {
    QApplication application(argc, argv);
    rc = BenchUpdate(work, ports[0], updates, console);
    if (rc == 0) rc = BenchPrepare(work, ports[1], prepares);
  }
  std::printf("(machine: %ld cores)\n", sysconf(_SC_NPROCESSORS_ONLN));

  if (servers > 0) {
    kill(servers, SIGKILL);
    waitpid(servers, nullptr, 0);
  }
  qrv::platform::MessageService::Install(nullptr);
  std::error_code ec;
  fs::remove_all(work, ec);
  return rc;
}
