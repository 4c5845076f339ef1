// The dialog logic without any window toolkit: a recording view stands in for the window, and
// the test's own thread plays the window thread, receiving the posted events when it pumps them.
#include "app/dialog_controller.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "app/test_support.h"

namespace vexlor::app {
namespace {

using testing::ParseAvi;
using testing::ScratchDir;

class FakeView : public DialogView {
 public:
  // Answers of the open-file dialog, in order ("" = cancelled); an empty script cancels.
  std::deque<std::string> answers;
  int asked = 0;
  std::vector<std::string> shown;  // every text the status line was given

  void ShowStatus(const std::string& text) override { shown.push_back(text); }
  std::string AskForRecording() override {
    ++asked;
    if (answers.empty()) return std::string();
    std::string answer = std::move(answers.front());
    answers.pop_front();
    return answer;
  }
  bool PostToWindow(int kind, int value) override {
    std::lock_guard<std::mutex> lock(mu_);
    posted_off_window_thread_ |= std::this_thread::get_id() != window_thread_;
    if (capacity_ >= 0 && static_cast<int>(queue_.size()) >= capacity_) {
      refused_kind_ = kind;
      cv_.notify_all();
      return false;
    }
    queue_.push_back({kind, value});
    cv_.notify_all();
    return true;
  }

  // Posts are refused while the queue holds `capacity` events (-1: no limit).
  void SetCapacity(int capacity) {
    std::lock_guard<std::mutex> lock(mu_);
    capacity_ = capacity;
  }
  // Waits until a post of `kind` has been refused.
  void WaitForRefusal(int kind) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return refused_kind_ == kind; });
  }

  // Window thread: hands every queued event to the controller. Returns how many there were.
  int Pump(DialogController& controller) {
    std::deque<std::pair<int, int>> events;
    {
      std::lock_guard<std::mutex> lock(mu_);
      events.swap(queue_);
    }
    for (const auto& [kind, value] : events) controller.OnProgress(kind, value);
    return static_cast<int>(events.size());
  }
  // Window thread: pumps until the status line starts with `prefix`.
  void PumpUntil(DialogController& controller, const std::string& prefix) {
    while (controller.status_text().rfind(prefix, 0) != 0) {
      {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [&] { return !queue_.empty(); });
      }
      Pump(controller);
    }
  }
  bool posted_off_window_thread() {
    std::lock_guard<std::mutex> lock(mu_);
    return posted_off_window_thread_;
  }

 private:
  const std::thread::id window_thread_ = std::this_thread::get_id();
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::pair<int, int>> queue_;
  int capacity_ = -1;
  int refused_kind_ = -1;  // of the latest refused post
  bool posted_off_window_thread_ = false;
};

std::string SampleRecording(const ScratchDir& dir) {
  const std::string copy = dir / "cam.kvr";
  std::filesystem::copy_file(testing::Fs(std::string(VEXLOR_SOURCE_DIR) + "/samples/sample.kvr"),
                             testing::Fs(copy));
  return copy;
}

std::string MakeFile(const ScratchDir& dir, const std::string& name, int64_t size) {
  const std::string path = dir / name;
  return testing::MakeSparseFile(path, size) ? path : std::string();
}

TEST(DialogController, ShowsTheTextOfEveryEventKind) {
  FakeView view;
  DialogController dialog(&view);
  EXPECT_EQ(dialog.status_text(), "None Select");
  auto event = [&](int kind, int value) {
    dialog.OnProgress(kind, value);
    return dialog.status_text();
  };
  EXPECT_EQ(event(kScanStep, 512), "Retrieving Channels Info. Progress = 50.00%");
  EXPECT_EQ(event(kScanStep, 1023), "Retrieving Channels Info. Progress = 99.90%");
  EXPECT_EQ(event(kWriteStep, 0), "CH_01. Writing Progress = 0.00%");
  EXPECT_EQ(event(kWriteError, 2), "CH_03. Write Error");
  EXPECT_EQ(event(9, 0), "CH_03. Write Error");  // an unknown kind changes nothing
  EXPECT_EQ(event(kDone, 0), "Done. Average FPS = 0.00");
  EXPECT_EQ(event(kNoChannel, 0), "It's Not A Mpeg-4 File");
  // The view was given each new text once.
  EXPECT_EQ(view.shown,
            (std::vector<std::string>{"Retrieving Channels Info. Progress = 50.00%",
                                      "Retrieving Channels Info. Progress = 99.90%",
                                      "CH_01. Writing Progress = 0.00%", "CH_03. Write Error",
                                      "Done. Average FPS = 0.00", "It's Not A Mpeg-4 File"}));
}

