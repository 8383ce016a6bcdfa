// Test support for the dialogs: the program's language and edition for one
// test, answering a modal dialog from inside its own event loop, and a check
// that every control a user meets has a name for assistive technology.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTimer>
#include <QWidget>
#include <functional>

#include "app/globals.h"

namespace quorvel::testing {

// Sets Language and Edition for its lifetime.
class ProgramScope {
 public:
  ProgramScope(uint8_t language, uint8_t edition = 0) : language_(Language), edition_(Edition) {
    Language = language;
    Edition = edition;
  }
  ~ProgramScope() {
    Language = language_;
    Edition = edition_;
  }

 private:
  uint8_t language_;
  uint8_t edition_;
};

// Runs `answer` on the next modal dialog once it is up (checked every 10 ms
// from the dialog's own event loop); fails the test when none comes within
// two seconds.
inline void AnswerNextModal(std::function<void(QWidget*)> answer) {
  auto* timer = new QTimer(qApp);
  auto waited = std::make_shared<int>(0);
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, qApp, [timer, waited, answer] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible()) {
      if (++*waited < 200) return;
      ADD_FAILURE() << "no modal dialog came up";
    } else {
      answer(modal);
    }
    timer->stop();
    timer->deleteLater();
  });
  timer->start();
}

// Runs the event loop for ms milliseconds.
inline void SpinFor(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

inline QString AccessibleName(QWidget* widget) {
  QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
  return face != nullptr ? face->text(QAccessible::Name) : QString();
}

// Every visible control under root has an accessible name, and it is the
// caption or label the user sees.
inline void ExpectAccessibleNames(QWidget* root) {
  for (QWidget* widget : root->findChildren<QWidget*>()) {
    if (!widget->isVisibleTo(root)) continue;
    const QString name = AccessibleName(widget);
    QString shown;
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      shown = button->text();
    } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
      shown = group->title();
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
      if (!label->text().isEmpty()) shown = label->text();
      if (label->text().isEmpty() && label->pixmap().isNull()) continue;
    } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
      // A list is named by its label: on this platform through the
      // "labelled by" relation the label's buddy makes.
      QAccessibleInterface* face = QAccessible::queryAccessibleInterface(combo);
      QString labelledBy;
      for (const auto& [other, relation] : face->relations(QAccessible::Label)) {
        labelledBy = other->text(QAccessible::Name);
      }
      EXPECT_FALSE(labelledBy.isEmpty()) << "a list without a label";
      EXPECT_EQ(combo->accessibleName().toStdString(), labelledBy.toStdString());
      continue;
    } else if (!qobject_cast<QPlainTextEdit*>(widget)) {
      continue;
    }
    SCOPED_TRACE(widget->metaObject()->className());
    EXPECT_FALSE(name.isEmpty()) << shown.toStdString();
    if (!shown.isEmpty()) {
      EXPECT_EQ(name.toStdString(), shown.toStdString());
    }
  }
}

}  // namespace quorvel::testing
