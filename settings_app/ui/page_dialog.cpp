#include "page_dialog.h"
#include <QButtonGroup>
#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <algorithm>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>
#include "support/log.h"

PageDialog::PageDialog(const PageLayout& layout, PageHandler handler, QWidget* parent)
    : QDialog(parent), layout_(layout), handler_(std::move(handler)) {
  setObjectName(QString("page_") + layout.title);
  setWindowTitle(layout.title);
  ClearPageState(&state_);
  build();
  if (handler_.fill) handler_.fill(&state_);
  showState();
  if (handler_.tick) {
    timer_ = new QTimer(this);
    connect(timer_, &QTimer::timeout, this, [this] {
      takeState();
      handler_.tick(&state_);
      showState();
    });
    timer_->start(100);
  }
  resize(std::max(360, layout.designedWidth * 2), std::min(700, layout.designedHeight + 120));
}

void PageDialog::build() {
  auto* inner = new QWidget;
  auto* form = new QFormLayout(inner);
  QButtonGroup* radios = nullptr;
  const char* row = nullptr;
  QHBoxLayout* rowLayout = nullptr;
  for (int i = 0; i < layout_.count; ++i) {
    const PageControl& c = layout_.controls[i];
    QWidget* w = nullptr;
    const QString label = QString::fromUtf8(c.label);
    switch (c.kind) {
      case CONTROL_HEADING: {
        auto* h = new QLabel("<b>" + label.toHtmlEscaped() + "</b>");
        form->addRow(h);
        radios = nullptr;
        row = nullptr;
        continue;
      }
      case CONTROL_EDIT: {
        auto* e = new QLineEdit;
        e->setMaxLength(c.maxLength ? c.maxLength : 32);
        if (c.hint) {
          e->setPlaceholderText(c.hint);
          e->setToolTip(c.hint);
        }
        w = e;
        break;
      }
      case CONTROL_CHECK:
      case CONTROL_TRISTATE: {
        auto* b = new QCheckBox(label);
        b->setTristate(c.kind == CONTROL_TRISTATE);
        if (c.kind == CONTROL_TRISTATE) b->setAttribute(Qt::WA_TransparentForMouseEvents);  // progress only
        if (handler_.actingChecks.contains(c.id))
          connect(b, &QCheckBox::clicked, this, [this, id = c.id] {
            takeState();
            handler_.button(id, &state_, this);
            showState();
          });
        w = b;
        break;
      }
      case CONTROL_RADIO: {
        auto* b = new QRadioButton(label);
        if (!radios || (i > 0 && layout_.controls[i - 1].kind != CONTROL_RADIO && !c.row)) radios = new QButtonGroup(this);
        if (c.row) b->setAttribute(Qt::WA_TransparentForMouseEvents);  // shows the phone's orientation only
        else radios->addButton(b);
        w = b;
        break;
      }
      case CONTROL_BUTTON: {
        auto* b = new QPushButton(label);
        connect(b, &QPushButton::clicked, this, [this, id = c.id] {
          takeState();
          if (handler_.button) handler_.button(id, &state_, this);
          showState();
        });
        w = b;
        break;
      }
      case CONTROL_VALUE:
        w = new QLabel;
        break;
    }
    w->setObjectName(QString::number(c.id));
    widgets_.insert(c.id, w);
    const bool labelled = c.kind == CONTROL_EDIT || c.kind == CONTROL_VALUE;
    // A screen reader names each field by its label, and by its group where a page has two of
    // one label ("Com Port"); boxes that only show a state take no focus, so no key changes them.
    w->setAccessibleName(QString::fromUtf8(FieldName(layout_, i).c_str()));
    const bool displayOnly = c.kind == CONTROL_TRISTATE || c.kind == CONTROL_VALUE || (c.kind == CONTROL_RADIO && c.row);
    if (displayOnly) w->setFocusPolicy(Qt::NoFocus);
    if (c.row) {
      if (!row || strcmp(row, c.row) != 0) {
        rowLayout = new QHBoxLayout;
        form->addRow(QString::fromUtf8(c.row), rowLayout);
        row = c.row;
      }
      if (labelled) {
        auto* name = new QLabel(label);
        name->setBuddy(w);
        rowLayout->addWidget(name);
      }
      rowLayout->addWidget(w);
      continue;
    }
    row = nullptr;
    if (labelled) {
      auto* line = new QHBoxLayout;
      line->addWidget(w);
      if (c.hint && c.kind == CONTROL_EDIT) line->addWidget(new QLabel("<small>" + QString(c.hint).toHtmlEscaped() + "</small>"));
      auto* name = new QLabel(label);
      name->setBuddy(w);
      form->addRow(name, line);
    } else if (c.kind == CONTROL_CHECK && c.hint) {
      auto* line = new QHBoxLayout;
      line->addWidget(w);
      line->addWidget(new QLabel("<small>" + QString(c.hint).toHtmlEscaped() + "</small>"));
      form->addRow(line);
    } else {
      form->addRow(w);
    }
  }
  // The platform's gesture calls do not exist here: the page scrolls by wheel and bars.
  LogLine(LOG_CRLF, "Installing Gesture Support");
  auto* scroll = new QScrollArea;
  scroll->setWidget(inner);
  scroll->setWidgetResizable(true);
  message_ = new QLabel;
  message_->setObjectName("message");
  message_->setStyleSheet("color: #b00000");
  message_->setWordWrap(true);
  auto* undo = new QPushButton("Undo");
  undo->setObjectName("2");
  auto* saveButton = new QPushButton("Save");
  saveButton->setObjectName("1");
  saveButton->setDefault(true);
  connect(undo, &QPushButton::clicked, this, &PageDialog::reject);
  connect(saveButton, &QPushButton::clicked, this, &PageDialog::save);
  new QShortcut(QKeySequence::Save, this, [this] { save(); });
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(undo);
  buttons->addStretch();
  buttons->addWidget(saveButton);
  auto* top = new QVBoxLayout(this);
  top->addWidget(scroll);
  top->addWidget(message_);
  top->addLayout(buttons);
}