TEST(DialogController, OpensChosenAndDroppedRecordings) {
  ScratchDir dir;
  const std::string a = MakeFile(dir, "a.kvr", 14180);
  const std::string b = MakeFile(dir, "b.ms2", 1418);
  FakeView view;
  view.answers = {a, "", dir / "missing.kvr", b};
  DialogController dialog(&view);

  dialog.OnOpenRecording();
  EXPECT_EQ(dialog.status_text(), a);
  EXPECT_TRUE(dialog.job().HasRecording());
  EXPECT_EQ(dialog.job().file_size(), 14180);

  // Cancelling after a recording was open closes it.
  dialog.OnOpenRecording();
  EXPECT_EQ(dialog.status_text(), "None Select");
  EXPECT_FALSE(dialog.job().HasRecording());

  // A file that cannot be opened leaves the text as it was, and no recording open.
  dialog.OnOpenRecording();
  EXPECT_EQ(dialog.status_text(), "None Select");
  EXPECT_FALSE(dialog.job().HasRecording());

  dialog.OnOpenRecording();
  EXPECT_EQ(dialog.status_text(), b);
  EXPECT_EQ(view.asked, 4);

  // A dropped recording is opened like a chosen one, in place of the open one.
  dialog.OnDrop(a);
  EXPECT_EQ(dialog.status_text(), a);
  EXPECT_EQ(dialog.job().path(), a);
  EXPECT_EQ(dialog.job().file_size(), 14180);
  dialog.OnDrop(dir / "missing.kvr");
  EXPECT_EQ(dialog.status_text(), a);
  EXPECT_FALSE(dialog.job().HasRecording());
  EXPECT_EQ(view.asked, 4);
}

TEST(DialogController, RefusesRecordingsOfTwoGigabytes) {
  ScratchDir dir;
  const std::string limit = MakeFile(dir, "limit.kvr", kMaxRecordingSize - 1);
  const std::string big = MakeFile(dir, "big.kvr", kMaxRecordingSize);
  if (limit.empty() || big.empty()) GTEST_SKIP() << "no sparse files of 2 GB here";
  FakeView view;
  view.answers = {limit, big};
  DialogController dialog(&view);
  dialog.OnOpenRecording();  // one byte less is taken
  EXPECT_EQ(dialog.status_text(), limit);
  EXPECT_EQ(dialog.job().file_size(), kMaxRecordingSize - 1);
  dialog.OnOpenRecording();
  EXPECT_EQ(dialog.status_text(), "Can Not Accept File Than 2GB");
  EXPECT_FALSE(dialog.job().HasRecording());
  dialog.OnDrop(limit);
  dialog.OnDrop(big);
  EXPECT_EQ(dialog.status_text(), "Can Not Accept File Than 2GB");
  EXPECT_FALSE(dialog.job().HasRecording());
}

TEST(DialogController, IgnoresCommandsWhileAConversionRuns) {
  ScratchDir dir;
  const std::string a = dir / "a.kvr";
  testing::RecordingBuilder recording;
  recording.AddFrame(testing::RecordingBuilder::MakeFrame(0xE, 0, 0, 0, {0, 0, 0, 1, 0x65}), false);
  ASSERT_TRUE(recording.Write(a));
  const std::string b = MakeFile(dir, "b.kvr", 2836);
  FakeView view;
  view.answers = {a, b};
  DialogController dialog(&view);
  dialog.OnOpenRecording();
  // A worker that holds after the scan's first frame until it is cancelled, and posts nothing.
  dialog.job().hold_point = kHoldInScan;
  ASSERT_TRUE(dialog.job().StartConversion(nullptr));
  EXPECT_FALSE(dialog.AcceptsDrop());
  dialog.OnOpenRecording();
  dialog.OnConvert();
  dialog.OnDrop(b);
  EXPECT_EQ(view.asked, 1);
  EXPECT_EQ(dialog.status_text(), a);
  EXPECT_EQ(dialog.job().file_size(), 1418);
  EXPECT_FALSE(dialog.job().CancelRequested());
  EXPECT_EQ(view.Pump(dialog), 0);  // no worker was started
  dialog.job().CancelAndWait();
  EXPECT_TRUE(dialog.AcceptsDrop());
}

TEST(DialogController, ConvertWithoutARecordingChangesNothing) {
  FakeView view;
  DialogController dialog(&view);
  dialog.OnConvert();
  dialog.job().Wait();
  EXPECT_EQ(view.Pump(dialog), 0);
  EXPECT_EQ(dialog.status_text(), "None Select");
  EXPECT_TRUE(view.shown.empty());
}

