// A settings page as a dialog: its controls are built from the page's control table (each
// carries its control id as object name), "Undo" and "Save" at the bottom, Esc = Undo,
// Ctrl+S = Save. What the page does is given by its handler.
#pragma once
#include <QDialog>
#include <QHash>
#include <functional>
#include "page_model.h"

class QLabel;
class QTimer;

struct PageHandler {
  std::function<void(PageState*)> fill;
  std::function<int(PageState*)> save;           // 1: saved, the page closes
  std::function<void()> undo;                    // on Undo and on every other way out
  std::function<void(WORD, PageState*, QWidget*)> button;  // a button or an acting check box
  std::function<void(PageState*)> tick;          // every 100 ms while open (progress)
  std::function<bool(PageState*)> busy;          // while true, Save and Undo are refused
  QList<WORD> actingChecks;                      // check boxes that act when clicked
};

class PageDialog : public QDialog {
  Q_OBJECT
 public:
  PageDialog(const PageLayout& layout, PageHandler handler, QWidget* parent);
  PageState& state() { return state_; }
  // Widgets from the state, and the state from the widgets.
  void showState();
  void takeState();
  QString message() const;

 public slots:
  void save();
  void reject() override;  // Undo

 private:
  void build();
  const PageLayout& layout_;
  PageHandler handler_;
  PageState state_;
  QHash<int, QWidget*> widgets_;
  QLabel* message_ = nullptr;
  QTimer* timer_ = nullptr;
};
