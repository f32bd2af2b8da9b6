#include "main_window.h"
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QMenuBar>
#include <QMessageBox>
#include <QThreadPool>
#include <QTimer>
#include <QShortcut>
#include "calibration.h"
#include "cell_control.h"
#include "cell_jobs.h"
#include "page_dialog.h"
#include "pages.h"
#include "settings_store/settings.h"
#include "status_reader.h"
#include "status_view.h"
#include "app_entry.h"

namespace {

// The reader thread asks for a repaint; the view is touched on the window's thread only.
void StatusChanged(void* context) {
  QMetaObject::invokeMethod(static_cast<StatusView*>(context), "refresh", Qt::QueuedConnection);
}

bool Ask(QWidget* parent, const char* text) {
  return QMessageBox::question(parent, KILL_QUESTION_CAPTION, text, QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::No) == QMessageBox::Yes;
}

PageHandler ExtrasHandler() {
  PageHandler h;
  h.fill = [](PageState* s) { FillExtrasPage(s, CellServiceStatus()); };
  // The settings are stored at once; the service is told on the worker.
  h.save = [](PageState* s) {
    if (!SaveExtrasSettings(s)) return 0;
    RunCellJob([]() -> DWORD {
      ApplyCellServiceSetting();
      return CellServiceStatus();
    });
    return 1;
  };
  h.actingChecks = {1097};
  // A status a call left on the worker shows on the page that is open.
  h.tick = [](PageState* s) {
    DWORD status;
    if (TakeCellJobStatus(&status)) ShowCellStatus(s, status);
  };
  h.button = [](WORD id, PageState* s, QWidget* page) {
    switch (id) {
      case 1060: RunCellJob([]() -> DWORD { CellServiceRefresh(); return CellServiceStatus(); }); break;
      case 1064: RunCellJob([]() -> DWORD { return CellServiceToggle(); }); break;
      case 1097: RunCellJob([]() -> DWORD { return CellServiceStatus(); }); break;
      case 1062: RunCellTask([] { CellServiceExport(); }); break;
      case 1067: RunCellTask([] { CellServiceExportWithImported(); }); break;
      case 1063: RunCellTask([] { CellServiceUpdate(); }); break;
      case 1061:
        if (Ask(page, KILL_SERVICE_QUESTION)) RunCellJob([]() -> DWORD { return KillCellService(); });
        break;
      case 1052:
        if (Ask(page, KILL_TABLE_QUESTION)) RemoveAltitudeTable();
        break;
    }
    (void)s;
  };
  return h;
}

PageHandler CompassHandler() {
  PageHandler h;
  h.fill = FillCompassPage;
  h.save = SaveCompassPage;
  h.undo = [] {
    CalibrationView v;
    ReadCalibrationView(&v);
    if (v.running) AbortCalibration();
    TakeCalibrationResult();
    UndoCompassPage();
  };
  h.busy = [](PageState*) {
    CalibrationView v;
    ReadCalibrationView(&v);
    return v.running != 0;
  };
  h.tick = RefreshCompassPage;
  h.button = [](WORD id, PageState* s, QWidget* page) {
    CalibrationView v;
    ReadCalibrationView(&v);
    if (v.running && id != 1042) return;  // a run takes only its Abort
    if (id == 1040 || id == 1041) ResetCompassOffset(id, s);
    else if (id == 1042) ToggleCalibration(s);
    else if (id == 1043) {
      QString help;
      for (const char* t : kCompassHelp) help += QString::fromUtf8(t) + "\n\n";
      QMessageBox::information(page, "Help", help.trimmed());
    }
  };
  return h;
}

}  // namespace

