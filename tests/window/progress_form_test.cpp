// The progress window: its texts, fixed size and place over the main
// window, the bars and percentage it draws, the bytes, rate and times below
// them, and Stop, Esc and the window frame asking for the end of the run
// exactly once.
#include <gtest/gtest.h>

#include <QMainWindow>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <optional>

#include "dialogs/dialog_support.h"
#include "run/progress_values.h"
#include "window/progress_form.h"
#include "window_test_support.h"

namespace quorvel {
namespace {

using testing::ProgramScope;

struct CaptionCase {
  uint8_t language;
  uint8_t edition;
  const char* caption;
  const char* stop;
};

TEST(WindowProgress, TextsSizeAndPlace) {
  for (const CaptionCase& c :
       {CaptionCase{0, 0, "Quorvel ... programowanie urządzenia", "Zatrzymaj"},
        CaptionCase{1, 1, "QuorvelKMB ... programming device", "Abort"}}) {
    SCOPED_TRACE(c.caption);
    ProgramScope program(c.language, c.edition);
    QMainWindow main;
    main.resize(600, 400);
    main.show();
    TFormProgress progress(&main, true, QIcon());
    progress.show();
    EXPECT_EQ(progress.windowTitle().toStdString(), c.caption);
    EXPECT_EQ(progress.StopButton()->text().toStdString(), c.stop);
    EXPECT_EQ(progress.Panel()->Label().toStdString(), "0%");
    EXPECT_EQ(progress.minimumSize(), progress.maximumSize());
    EXPECT_GT(progress.FullWidth(), 100);
    // The whole caption fits.
    EXPECT_GT(progress.width(), progress.fontMetrics().horizontalAdvance(progress.windowTitle()));
    EXPECT_TRUE(progress.MonitorButton()->isVisible());
    // Centred over the main window.
    const QPoint offset = progress.frameGeometry().center() - main.frameGeometry().center();
    EXPECT_LE(offset.manhattanLength(), 4);
    testing::ExpectAccessibleNames(&progress);
  }
}

TEST(WindowProgress, DrawsTheBarsAndThePercentage) {
  ProgramScope program(1);
  TFormProgress progress(nullptr, false, QIcon());
  progress.show();
  EXPECT_FALSE(progress.MonitorButton()->isVisible());
  ProgressValues values;
  values.SetFullWidth(progress.FullWidth());
  values.SetMax(1000);
  values.SetSent(500);
  values.SetWritten(125);
  progress.ShowProgress(values);
  EXPECT_EQ(progress.Panel()->SentBarWidth(), values.SentBarWidth());
  EXPECT_EQ(progress.Panel()->WrittenBarWidth(), values.WrittenBarWidth());
  EXPECT_EQ(progress.Panel()->Label().toStdString(), "12%");
  values.SetSent(5000);
  progress.ShowProgress(values);
  EXPECT_EQ(progress.Panel()->SentBarWidth(), progress.FullWidth());
  // What is drawn: the written bar in the highlight colour from the left.
  const QImage shot = progress.Panel()->grab().toImage();
  const QRect inner = progress.Panel()->contentsRect();
  EXPECT_EQ(shot.pixelColor(inner.left() + 2, inner.bottom() - 1),
            progress.Panel()->palette().color(QPalette::Highlight));
}

// On a clock the test moves: the time left shows once it can be told, falls,
// and is 0:00 when the run has ended with every byte written; the elapsed
// time stops there.
TEST(WindowProgress, ShowsBytesRateElapsedAndTimeLeft) {
  struct TimesCase {
    uint8_t language;
    QStringList start;
    QStringList writing;
    QStringList ended;
  };
  for (const TimesCase& c : {
           TimesCase{1,
                     {"0 of 0 bytes", "", "0:00", ""},
                     {"4,096 of 16,384 bytes", "1.0 kB/s", "0:14", "0:12"},
                     {"16,384 of 16,384 bytes", "1.0 kB/s", "0:26", "0:00"}},
           TimesCase{
               0,
               {"0 z 0 bajtów", "", "0:00", ""},
               {QString::fromUtf8("4096 z 16\u00a0384 bajtów"), "1,0 kB/s", "0:14", "0:12"},
               {QString::fromUtf8("16\u00a0384 z 16\u00a0384 bajtów"), "1,0 kB/s", "0:26", "0:00"}},
       }) {
    SCOPED_TRACE(int(c.language));
    ProgramScope program(c.language);
    int64_t clock = 1'000'000;
    TFormProgress progress(nullptr, false, QIcon(), [&clock] { return clock; });
    progress.show();
    const QSize size = progress.size();
    EXPECT_EQ(progress.TimeTexts(), c.start);
    ProgressValues values;
    values.SetFullWidth(progress.FullWidth());
    values.SetMax(16'384);
    progress.ShowProgress(values);
    // Connecting and erasing: 10 s without a byte written.
    clock += 10'000;
    values.SetWritten(0);
    progress.ShowProgress(values);
    EXPECT_FALSE(progress.Times().leftMs.has_value());
    std::optional<int64_t> before;
    for (uint32_t written = 1'024; written <= 4'096; written += 1'024) {
      clock += 1'000;
      values.SetWritten(written);
      progress.ShowProgress(values);
      ASSERT_TRUE(progress.Times().leftMs.has_value());
      if (before) {
        EXPECT_LT(*progress.Times().leftMs, *before);
      }
      before = progress.Times().leftMs;
    }
    EXPECT_EQ(progress.TimeTexts(), c.writing);
    for (uint32_t written = 5'120; written <= 16'384; written += 1'024) {
      clock += 1'000;
      values.SetWritten(written);
      progress.ShowProgress(values);
    }
    progress.Release();
    clock += 30'000;
    EXPECT_EQ(progress.TimeTexts(), c.ended);
    EXPECT_EQ(progress.Times().leftMs, 0);
    // The rows keep their place: the window never changes its size.
    EXPECT_EQ(progress.size(), size);
  }
}

TEST(WindowProgress, StopEscAndTheFrameAskOnce) {
  ProgramScope program(1);
  for (int way = 0; way < 3; ++way) {
    SCOPED_TRACE(way);
    TFormProgress progress(nullptr, false, QIcon());
    int asked = 0;
    progress.OnStop = [&asked] { ++asked; };
    progress.show();
    for (int repeat = 0; repeat < 2; ++repeat) {
      if (way == 0) QTest::mouseClick(progress.StopButton(), Qt::LeftButton);
      if (way == 1) QTest::keyClick(&progress, Qt::Key_Escape);
      if (way == 2) progress.close();
    }
    EXPECT_EQ(asked, 1);
    // Until the run has ended the window stays.
    EXPECT_TRUE(progress.isVisible());
    progress.Release();
    EXPECT_FALSE(progress.isVisible());
    QTest::mouseClick(progress.StopButton(), Qt::LeftButton);
    EXPECT_EQ(asked, 1);
  }
}

}  // namespace
}  // namespace quorvel
