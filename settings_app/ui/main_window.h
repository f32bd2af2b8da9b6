// The settings program's main window: the menu of pages and the live status view.
#pragma once
#include <QMainWindow>

class QAction;
class StatusView;
class PageDialog;

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  MainWindow();
  ~MainWindow() override;
  StatusView* statusView() const { return view_; }
  // Builds the page of a menu command (201..209); the caller runs or shows it.
  PageDialog* makePage(int command);
 public slots:
  void openPage(int command);
  void bringForward();
  // A command line another start handed over ("Profile=2", "Scan=1"): applied here, where the
  // settings are held, and the window shows the result.
  void applyCommand(const QString& line);

 protected:
  void closeEvent(QCloseEvent* e) override;

 private:
  void updateProfileItems();
  StatusView* view_;
  QAction* profile1_;
  QAction* profile2_;
};