MainWindow::MainWindow() {
  setObjectName(SETTINGS_WINDOW_NAME);
  setWindowTitle("Ferrox");
  setWindowIcon(QIcon::fromTheme("ferrox-settings"));
  view_ = new StatusView(this);
  setCentralWidget(view_);
  QMenu* menu = menuBar()->addMenu("Menu");
  profile1_ = menu->addAction("Profile 1", this, [this] { openPage(MENU_PROFILE1); });
  profile2_ = menu->addAction("Profile 2", this, [this] { openPage(MENU_PROFILE2); });
  profile1_->setCheckable(true);
  profile2_->setCheckable(true);
  menu->addAction("Compass", this, [this] { openPage(MENU_COMPASS); });
  menu->addAction("System", this, [this] { openPage(MENU_SYSTEM); });
  menu->addAction("Extras", this, [this] { openPage(MENU_EXTRAS); });
  menu->addAction("Ports", this, [this] { openPage(MENU_PORTS); });
  connect(menu, &QMenu::aboutToShow, this, &MainWindow::updateProfileItems);
  QAction* exit = menuBar()->addAction("Exit", this, &QWidget::close);
  exit->setObjectName("exit");
  new QShortcut(QKeySequence("Ctrl+Q"), this, [this] { close(); });
  resize(480, 640);
  SetStatusListener(StatusChanged, view_);
  view_->refresh();
}

MainWindow::~MainWindow() { SetStatusListener(nullptr, nullptr); }

void MainWindow::updateProfileItems() {
  char name[64];
  profile1_->setText(QString::fromUtf8(ProfileName(1, name, sizeof name)));
  profile2_->setText(QString::fromUtf8(ProfileName(2, name, sizeof name)));
  profile1_->setChecked(g_System.CurrentProfile == 1);
  profile2_->setChecked(g_System.CurrentProfile == 2);
}

PageDialog* MainWindow::makePage(int command) {
  PageHandler h;
  switch (command) {
    case MENU_SYSTEM:
      h.fill = FillSystemPage;
      h.save = SaveSystemPage;
      return new PageDialog(kSystemPage, h, this);
    case MENU_PROFILE1:
    case MENU_PROFILE2: {
      const DWORD n = command == MENU_PROFILE1 ? 1 : 2;
      h.fill = [n](PageState* s) { FillProfilePage(n, s); };
      h.save = [n](PageState* s) { return SaveProfilePage(n, s); };
      h.undo = UndoProfilePage;
      h.button = [n](WORD id, PageState* s, QWidget*) {
        if (id == 1029) ProfileDefaults(n, s);
      };
      auto* page = new PageDialog(kProfilePage, h, this);
      char name[64];
      page->setWindowTitle(QString::fromUtf8(ProfileName(n, name, sizeof name)));
      return page;
    }
    case MENU_PORTS:
      h.fill = FillPortsPage;
      h.save = SavePortsPage;
      return new PageDialog(kPortsPage, h, this);
    case MENU_COMPASS:
      return new PageDialog(kCompassPage, CompassHandler(), this);
    case MENU_EXTRAS:
      return new PageDialog(kExtrasPage, ExtrasHandler(), this);
  }
  return nullptr;
}

void MainWindow::openPage(int command) {
  PageDialog* page = makePage(command);
  if (!page) return;
  page->setAttribute(Qt::WA_DeleteOnClose);
  page->exec();
  view_->refresh();
}

void MainWindow::bringForward() {
  // The open page, if any, comes forward with the window.
  show();
  setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  raise();
  activateWindow();
  if (QWidget* modal = QApplication::activeModalWidget()) {
    modal->raise();
    modal->activateWindow();
  }
}

void MainWindow::applyCommand(const QString& line) {
  QByteArray text = line.toUtf8();
  RunCommandOptions(text.constData());
  // The records now hold the stored profile's number: its values too, unless a page shows the
  // old ones (the status reader's switch takes them once it closes).
  if (!QApplication::activeModalWidget()) LoadProfile(g_System.CurrentProfile);
  updateProfileItems();
  view_->refresh();
}

void MainWindow::closeEvent(QCloseEvent* e) {
  // A cell service job still running: the window stays, says so, and closes once it has ended
  // (a hidden process would hold the program's place and turn every later start away).
  if (CellJobsPending() > 0) {
    e->ignore();
    setWindowTitle("Ferrox Settings: waiting for the cell service to finish");
    view_->setEnabled(false);
    QTimer::singleShot(200, this, &QWidget::close);
    return;
  }
  // A page still open is left by its Undo: a calibration's zero offsets never stay saved.
  while (QWidget* modal = QApplication::activeModalWidget()) {
    if (auto* page = qobject_cast<PageDialog*>(modal)) page->reject();
    else modal->close();
    if (QApplication::activeModalWidget() == modal) break;
  }
  e->accept();
}
