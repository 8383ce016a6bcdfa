// Driving the window as a user does: choosing an entry in an open list,
// answering the next message box or file dialog from inside its own event
// loop, and waiting for the event loop to bring something about.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "app/globals.h"
#include "dialogs/confirmation_box.h"
#include "dialogs_test_support.h"
#include "window/window_settings.h"

namespace quorvel::testing {

// Opens the list, highlights the entry with the text and presses Enter, as a
// user picks an entry with the keyboard. False when there is no such entry.
inline bool ChooseEntry(QComboBox* list, const QString& text) {
  const int index = list->findText(text);
  if (index < 0) return false;
  list->showPopup();
  list->view()->setCurrentIndex(list->model()->index(index, list->modelColumn()));
  QTest::keyClick(list->view(), Qt::Key_Return);
  return !list->view()->isVisible();
}

// The widget of the next modal dialog of type T handed to `answer` once it is
// up (checked every 10 ms from the dialog's own loop); fails the test when
// none comes within `ms`.
template <typename T>
void AnswerNext(std::function<void(T*)> answer, int ms = 5000) {
  auto* timer = new QTimer(qApp);
  auto deadline = std::make_shared<QDeadlineTimer>(ms);
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, qApp, [timer, deadline, answer] {
    T* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
    if (dialog == nullptr || !dialog->isVisible()) {
      if (!deadline->hasExpired()) return;
      ADD_FAILURE() << "no " << T::staticMetaObject.className() << " came up";
    } else {
      answer(dialog);
    }
    timer->stop();
    timer->deleteLater();
  });
  timer->start();
}

// Records the text of the next message box and closes it with a button.
inline void AnswerNextBox(std::string* text, int button = kConfirmYes, int ms = 5000) {
  AnswerNext<ConfirmationBox>(
      [text, button](ConfirmationBox* box) {
        if (text != nullptr) *text = box->TextLabel()->text().toStdString();
        QTest::mouseClick(box->Button(button), Qt::LeftButton);
      },
      ms);
}

// Types names into the next file dialog and accepts it ("a" "b" for
// several).
inline void AnswerNextFileDialog(const QString& typed) {
  AnswerNext<QFileDialog>([typed](QFileDialog* dialog) {
    auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(edit, nullptr);
    edit->setText(typed);
    QTest::keyClick(edit, Qt::Key_Return);
  });
}

// The stored settings of the current edition, emptied.
inline void ClearStoredSettings() {
  QSettings(QStringLiteral("VARNELD"), SettingsApplicationName()).clear();
}

}  // namespace quorvel::testing
