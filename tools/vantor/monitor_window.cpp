#include "vantor/monitor_window.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QFileDialog>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>
#include <QScrollBar>
#include <QStatusBar>
#include <QTableView>
#include <QToolBar>

#include "app/text_utils.h"
#include "datafile/file_checks.h"
#include "vantor/trace_reader.h"
#include "vantor/vantor_texts.h"

namespace quorvel {

namespace {

using vantor_texts::FromStd;
using vantor_texts::Text;

std::string Count(uint64_t value) {
  return std::to_string(value);
}

}  // namespace

MonitorWindow::MonitorWindow(QWidget* parent)
    : QMainWindow(parent), view_(new QTableView(this)), status_(new QLabel(this)) {
  view_->setModel(&rows_);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  view_->setWordWrap(false);
  view_->verticalHeader()->hide();
  // Rows of one height: the view need not measure 100 000 rows.
  view_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  view_->verticalHeader()->setDefaultSectionSize(view_->fontMetrics().height() + 6);
  view_->horizontalHeader()->setStretchLastSection(true);
  const int digit = view_->fontMetrics().horizontalAdvance(QLatin1Char('0'));
  view_->setColumnWidth(TrafficRowModel::Time, digit * 22);
  view_->setColumnWidth(TrafficRowModel::Port, digit * 14);
  view_->setColumnWidth(TrafficRowModel::Direction, digit * 13);
  view_->setColumnWidth(TrafficRowModel::Length, digit * 8);
  view_->setColumnWidth(TrafficRowModel::Hex, digit * 40);
  view_->setColumnWidth(TrafficRowModel::Ascii, digit * 16);
  setCentralWidget(view_);

  QToolBar* tools = addToolBar(QString());
  tools->setMovable(false);
  pause_ = tools->addAction(Text(vantor_texts::kPause));
  pause_->setCheckable(true);
  pause_->setShortcut(Qt::Key_Pause);
  connect(pause_, &QAction::toggled, this, [this](bool paused) {
    rows_.SetPaused(paused);
    ShowStatus();
  });
  QAction* clear = tools->addAction(Text(vantor_texts::kClear));
  connect(clear, &QAction::triggered, this, [this] {
    badLines_ = 0;
    rows_.Clear();
  });
  QAction* copy = tools->addAction(Text(vantor_texts::kCopy));
  copy->setShortcut(QKeySequence::Copy);
  connect(copy, &QAction::triggered, this, &MonitorWindow::CopySelectedRows);
  QAction* save = tools->addAction(Text(vantor_texts::kSave));
  save->setShortcut(QKeySequence::Save);
  connect(save, &QAction::triggered, this, &MonitorWindow::AskSave);
  QAction* open = tools->addAction(Text(vantor_texts::kOpen));
  open->setShortcut(QKeySequence::Open);
  connect(open, &QAction::triggered, this, &MonitorWindow::AskOpen);
  addActions({pause_, clear, copy, save, open});

  statusBar()->addWidget(status_, 1);
  connect(&rows_, &TrafficRowModel::RowsChanged, this, [this] {
    // New rows keep the view at the bottom only when it was there: reading
    // older rows is not disturbed.
    QScrollBar* bar = view_->verticalScrollBar();
    if (bar->value() >= bar->maximum() - 1) view_->scrollToBottom();
    ShowStatus();
  });
  resize(digit * 160, fontMetrics().height() * 30);
  SetDevice({});
  ShowStatus();
}

void MonitorWindow::SetDevice(const MonitorDevice& device) {
  rows_.SetPort(device.port);
  const TextPair& kind = device.linkKind == 1 ? vantor_texts::kLinkUsb : vantor_texts::kLinkSerial;
  const std::string port = device.port.empty() ? vantor_texts::kNoPort.str() : device.port;
  title_ = vantor_texts::kTitle.str() + " - " + kind.str() + " " + PrintableText(port) + " - " +
           std::string(ProgramName());
  setWindowTitle(FromStd(title_));
}

bool MonitorWindow::OpenTrace(const std::string& path, std::string* failure) {
  TraceFileContents contents = ReadTraceFile(path, rows_.MaxRows(), rows_.MaxBytes());
  if (!contents.failure.empty()) {
    const std::string text = FormatText(vantor_texts::kOpenFailed.text(), {path, contents.failure});
    if (failure != nullptr) *failure = text;
    SayFailure(text);
    return false;
  }
  pause_->setChecked(true);
  rows_.ShowSaved(std::move(contents.rows));
  badLines_ = contents.skippedLines;
  title_ = vantor_texts::kTitle.str() + " - " + PrintableText(path) + " - " +
           std::string(ProgramName());
  setWindowTitle(FromStd(title_));
  ShowStatus();
  return true;
}

bool MonitorWindow::SaveTrace(const std::string& path, std::string* failure) {
  rows_.Flush();
  return ReplaceFileContents(path, rows_.TraceText(title_), failure);
}

void MonitorWindow::BringToFront() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

void MonitorWindow::CopySelectedRows() {
  std::vector<int> rows;
  for (const QModelIndex& index : view_->selectionModel()->selectedRows()) {
    rows.push_back(index.row());
  }
  QApplication::clipboard()->setText(FromStd(rows_.TraceLines(std::move(rows))));
}

void MonitorWindow::closeEvent(QCloseEvent* event) {
  rows_.Flush();
  QMainWindow::closeEvent(event);
}

void MonitorWindow::AskOpen() {
  const QString name = QFileDialog::getOpenFileName(this, Text(vantor_texts::kOpen), QString(),
                                                    Text(vantor_texts::kTraceFilter));
  if (!name.isEmpty()) OpenTrace(name.toStdString());
}

void MonitorWindow::AskSave() {
  const QString name = QFileDialog::getSaveFileName(this, Text(vantor_texts::kSave), QString(),
                                                    Text(vantor_texts::kTraceFilter));
  if (name.isEmpty()) return;
  std::string failure;
  if (!SaveTrace(name.toStdString(), &failure)) {
    SayFailure(FormatText(vantor_texts::kSaveFailed.text(), {name.toStdString(), failure}));
  }
}

void MonitorWindow::ShowStatus() {
  std::string text = FormatText(vantor_texts::kStatusRows.text(),
                                {Count(static_cast<uint64_t>(rows_.rowCount())),
                                 Count(rows_.MaxRows())});
  if (rows_.DroppedRows() > 0) {
    text += "; " + FormatText(vantor_texts::kStatusDropped.text(), {Count(rows_.DroppedRows())});
  }
  if (rows_.SkippedWhilePaused() > 0) {
    text += "; " + FormatText(vantor_texts::kStatusPaused.text(),
                              {Count(rows_.SkippedWhilePaused())});
  }
  if (badLines_ > 0) {
    text += "; " + FormatText(vantor_texts::kStatusBadLines.text(), {Count(badLines_)});
  }
  status_->setText(FromStd(text));
}

void MonitorWindow::SayFailure(const std::string& text) {
  status_->setText(FromStd(text));
  if (isVisible()) QMessageBox::warning(this, FromStd(title_), FromStd(text));
}

}  // namespace quorvel
