// The main window's live view of the driver: the status text, or the satellite plot with the
// signal bars; a click switches between them.
#pragma once
#include <QWidget>
#include "status_reader.h"

class StatusView : public QWidget {
  Q_OBJECT
 public:
  explicit StatusView(QWidget* parent = nullptr);
  bool plotShown() const { return plot_; }
  // The text block as painted (for tests and the accessible name).
  QString statusText() const;
 public slots:
  void refresh();  // a new snapshot from the reader

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void keyPressEvent(QKeyEvent*) override;

 private:
  void paintText(QPainter& p);
  void paintPlot(QPainter& p);
  StatusSnapshot snapshot_;
  bool plot_ = false;
};