void PageDialog::showState() {
  for (int i = 0; i < layout_.count; ++i) {
    const PageControl& c = layout_.controls[i];
    QWidget* w = widgets_.value(c.id);
    if (!w) continue;
    const QString text = QString::fromUtf8(state_.text[i]);
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
      if (e->text() != text) e->setText(text);
      e->setStyleSheet(state_.invalid[i] ? "background: #ffe0e0" : "");
    } else if (auto* b = qobject_cast<QCheckBox*>(w)) {
      b->setCheckState(state_.check[i] == 2 ? Qt::PartiallyChecked : state_.check[i] ? Qt::Checked : Qt::Unchecked);
      if (c.kind == CONTROL_TRISTATE) b->setText(text);
    } else if (auto* r = qobject_cast<QRadioButton*>(w)) {
      r->setChecked(state_.check[i] != 0);
    } else if (auto* p = qobject_cast<QPushButton*>(w)) {
      if (!text.isEmpty()) p->setText(text);
    } else if (auto* l = qobject_cast<QLabel*>(w)) {
      l->setText(text);
    }
  }
  message_->setText(QString::fromUtf8(state_.message));
  // The whole message shows, however narrow the page: the label takes the height its lines need.
  message_->setMinimumHeight(message_->text().isEmpty() ? 0 : message_->heightForWidth(std::max(message_->width(), 200)));
}

void PageDialog::takeState() {
  for (int i = 0; i < layout_.count; ++i) {
    const PageControl& c = layout_.controls[i];
    QWidget* w = widgets_.value(c.id);
    if (!w) continue;
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
      snprintf(state_.text[i], kControlTextSize, "%s", e->text().toUtf8().constData());
    } else if (auto* b = qobject_cast<QCheckBox*>(w)) {
      if (c.kind == CONTROL_CHECK) state_.check[i] = b->isChecked() ? 1 : 0;
    } else if (auto* r = qobject_cast<QRadioButton*>(w)) {
      state_.check[i] = r->isChecked() ? 1 : 0;
    }
  }
}

QString PageDialog::message() const { return message_->text(); }

void PageDialog::save() {
  if (handler_.busy && handler_.busy(&state_)) return;
  takeState();
  const int saved = handler_.save ? handler_.save(&state_) : 1;
  showState();
  if (saved) accept();
}

void PageDialog::reject() {
  if (handler_.undo) handler_.undo();
  if (timer_) timer_->stop();
  QDialog::reject();
}
