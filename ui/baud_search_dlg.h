// The small window that tells the operator which baud rate the search is
// trying, in a line that blinks red and blue and always fills its area, with
// a button that stops the search.
#pragma once

#include <QColor>
#include <QDialog>
#include <QFont>
#include <QPointer>
#include <QString>

#include "platform/operator.h"

class QAbstractButton;

namespace lumaset {

class CBaudSearchDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CBaudSearchDlg(QWidget* parent);
  ~CBaudSearchDlg() override;

  // Builds the window from its template, hidden, owned by the view (whose
  // window receives the stop); starts the 200 ms blink timer. 1, or 0 when
  // the template is missing (later calls then show nothing).
  int CreateModeless(platform::IEventTarget* viewWindow);
  // Shows the rate: centred over the owner on the first show, repainted on
  // later ones (a window the operator moved stays where it is).
  void ShowRate(int rate);
  void HideWindow();
  // The title and the stop button's caption from the current library.
  void LoadTexts();

  // The line for the current rate, and the font that makes it fill `area`.
  QString Line() const;
  static QFont FittingFont(const QString& line, const QSize& area, const QFont& base);
  QColor TextColour() const { return m_textColour; }
  bool Shown() const { return m_shown != 0; }
  int Rate() const { return m_rate; }
  QWidget* TextArea() const { return m_textArea; }
  // Paints the line into the text area's painter (its own coordinates).
  void PaintLine(QPainter& painter, const QRect& area) const;

 protected:
  void timerEvent(QTimerEvent* event) override;
  // Closing the window (its close button, Escape) stops the search, as the
  // stop button does: a hidden window would otherwise stay "shown".
  void reject() override;

 private:
  void OnStop();

  QPointer<QWidget> m_textArea;
  QPointer<QAbstractButton> m_stopButton;
  platform::IEventTarget* m_viewWindow = nullptr;
  QColor m_textColour{255, 0, 0};
  int m_shown = 0;
  int m_rate = 0;
  int m_timerId = 0;
  bool m_created = false;
};

}  // namespace lumaset
