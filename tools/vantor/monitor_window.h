// The monitor's window: the rows of blocks under a tool bar (pause, clear,
// copy selected rows, save as text, open a saved trace) and a status line
// with the counts; the title names the link and the port.
#pragma once

#include <QMainWindow>
#include <string>

#include "run/monitor_messages.h"
#include "vantor/traffic_rows.h"

class QAction;
class QLabel;
class QTableView;

namespace quorvel {

class MonitorWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit MonitorWindow(QWidget* parent = nullptr);

  TrafficRowModel& Rows() { return rows_; }
  void SetDevice(const MonitorDevice& device);
  // Opens a saved trace in place of the rows; live blocks are paused so the
  // two do not mix. False, with the reason in the status line and in
  // `failure`, when it cannot be read.
  bool OpenTrace(const std::string& path, std::string* failure = nullptr);
  // Writes every row as a trace; false (failure says why) on any failure.
  bool SaveTrace(const std::string& path, std::string* failure);
  // Raises the window above the others and gives it the keyboard.
  void BringToFront();
  void CopySelectedRows();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void AskOpen();
  void AskSave();
  void ShowStatus();
  void SayFailure(const std::string& text);

  TrafficRowModel rows_;
  QTableView* view_;
  QAction* pause_;
  QLabel* status_;
  std::string title_;
  size_t badLines_ = 0;
};

}  // namespace quorvel
