// The dialog behind the port list's "Add network port…" entry: it asks for
// the name of a port on a device server, rfc2217://HOST:PORT or
// tcp://HOST:PORT, and hands back only a well-formed one (a wrong name is
// said in the dialog, which stays open).
#pragma once

#include <QDialog>
#include <QString>
#include <optional>

#include "app/globals.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace quorvel {

// The port list's entry that opens the dialog.
constexpr TextPair kAddNetworkPortEntry{"Dodaj port sieciowy…", "Add network port…"};

class NetworkPortDialog final : public QDialog {
  Q_OBJECT
 public:
  explicit NetworkPortDialog(QWidget* owner);

  // The name entered, spaces around it left out.
  QString Name() const;

  QLineEdit* NameField() const { return name_; }
  QLabel* ProblemLabel() const { return problem_; }
  QPushButton* OkButton() const { return ok_; }
  QPushButton* CancelButton() const { return cancel_; }

  void accept() override;

 private:
  QLineEdit* name_;
  QLabel* problem_;
  QPushButton* ok_;
  QPushButton* cancel_;
};

// Shows the dialog over the owner; the well-formed name, none when it was
// cancelled.
std::optional<QString> AskNetworkPort(QWidget* owner);

}  // namespace quorvel
