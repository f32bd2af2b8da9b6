#include "status_view.h"
#include <QApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <algorithm>
#include <cmath>
#include "pages.h"
#include "settings_store/settings.h"
#include "sky_plot.h"
#include "support/geodesy.h"

namespace {
constexpr int kTextMargin = 10;
}

StatusView::StatusView(QWidget* parent) : QWidget(parent) {
  setObjectName("status");
  setAutoFillBackground(true);
  setMinimumSize(200, 200);
  setFocusPolicy(Qt::StrongFocus);  // the keyboard switches views too
  memset(&snapshot_, 0, sizeof snapshot_);
  ClearStatusLines(&snapshot_.status);
}

QString StatusView::statusText() const {
  char profile[64];
  const char* name = nullptr;
  if (g_System.CurrentProfile == 1 || g_System.CurrentProfile == 2)
    name = ProfileName(g_System.CurrentProfile, profile, sizeof profile);
  char block[1024];
  StatusTextBlock(snapshot_.status, name, block, sizeof block);
  QString text = QString::fromUtf8(block);
  if (!snapshot_.portOpen)
    text += QString("\nDriver not running on %1: waiting for it").arg(QString::fromStdU16String(snapshot_.port));
  return text;
}

void StatusView::refresh() {
  ReadStatusSnapshot(&snapshot_);
  AdoptDriverProfile(snapshot_, QApplication::activeModalWidget() != nullptr);
  setAccessibleName(statusText());
  update();
}

void StatusView::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return;
  plot_ = !plot_;
  update();
}

void StatusView::keyPressEvent(QKeyEvent* e) {
  // Space or Enter switch between the text and the plot, as a click does.
  if (e->key() != Qt::Key_Space && e->key() != Qt::Key_Return && e->key() != Qt::Key_Enter) {
    QWidget::keyPressEvent(e);
    return;
  }
  plot_ = !plot_;
  update();
}

void StatusView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().window());
  if (plot_) paintPlot(p);
  else paintText(p);
}

void StatusView::paintText(QPainter& p) {
  const QStringList lines = statusText().split('\n');
  QRect area = rect().adjusted(kTextMargin, kTextMargin, -kTextMargin, -kTextMargin);
  if (area.width() <= 0 || area.height() <= 0) return;
  // The largest font at which the widest line and the whole block fit.
  QFont font = p.font();
  font.setPixelSize(100);
  QFontMetrics m(font);
  int widest = 1;
  for (const QString& l : lines) widest = std::max(widest, m.horizontalAdvance(l));
  const int tall = std::max(1, m.lineSpacing() * static_cast<int>(lines.size()));
  const double factor = std::min(static_cast<double>(area.width()) / widest, static_cast<double>(area.height()) / tall);
  font.setPixelSize(std::max(6, static_cast<int>(100 * factor)));
  p.setFont(font);
  p.setPen(palette().windowText().color());
  p.drawText(area, Qt::AlignLeft | Qt::AlignTop, lines.join('\n'));
}

void StatusView::paintPlot(QPainter& painter) {
  const FixRecord& r = snapshot_.record;
  if (!snapshot_.haveRecord || !SkyPlotDrawable(r)) return;
  QPixmap off(size() * devicePixelRatioF());
  off.setDevicePixelRatio(devicePixelRatioF());
  off.fill(palette().window().color());
  QPainter p(&off);
  p.setRenderHint(QPainter::Antialiasing);
  SkyLayout l;
  LayoutSkyPlot(width(), height(), &l);
  const QPoint c(l.centreX, l.centreY);
  p.setPen(QPen(palette().windowText().color(), 1));
  p.drawEllipse(c, l.radius, l.radius);
  p.drawEllipse(c, l.radius / 2, l.radius / 2);
  p.drawLine(c.x() - l.radius, c.y(), c.x() + l.radius, c.y());
  p.drawLine(c.x(), c.y() - l.radius, c.x(), c.y() + l.radius);
  QFont font = p.font();
  font.setPixelSize(std::clamp(l.margin * 2 / 3, 8, 16));
  p.setFont(font);
  const int half = l.margin / 2;
  p.drawText(QRect(c.x() - half, c.y() - l.radius - l.margin, l.margin, l.margin), Qt::AlignCenter, "N");
  p.drawText(QRect(c.x() - half, c.y() + l.radius, l.margin, l.margin), Qt::AlignCenter, "S");
  p.drawText(QRect(c.x() - l.radius - l.margin, c.y() - half, l.margin, l.margin), Qt::AlignCenter, "W");
  p.drawText(QRect(c.x() + l.radius, c.y() - half, l.margin, l.margin), Qt::AlignCenter, "E");
  auto needle = [&](double degrees, const QColor& colour) {
    if (!std::isfinite(degrees)) return;
    const double a = degrees * DEG_TO_RAD;
    p.setPen(QPen(colour, 3));
    p.drawLine(c, QPoint(c.x() + static_cast<int>(l.radius * std::sin(a)), c.y() - static_cast<int>(l.radius * std::cos(a))));
  };
  needle(r.Heading, QColor(200, 0, 0));
  if (r.MagHeading != r.Heading) needle(r.MagHeading, QColor(0, 0, 200));
  p.setPen(QPen(palette().windowText().color(), 1));
  const int dot = std::max(2, 3 * l.margin / 5);
  for (int i = 0; i < kMaxSatellites; ++i) {
    int x, y;
    if (!SatellitePoint(l, r, i, &x, &y)) continue;
    p.setBrush(QColor(0, 120, 0));
    p.drawEllipse(QPoint(x, y), dot, dot);
  }
  // The numbers where none hides another (three digits at most).
  const QFontMetrics metrics(p.font());
  SkyLabel labels[kMaxSatellites];
  PlaceSkyLabels(l, r, dot, metrics.horizontalAdvance("888"), metrics.height(), labels);
  for (int i = 0; i < kMaxSatellites; ++i) {
    if (!labels[i].shown) continue;
    const QRect box(labels[i].left, labels[i].top, labels[i].width, labels[i].height);
    int x, y;
    if (labels[i].away && SatellitePoint(l, r, i, &x, &y)) p.drawLine(QPoint(x, y), box.center());
    const unsigned prn = std::min<DWORD>(r.InViewPrns[i], 999);
    p.drawText(box, Qt::AlignCenter, QString::asprintf("%02u", prn));
  }
  p.setBrush(Qt::NoBrush);
  const int scale = SnrScale(r);
  p.drawText(QRect(l.barLeft, l.barTop - 16, l.barWidth, 16), Qt::AlignLeft,
             QString::asprintf("%02d", SnrScaleLabel(scale)));
  SkyBar bars[kMaxSatellites];
  SkyBars(l, r, bars);
  const int slotWidth = l.barWidth / kMaxSatellites;
  const int bottom = l.barTop + l.barHeight;
  for (int i = 0; i < kMaxSatellites; ++i) {
    const QRect bar(l.barLeft + i * slotWidth + 1, bottom - bars[i].height, std::max(1, slotWidth - 2), bars[i].height);
    if (bars[i].prn == 0) {
      p.drawRect(QRect(bar.left(), l.barTop, bar.width(), l.barHeight));
      continue;
    }
    p.fillRect(bar, QColor(bars[i].red, bars[i].green, bars[i].blue));
    p.drawText(QRect(bar.left(), bottom, slotWidth, 16), Qt::AlignHCenter,
               QString::asprintf("%02u", static_cast<unsigned>(std::min<DWORD>(bars[i].prn, 999))));
  }
  p.end();
  painter.drawPixmap(0, 0, off);
}