TEST(DialogController, ConvertsTheSampleWithEventsFromTheWorker) {
  ScratchDir dir;
  FakeView view;
  view.answers = {SampleRecording(dir)};
  DialogController dialog(&view);
  dialog.OnOpenRecording();
  for (int run = 0; run < 2; ++run) {  // CONVERT again converts the same recording again
    dialog.OnConvert();
    view.PumpUntil(dialog, "Done. ");
    dialog.job().Wait();
    view.Pump(dialog);
    EXPECT_EQ(dialog.status_text(), "Done. Average FPS = 24.59");
  }
  EXPECT_TRUE(view.posted_off_window_thread());
  // The texts shown follow the work: the scan, each channel's writing in turn, the average.
  int channel = 0, previous = 0;
  for (const std::string& text : view.shown) {
    if (text.rfind("Done. ", 0) == 0) previous = 0;
    EXPECT_TRUE(text.rfind("Retrieving ", 0) != 0 || previous == 0) << text;
    if (std::sscanf(text.c_str(), "CH_%d.", &channel) != 1) continue;
    EXPECT_GE(channel, previous) << text;
    previous = channel;
  }
  for (const char* name : {"cam_01.avi", "cam_03.avi", "cam_06.avi"}) {
    EXPECT_TRUE(ParseAvi(dir / name).ok) << name;
  }
  EXPECT_FALSE(testing::Exists(dir / "cam_02.avi"));
}

TEST(DialogController, AStalledWindowWithAFullQueueStillGetsTheLastText) {
  // The window thread handles nothing until the worker has posted its last event, while the
  // queue takes one event (or none: full of other messages until the window thread resumes).
  for (int capacity : {1, 0}) {
    ScratchDir dir;
    FakeView view;
    view.answers = {SampleRecording(dir)};
    view.SetCapacity(capacity);
    DialogController dialog(&view);
    dialog.OnOpenRecording();
    dialog.OnConvert();
    if (capacity == 0) {
      view.WaitForRefusal(kDone);  // the last event waits for room in the queue
      view.SetCapacity(1);
    }
    dialog.job().Wait();
    EXPECT_EQ(view.Pump(dialog), 1) << capacity;  // one event shows the latest
    EXPECT_EQ(dialog.status_text(), "Done. Average FPS = 24.59") << capacity;
  }
}

TEST(DialogController, PassesEventsThatChangeTheLineAtMostEveryInterval) {
  ProgressGate gate;
  gate.text = "None Select";
  const struct {
    int kind, value;
    const char* text;
    int64_t now_ms;
    bool passes;
  } cases[] = {
      {kScanStep, 0, "None Select", 1000, false},  // the text sent last, however late
      {kScanStep, 0, "scan 0", 1000, true},        // another kind of event: at once
      {kScanStep, 1, "scan 1", 1000 + kProgressIntervalMs - 1, false},  // too soon
      {kScanStep, 2, "scan 2", 1000 + kProgressIntervalMs, true},
      {kWriteStep, 0, "CH_01 0", 1026, true},
      {kWriteStep, 2, "CH_03 0", 1027, true},  // another channel: at once
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PassesGate(&gate, c.kind, c.value, c.text, c.now_ms), c.passes) << c.text;
  }
}

TEST(DialogController, ClosingDuringAConversionCancelsAndWaits) {
  ScratchDir dir;
  FakeView view;
  view.answers = {SampleRecording(dir)};
  auto dialog = std::make_unique<DialogController>(&view);
  dialog->OnOpenRecording();
  dialog->job().hold_point = 2;  // the worker waits in channel 2's pass until cancelled
  dialog->OnConvert();
  view.PumpUntil(*dialog, "CH_03.");
  dialog->OnClose();
  EXPECT_FALSE(dialog->job().Running());
  EXPECT_EQ(dialog->job().last_result(), 0);
  dialog.reset();  // events still queued go nowhere

  // The finished channel and the interrupted one are valid files under their final names; the
  // next one never started, and no temporary file is left.
  EXPECT_EQ(testing::ListDir(dir.path()),
            (std::vector<std::string>{"cam.kvr", "cam_01.avi", "cam_03.avi"}));
  const auto first = ParseAvi(dir / "cam_01.avi");
  const auto interrupted = ParseAvi(dir / "cam_03.avi");
  EXPECT_TRUE(first.ok) << first.error;
  EXPECT_TRUE(interrupted.ok) << interrupted.error;
  EXPECT_LT(interrupted.chunks.size(), first.chunks.size());
}

TEST(DialogController, HoldPointsForTests) {
  EXPECT_EQ(ParseHoldPoint(nullptr), kHoldNowhere);
  EXPECT_EQ(ParseHoldPoint("scan"), kHoldInScan);
  EXPECT_EQ(ParseHoldPoint("CH_01"), 0);
  EXPECT_EQ(ParseHoldPoint("CH_16"), 15);
  for (const char* bad : {"", "CH_00", "CH_17", "CH_1x", "ch_01", "scanning"}) {
    EXPECT_EQ(ParseHoldPoint(bad), kHoldNowhere) << bad;
  }
}

}  // namespace
}  // namespace vexlor::app
