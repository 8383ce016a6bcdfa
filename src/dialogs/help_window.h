// The help window: the help text of the program's Language in a read-only
// memo, as a top-level window of its own (its own task-bar entry) that is
// never shown twice: opening it again brings the one there is back.
#pragma once

#include <QWidget>

class QPlainTextEdit;
class QPushButton;

namespace quorvel {

// The help text of the program's Language with the program name filled in.
QString HelpText();

class HelpWindow final : public QWidget {
  Q_OBJECT
 public:
  // mainWindow: the window it is placed against; nullptr centres it on the
  // work area.
  explicit HelpWindow(QWidget* mainWindow);

  QPlainTextEdit* Memo() const { return memo_; }
  QPushButton* CloseButton() const { return close_; }
  // Lines the memo shows at its present width (wrapped lines count each).
  int LineCount() const;
  // As tall as the memo's lines (no taller than the work area), inside the
  // work area.
  void FitToLines();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QWidget* mainWindow_;
  QPlainTextEdit* memo_;
  QWidget* bottom_;
  QPushButton* close_;
  bool fitted_ = false;

  int ChromeHeight() const;
};

// Opens the help window, or restores and raises the one that is open.
HelpWindow* ShowHelp(QWidget* mainWindow);

// The help window that is open, nullptr when none.
HelpWindow* OpenHelpWindow();

}  // namespace quorvel
