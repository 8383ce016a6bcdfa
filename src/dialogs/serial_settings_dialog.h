// The serial settings dialog: baud rate, parity, data bits, stop bits and
// the frame gap of the serial link, starting from the current settings, with
// a button back to the device type's defaults. Only OK hands a result back.
#pragma once

#include <QDialog>
#include <cstdint>
#include <optional>

#include "run/line_settings.h"

class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;

namespace quorvel {

class TComm32Kx;

// The line settings of a serial port and its frame gap: automatic (chosen by
// the link from the line) or the standard one.
struct SerialSettings {
  LineSettings line;
  FrameGapChoice frameGap = FrameGapChoice::Standard();
  bool operator==(const SerialSettings&) const = default;
};

class SerialSettingsDialog final : public QDialog {
  Q_OBJECT
 public:
  // defaults: the device type's line settings ("Default" restores them and
  // the standard frame gap); current: what the dialog starts with. Texts
  // in the program's Language.
  SerialSettingsDialog(QWidget* owner, const LineSettings& defaults, const SerialSettings& current);

  SerialSettings Values() const;
  void SetValues(const SerialSettings& values);

  // Centred over the owner's window (the work area without one), inside the
  // work area.
  void Place();

  QComboBox* BaudRateBox() const { return baud_; }
  QComboBox* FrameGapBox() const { return frameGap_; }
  QButtonGroup* ParityButtons() const { return parity_; }
  QButtonGroup* DataBitsButtons() const { return dataBits_; }
  QButtonGroup* StopBitsButtons() const { return stopBits_; }
  QPushButton* DefaultButton() const { return default_; }
  QPushButton* OkButton() const { return ok_; }
  QPushButton* CancelButton() const { return cancel_; }

 private:
  QWidget* owner_;
  LineSettings defaults_;
  QComboBox* baud_;
  QComboBox* frameGap_;
  QButtonGroup* parity_;
  QButtonGroup* dataBits_;
  QButtonGroup* stopBits_;
  QPushButton* default_;
  QPushButton* ok_;
  QPushButton* cancel_;
};

// Runs the dialog modally: the settings confirmed with OK, nothing when it
// was closed any other way.
std::optional<SerialSettings> EditSerialSettings(QWidget* owner, const LineSettings& defaults,
                                                 const SerialSettings& current);

// The settings the component works with now.
SerialSettings CurrentSerialSettings(const TComm32Kx& comm);

// Gives the component confirmed settings: an open port reopens with the new
// line settings at once. The standard frame gap fixes TimeOut at 50 ms; Auto
// lets the component choose it from the line settings.
void ApplySerialSettings(TComm32Kx& comm, const SerialSettings& settings);

}  // namespace quorvel
