#include "dialogs/network_port_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "dialogs/dialog_support.h"
#include "net/network_port.h"

namespace quorvel {
namespace {

constexpr TextPair kCaption{"Dodaj port sieciowy", "Add network port"};
constexpr TextPair kNameLabel{"Nazwa portu serwera portów szeregowych w sieci:",
                              "Name of the port on a serial device server:"};
constexpr TextPair kForms{
    "rfc2217://HOST:PORT  (RFC 2217: ustawienia linii wysyła program)\n"
    "tcp://HOST:PORT  (zwykłe TCP: linię ustawia serwer)",
    "rfc2217://HOST:PORT  (RFC 2217: the program sends the line settings)\n"
    "tcp://HOST:PORT  (raw TCP: the line is set on the server)"};
constexpr TextPair kBadName{
    "Nazwa musi mieć postać rfc2217://HOST:PORT lub tcp://HOST:PORT (PORT od 1 do 65535).",
    "The name must have the form rfc2217://HOST:PORT or tcp://HOST:PORT (PORT from 1 to 65535)."};
constexpr TextPair kOkCaption{"OK", "OK"};
constexpr TextPair kCancelCaption{"Anuluj", "Cancel"};
// Longer than any well-formed name: typing stops there.
constexpr int kNameLimit = 300;

}  // namespace

NetworkPortDialog::NetworkPortDialog(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      name_(new QLineEdit(this)),
      problem_(new QLabel(this)),
      ok_(new QPushButton(Text(kOkCaption), this)),
      cancel_(new QPushButton(Text(kCancelCaption), this)) {
  setWindowTitle(Text(kCaption));
  auto* label = new QLabel(Text(kNameLabel), this);
  label->setBuddy(name_);
  auto* forms = new QLabel(Text(kForms), this);
  forms->setAccessibleName(forms->text());
  name_->setAccessibleName(label->text());
  name_->setMaxLength(kNameLimit);
  name_->setPlaceholderText(QStringLiteral("rfc2217://HOST:PORT"));
  name_->setMinimumWidth(name_->fontMetrics().horizontalAdvance(
      QStringLiteral("rfc2217://device-server.example.com:65535")));
  problem_->setWordWrap(true);
  QPalette palette = problem_->palette();
  palette.setColor(QPalette::WindowText, Qt::red);
  problem_->setPalette(palette);
  problem_->setAccessibleName(Text(kBadName));
  problem_->hide();
  for (QPushButton* button : {ok_, cancel_}) {
    button->setAccessibleName(button->text());
    button->setAutoDefault(false);
  }
  ok_->setDefault(true);
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
  connect(name_, &QLineEdit::textEdited, problem_, &QWidget::hide);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok_);
  buttons->addWidget(cancel_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(label);
  layout->addWidget(name_);
  layout->addWidget(forms);
  layout->addWidget(problem_);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

QString NetworkPortDialog::Name() const {
  return name_->text().trimmed();
}

void NetworkPortDialog::accept() {
  if (!ParseNetworkPort(Name().toStdString())) {
    problem_->setText(Text(kBadName));
    problem_->show();
    name_->setFocus();
    name_->selectAll();
    return;
  }
  QDialog::accept();
}

std::optional<QString> AskNetworkPort(QWidget* owner) {
  auto* dialog = new NetworkPortDialog(owner);
  PlaceOverOwner(dialog, owner);
  return ExecForValue(dialog, &NetworkPortDialog::Name);
}

}  // namespace quorvel
