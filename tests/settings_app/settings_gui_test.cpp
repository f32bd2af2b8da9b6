// The settings program against a running frxd, offscreen: the live status, the command line,
// a single instance, applying the system page, calibration and the cell service's page.
#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QSet>
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include "app_entry.h"
#include "calibration.h"
#include "cell_jobs.h"
#include "platform/service_ioctl.h"
#include <mutex>
#include "cell_control.h"
#include "cell_service/service_entry.h"
#include "host_fixture.h"
#include "main_window.h"
#include "page_dialog.h"
#include "pages.h"
#include "status_reader.h"
#include "status_view.h"

// Qt's font library keeps two allocations for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

QApplication* App() {
  static int argc = 1;
  static char name[] = "settings_gui_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return new QApplication(argc, argv);
  }();
  return app;
}

class SettingsGuiTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    App();
  }
  void TearDown() override {
    window_.reset();
    EndSettingsProgram();
    HostTest::TearDown();
  }
  // frxd, then the program's start and its window.
  void StartAll() {
    StartHost();
    StartSettingsLog();
    StartSettingsProgram();
    window_ = std::make_unique<MainWindow>();
    window_->show();
  }
  // Runs the event loop until `done` or `seconds` (real) pass.
  template <typename F>
  bool Until(F done, double seconds) {
    for (int i = 0; i < seconds * 50; ++i) {
      QApplication::processEvents(QEventLoop::AllEvents, 20);
      if (done()) return true;
      usleep(20000);
    }
    return done();
  }
  QString Shown() { return window_->statusView()->statusText(); }
  template <typename T>
  static T* Control(QWidget* page, int id) {
    return page->findChild<T*>(QString::number(id));
  }
  void Screenshot(QWidget* w, const char* name) {
    const char* dir = getenv("FERROX_SCREENSHOT_DIR");
    std::string folder = dir ? dir : root_;
    std::filesystem::create_directories(folder);
    const std::string scale = w->devicePixelRatioF() > 1.5 ? "@2x" : "";
    EXPECT_TRUE(w->grab().save(QString::fromStdString(folder + "/" + name + scale + ".png")));
  }
  // $GPRMC sentences the NMEA server sends in `ms` real milliseconds.
  int RmcIn(int ms) {
    int fd = Connect();
    std::string got;
    char buf[4096];
    for (int waited = 0; waited < ms; waited += 20) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 20) > 0) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
      }
    }
    close(fd);
    int count = 0;
    for (size_t at = got.find("$GPRMC"); at != std::string::npos; at = got.find("$GPRMC", at + 1)) ++count;
    return count;
  }
  std::unique_ptr<MainWindow> window_;
};

}  // namespace

TEST_F(SettingsGuiTest, TheFirstStartWritesBothProfilesAndTheStatusFollowsTheDriver) {
  // The program's first start (no main key at all), with its log on.
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, MAIN_KEY), ERROR_SUCCESS);
  StartSettingsLog();
  LogSetEnable(1);
  StartSettingsProgram();
  DWORD lag = 0;
  EXPECT_TRUE(GetDword(MAIN_KEY u"\\Profile2", u"LagAdvance", &lag));
  EXPECT_EQ(lag, 1500u);
  EXPECT_EQ(GetString(MAIN_KEY, u"Profile1Name"), u"Driving");
  LogLine(LOG_FLUSH, nullptr);
  EXPECT_NE(ReadWholeFile(root_ + "/Quorvale/FrxSettings.txt").find("Default for all Profiles"), std::string::npos);
  // The driver comes later: the status recovers by itself.
  window_ = std::make_unique<MainWindow>();
  window_->show();
  EXPECT_TRUE(Shown().contains("Driver not running")) << Shown().toStdString();
  StartHost();

  // The reader finds the driver by itself once frxd runs.
  ASSERT_TRUE(Until([&] {
    return !Shown().contains("Driver not running") && Shown().contains("Fix on") && !Shown().contains("NO Fix");
  }, 5)) << Shown().toStdString();
  EXPECT_TRUE(Shown().startsWith("Frx COM4")) << Shown().toStdString();
  EXPECT_TRUE(Shown().contains("Profile: Driving"));
}

namespace {

// What a user meets: a root as setup-root.sh makes it, with only the receiver mapped (the README's
// one step) and the NMEA server's port; no main key.
class SettingsJourneyTest : public SettingsGuiTest {
 protected:
  void SetUp() override {
    SettingsGuiTest::SetUp();
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, MAIN_KEY), ERROR_SUCCESS);
  }
  // After the driver had time for a reload: the NMEA server's batches come from the receiver on
  // COM4: with fixes (every RMC of status A, every $PGRMT naming COM4), none from a fallback.
  ::testing::AssertionResult ReceiverServes() {
    Until([] { return false; }, 1);  // 10 s of the driver's clock: any reload has happened
    int fd = Connect();
    std::string got;
    for (int i = 0; i < 10; ++i) got += Receive(fd, 200);
    close(fd);
    // A new connection starts with the last record the driver kept: judged from the second batch.
    got = got.substr(std::min(got.size(), got.find("$GPRMC,", got.find("$GPRMC,") + 1)));
    int rmc = 0, fixes = 0, fromReceiver = 0, labels = 0;
    for (size_t at = got.find("$GPRMC,"); at != std::string::npos; at = got.find("$GPRMC,", at + 1)) {
      ++rmc;
      fixes += got.compare(got.find(',', at + 7), 3, ",A,") == 0;
    }
    for (size_t at = got.find("$PGRMT,"); at != std::string::npos; at = got.find("$PGRMT,", at + 1)) {
      ++labels;
      fromReceiver += got.compare(at, 16, "$PGRMT,Frx COM4,") == 0;
    }
    if (rmc > 0 && fixes == rmc && labels > 0 && fromReceiver == labels) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << fixes << " fixes in " << rmc << " RMC, " << fromReceiver << " of "
                                         << labels << " $PGRMT from COM4:\n" << got.substr(0, 1500);
  }
  DWORD ProfileLag(int n) {
    DWORD lag = 0;
    GetDword(n == 1 ? MAIN_KEY u"\\Profile1" : MAIN_KEY u"\\Profile2", u"LagAdvance", &lag);
    return lag;
  }
};

}  // namespace

TEST_F(SettingsJourneyTest, AFirstDayOfTheProgramNeverTurnsOffTheReceiver) {
  std::string bus = StartPrivateBus();
  ASSERT_FALSE(HasFailure());
  setenv("FERROX_SYSTEM_BUS", bus.c_str(), 1);
  StartHost();
  unsetenv("FERROX_SYSTEM_BUS");
  EXPECT_TRUE(ReceiverServes()) << "before the program ran";
  // The program's first start writes the defaults; each page saved untouched.
  StartSettingsLog();
  StartSettingsProgram();
  window_ = std::make_unique<MainWindow>();
  window_->show();
  EXPECT_TRUE(ReceiverServes()) << "after the first start";
  for (int command : {MENU_SYSTEM, MENU_PROFILE1, MENU_PROFILE2, MENU_PORTS, MENU_COMPASS, MENU_EXTRAS}) {
    PageDialog* page = window_->makePage(command);
    page->show();
    QApplication::processEvents();
    QTest::mouseClick(Control<QPushButton>(page, COMMAND_SAVE), Qt::LeftButton);
    EXPECT_EQ(page->result(), QDialog::Accepted) << command << ": " << page->message().toStdString();
    delete page;
    EXPECT_TRUE(ReceiverServes()) << "after saving page " << command;
  }
  // The two profiles keep their own values through a switch the driver makes.
  PageDialog* first = window_->makePage(MENU_PROFILE1);
  Control<QLineEdit>(first, 1001)->setText("900");
  QTest::mouseClick(Control<QPushButton>(first, COMMAND_SAVE), Qt::LeftButton);
  delete first;
  const DWORD lag1 = ProfileLag(1), lag2 = ProfileLag(2);
  ASSERT_EQ(lag1, 900u);
  ASSERT_NE(lag2, lag1);
  std::string out;
  EXPECT_EQ(RunCommand(std::string(FERROX_SETTINGS_TOOL) + " --root " + root_ + " Profile=2", &out), 0) << out;
  EXPECT_TRUE(Until([&] { return g_System.CurrentProfile == 2; }, 5)) << "the window follows the driver";
  EXPECT_TRUE(ReceiverServes()) << "after Profile=2";
  PageDialog* page = window_->makePage(MENU_SYSTEM);
  QTest::mouseClick(Control<QPushButton>(page, COMMAND_SAVE), Qt::LeftButton);
  EXPECT_EQ(page->result(), QDialog::Accepted) << page->message().toStdString();
  delete page;
  EXPECT_EQ(ProfileLag(1), lag1);
  EXPECT_EQ(ProfileLag(2), lag2) << "profile 1's values saved into profile 2";
  // A suspend and resume: the driver's load after the wake still finds the receiver.
  ASSERT_TRUE(PrepareForSleep(bus, true));
  Until([] { return false; }, 1);
  ASSERT_TRUE(PrepareForSleep(bus, false));
  EXPECT_TRUE(ReceiverServes()) << "after a wake";
}

TEST_F(SettingsGuiTest, ProfileOptionReachesTheRunningDriverAndASecondStartRaisesTheFirst) {
  StartHost();
  std::string out;
  EXPECT_EQ(RunCommand(std::string(FERROX_SETTINGS_TOOL) + " --root " + root_ + " Profile=2", &out), 0) << out;
  HANDLE h = CreateFileW(u"COM8:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  bool switched = false;
  for (int i = 0; i < 20 && !switched; ++i) {  // 2 s of the driver's clock at most
    FixRecord raw{};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(h, &raw, sizeof raw, &got, nullptr));
    switched = raw.ProfileNumber == 2;
  }
  CloseHandle(h);
  EXPECT_TRUE(switched);

  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  Spawn({FERROX_SETTINGS_TOOL, "--root", root_});
  ASSERT_TRUE(WaitFor([&] { return Accepts(root_ + "/FerroxSetup.sock"); }));
  EXPECT_EQ(RunCommand(std::string(FERROX_SETTINGS_TOOL) + " --root " + root_ + " 2>&1", &out), 255) << out;
}

TEST_F(SettingsGuiTest, TwentyStartsAtOnceLeaveOneWindowWhichTakesTheCommandsOfLaterStarts) {
  StartHost();
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  std::vector<pid_t> starts;
  for (int i = 0; i < 20; ++i) starts.push_back(Spawn({FERROX_SETTINGS_TOOL, "--root", root_}));
  // All but one end (coming forward is asked of the one that stays); it alone listens.
  auto running = [&] {
    int n = 0;
    for (pid_t p : starts) n += waitpid(p, nullptr, WNOHANG) == 0;
    return n;
  };
  EXPECT_TRUE(WaitFor([&] { return running() == 1; }, 30)) << running() << " windows";
  ASSERT_TRUE(WaitFor([&] { return Accepts(root_ + "/FerroxSetup.sock"); }, 10));
  // A command line while the window runs: the window applies it, the start says so and ends.
  std::string out;
  EXPECT_EQ(RunCommand(std::string(FERROX_SETTINGS_TOOL) + " --root " + root_ + " Profile=2 2>&1", &out), 0) << out;
  EXPECT_NE(out.find("Profile=2 applied by the running window"), std::string::npos) << out;
  HANDLE h = CreateFileW(u"COM8:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  bool switched = false;
  auto start = std::chrono::steady_clock::now();
  while (!switched && std::chrono::steady_clock::now() - start < std::chrono::seconds(2)) {
    FixRecord raw{};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(h, &raw, sizeof raw, &got, nullptr));
    switched = raw.ProfileNumber == 2;
  }
  CloseHandle(h);
  EXPECT_TRUE(switched) << "the driver did not show profile 2 within 2 s";
  EXPECT_EQ(running(), 1) << "the command started a second window";
  // Values no setting takes are refused with a line, and nothing is stored.
  DWORD scan = 99;
  GetDword(MAIN_KEY, u"EnableScan", &scan);
  for (const char* bad : {"Scan=x", "Scan=-1", "Scan=9"}) {
    EXPECT_EQ(RunCommand(std::string(FERROX_SETTINGS_TOOL) + " --root " + root_ + " " + bad + " 2>&1", &out), 1)
        << bad << ": " << out;
    EXPECT_NE(out.find("Scan= takes one digit from 0 to 3"), std::string::npos) << out;
    DWORD now = 99;
    GetDword(MAIN_KEY, u"EnableScan", &now);
    EXPECT_EQ(now, scan) << bad;
  }
}

TEST_F(SettingsGuiTest, TheSystemPageReloadsTheDriverAndMovesItToANewPort) {
  StartAll();
  ASSERT_TRUE(Until([&] { return Shown().startsWith("Frx COM4") && Shown().contains("Fix on"); }, 3))
      << Shown().toStdString();
  EXPECT_TRUE(Shown().contains("Lat: 48.13")) << Shown().toStdString();  // the simulator's start
  window_->resize(480, 640);
  Screenshot(window_.get(), "main-text");
  QTest::mouseClick(window_->statusView(), Qt::LeftButton);
  EXPECT_TRUE(window_->statusView()->plotShown());
  Until([&] { return false; }, 1.5);  // a record with the satellites
  Screenshot(window_.get(), "main-plot");
  for (int command : {MENU_SYSTEM, MENU_PROFILE1, MENU_PORTS, MENU_COMPASS, MENU_EXTRAS}) {
    PageDialog* page = window_->makePage(command);
    page->resize(420, 700);
    page->show();
    QApplication::processEvents();
    Screenshot(page, (std::string("page-") + page->objectName().mid(5).toLower().toStdString()).c_str());
    page->reject();
    delete page;
  }
  const int before = RmcIn(3000);
  PageDialog* page = window_->makePage(MENU_SYSTEM);
  Control<QLineEdit>(page, 1003)->setText("500");
  QTest::mouseClick(Control<QPushButton>(page, COMMAND_SAVE), Qt::LeftButton);
  EXPECT_EQ(page->result(), QDialog::Accepted) << page->message().toStdString();
  delete page;
  EXPECT_TRUE(WaitFor([&] { return Log().find("Reloading Registry by Remote request") != std::string::npos; }, 10));
  const int after = RmcIn(3000);
  EXPECT_GE(after, before * 17 / 10) << before << " then " << after;

  page = window_->makePage(MENU_SYSTEM);
  Control<QLineEdit>(page, 1008)->setText("7");
  QTest::mouseClick(Control<QPushButton>(page, COMMAND_SAVE), Qt::LeftButton);
  delete page;
  HANDLE old = CreateFileW(u"COM8:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(old, INVALID_HANDLE_VALUE);
  if (old != INVALID_HANDLE_VALUE) CloseHandle(old);
  HANDLE now = CreateFileW(u"COM7:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(now, INVALID_HANDLE_VALUE);
  if (now != INVALID_HANDLE_VALUE) CloseHandle(now);
  StatusSnapshot s;
  ReadStatusSnapshot(&s);
  const DWORD records = s.records;
  EXPECT_TRUE(Until([&] {
    ReadStatusSnapshot(&s);
    return s.portOpen && s.records > records + 1;
  }, 3));
  EXPECT_EQ(std::u16string(s.port), u"COM7:");
  EXPECT_GT(RmcIn(2000), 0) << "the NMEA server follows the driver to its new port";
}

TEST_F(SettingsGuiTest, ARefusedPageKeepsWhatWasTypedSaysItWholeAndEveryFieldHasItsName) {
  StartAll();
  window_->resize(480, 640);
  PageDialog* page = window_->makePage(MENU_SYSTEM);
  page->resize(window_->size());
  page->show();
  QApplication::processEvents();
  Control<QLineEdit>(page, 1003)->setText("-5");
  Control<QLineEdit>(page, 1008)->setText("x");
  Control<QLineEdit>(page, 1006)->setText("0");
  QTest::mouseClick(Control<QPushButton>(page, COMMAND_SAVE), Qt::LeftButton);
  QApplication::processEvents();
  EXPECT_NE(page->result(), QDialog::Accepted);
  EXPECT_EQ(Control<QLineEdit>(page, 1003)->text(), "-5");
  EXPECT_EQ(Control<QLineEdit>(page, 1008)->text(), "x");
  auto* message = page->findChild<QLabel*>("message");
  ASSERT_TRUE(message);
  EXPECT_TRUE(message->text().contains("FerroxDriver Com Port")) << message->text().toStdString();
  EXPECT_TRUE(message->text().contains("Internal Gps Device Com Port")) << message->text().toStdString();
  EXPECT_GE(message->height(), message->heightForWidth(message->width())) << "the message is clipped";
  EXPECT_TRUE(page->rect().contains(message->geometry()));
  Screenshot(page, "page-refused");
  // Every field has a name a screen reader says, and no two the same; boxes that only show take no keys.
  QSet<QString> names;
  for (QLineEdit* e : page->findChildren<QLineEdit*>()) {
    EXPECT_FALSE(e->accessibleName().isEmpty()) << e->objectName().toStdString();
    EXPECT_FALSE(names.contains(e->accessibleName())) << e->accessibleName().toStdString();
    names.insert(e->accessibleName());
  }
  EXPECT_EQ(names.size(), 9);
  delete page;
  page = window_->makePage(MENU_COMPASS);
  for (QCheckBox* b : page->findChildren<QCheckBox*>()) {
    if (b->isTristate()) {
      EXPECT_EQ(b->focusPolicy(), Qt::NoFocus) << b->objectName().toStdString();
    }
  }
  delete page;
}

namespace {

// A cell service of this process whose Export holds its data for 2 s, as a long job does; a Stop
// waits for the data as the service's does.
std::mutex g_fakeData;
std::atomic<DWORD> g_fakeRunning{1};
std::atomic<DWORD> g_fakeCommand{0};  // the last control command it was given
DWORD FakeInit(LPCWSTR, const void*) { return 1; }
BOOL FakeDeinit(DWORD) { return TRUE; }
DWORD FakeOpen(DWORD, DWORD, DWORD) { return 2; }
BOOL FakeClose(DWORD) { return TRUE; }
DWORD FakeRead(DWORD, LPVOID, DWORD) { return 0; }
DWORD FakeWrite(DWORD, const void*, DWORD) { return 0; }
DWORD FakeSeek(DWORD, LONG, WORD) { return 0; }
void FakePower(DWORD) {}
BOOL FakeControl(DWORD, DWORD code, BYTE* in, DWORD inLength, BYTE* out, DWORD outLength, DWORD* actual) {
  if (code == IOCTL_SERVICE_CONTROL && in && inLength >= 4) {
    DWORD command;
    memcpy(&command, in, 4);
    g_fakeCommand = command;
  }
  if (code == IOCTL_SERVICE_STATUS && out && outLength >= 4) {
    DWORD running = g_fakeRunning;
    memcpy(out, &running, 4);
    if (actual) *actual = 4;
    return TRUE;
  }
  std::lock_guard<std::mutex> data(g_fakeData);
  if (code == IOCTL_SERVICE_CONTROL) usleep(2000000);
  if (code == IOCTL_SERVICE_STOP) g_fakeRunning = 0;
  if (code == IOCTL_SERVICE_START) g_fakeRunning = 1;
  return TRUE;
}

}  // namespace

TEST_F(SettingsGuiTest, TheWindowNeverWaitsForTheCellServiceAndEndsVisiblyAfterItsJob) {
  static const StreamEntryPoints entries = {FakeInit, FakeDeinit, FakeOpen, FakeClose, FakeRead,
                                            FakeWrite, FakeSeek, FakeControl, FakePower, FakePower};
  HANDLE fake = PlatformRegisterDevice(u"TWK", 1, &entries, 1, TRUE);
  ASSERT_TRUE(fake);
  g_fakeRunning = 1;
  StartSettingsLog();
  StartSettingsProgram();
  window_ = std::make_unique<MainWindow>();
  window_->show();
  PageDialog* page = window_->makePage(MENU_EXTRAS);
  page->show();
  QApplication::processEvents();
  auto clickTakes = [&](WORD id) {
    auto start = std::chrono::steady_clock::now();
    QTest::mouseClick(Control<QPushButton>(page, id), Qt::LeftButton);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  EXPECT_LT(clickTakes(1062), 0.5) << "Export";
  EXPECT_LT(clickTakes(1064), 0.5) << "Stop, behind the Export";
  // The Stop's result reaches the open page once the Export has let go of the data.
  EXPECT_TRUE(Until([&] { return Control<QPushButton>(page, 1064)->text() == "Start"; }, 6))
      << Control<QPushButton>(page, 1064)->text().toStdString();
  EXPECT_EQ(g_fakeRunning, 0u);
  // The other Export asks the service for the imported cells' map as well.
  EXPECT_EQ(g_fakeCommand, kControlMapTowers);
  EXPECT_LT(clickTakes(1067), 0.5) << "Export With Imported Cells";
  EXPECT_TRUE(Until([&] { return g_fakeCommand == kControlMapAllTowers; }, 6)) << g_fakeCommand;
  delete page;
  // Closed during a job: the window stays, says why, and closes when the job ends.
  RunCellTask([] { CellServiceExport(); });
  window_->close();
  QApplication::processEvents();
  EXPECT_TRUE(window_->isVisible());
  EXPECT_TRUE(window_->windowTitle().contains("waiting for the cell service")) << window_->windowTitle().toStdString();
  EXPECT_TRUE(Until([&] { return !window_->isVisible(); }, 6));
  PlatformDeregisterDevice(fake);
}

TEST_F(SettingsGuiTest, TheExtrasPageShowsAndTogglesTheCellServiceAndNoChangesNothing) {
  // The service runs while it holds the radio: a scripted one.
  const std::string script = root_ + "/radio.script", link = root_ + "/radio.sock";
  std::ofstream(script) << "operator 26201\ncell 262 1 4711 12345 0 2\n";
  Spawn({FERROX_SIM_TOOL, "radio", "--link", link, "--script", script});
  ASSERT_TRUE(WaitFor([&] { return FileExists(link); }));
  SetString(u"Software\\Quorvale\\Radio", u"Backend", u"scripted");
  SetString(u"Software\\Quorvale\\Radio", u"Link", Utf8ToWide(link.c_str()).c_str());
  StartAll();
  PageDialog* page = window_->makePage(MENU_EXTRAS);
  auto* running = Control<QAbstractButton>(page, 1097);
  auto* toggle = Control<QPushButton>(page, 1064);
  // The service's answers come from the worker: the page shows them when they are there.
  if (running->isChecked()) QTest::mouseClick(toggle, Qt::LeftButton);  // the driver may not have started it
  EXPECT_TRUE(Until([&] { return !running->isChecked(); }, 5));
  EXPECT_EQ(toggle->text(), "Start");
  QTest::mouseClick(toggle, Qt::LeftButton);
  EXPECT_TRUE(Until([&] { return running->isChecked(); }, 5));
  EXPECT_EQ(toggle->text(), "Stop");
  for (int kill : {1061, 1052}) {
    QTimer::singleShot(200, [] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box) box->button(QMessageBox::No)->click();
    });
    QTest::mouseClick(Control<QPushButton>(page, kill), Qt::LeftButton);
  }
  EXPECT_TRUE(FileExists(root_ + "/Windows/AltitudeTable_1.RAW"));
  QTest::mouseClick(running, Qt::LeftButton);  // asks again
  EXPECT_TRUE(Until([&] { return running->isChecked() && CellJobsPending() == 0; }, 5));
  EXPECT_NE(CellServiceStatus(), 0u);
  page->reject();
  delete page;
}

namespace {

// A straight drive east at 30 km/h with a portrait compass that reads 100.
class SettingsCalibrationTest : public SettingsGuiTest {
 protected:
  void SetUp() override {
    SettingsGuiTest::SetUp();
    const std::string script = root_ + "/sensors.txt";
    std::ofstream(script) << "0 0 1000 0 100\n";
    SetString(u"Software\\Quorvale\\Sensors", u"Backend", Utf8ToWide(("script:" + script).c_str()).c_str());
    SetDword(SENSOR_KEY, u"AutoEnable", 0);
    SetDword(MAIN_KEY, u"CurrentProfile", 1);
    SetDword(MAIN_KEY u"\\Profile1", u"DeltaDistance", 30);
    SetDword(MAIN_KEY u"\\Profile1", u"EnableCompass", 1);
    SetDword(MAIN_KEY u"\\Profile1", u"MagVal", 3);
    SetDword(MAIN_KEY u"\\Profile1", u"MagLand", 4);
  }
  std::vector<std::string> ReceiverArgs() override { return {"--speed", "30", "--heading", "90"}; }
  DWORD StoredMagVal() {
    DWORD v = 0xDEAD;
    GetDword(MAIN_KEY u"\\Profile1", u"MagVal", &v);
    return v;
  }
};

}  // namespace

TEST_F(SettingsCalibrationTest, ADriveMeasuresTheOffsetAndAbortOrClosingRestoresTheOldOne) {
  StartAll();
  PageDialog* page = window_->makePage(MENU_COMPASS);
  page->show();
  auto* calibrate = Control<QPushButton>(page, 1042);
  QTest::mouseClick(calibrate, Qt::LeftButton);
  EXPECT_EQ(calibrate->text(), "Abort");
  EXPECT_EQ(StoredMagVal(), 0u);  // measured with zero offsets
  ASSERT_TRUE(Until([&] { return calibrate->text() == "Calibrate"; }, 20)) << page->message().toStdString();
  EXPECT_EQ(Control<QAbstractButton>(page, 1045)->text(), "Complete");
  EXPECT_EQ(Control<QLineEdit>(page, 1039)->text(), "10");
  QTest::mouseClick(Control<QPushButton>(page, COMMAND_SAVE), Qt::LeftButton);
  delete page;
  EXPECT_EQ(StoredMagVal(), 10u);

  // Abort: the kept offset comes back, and Undo stores it.
  page = window_->makePage(MENU_COMPASS);
  page->show();
  calibrate = Control<QPushButton>(page, 1042);
  QTest::mouseClick(calibrate, Qt::LeftButton);
  Until([] { return false; }, 0.3);
  QTest::mouseClick(calibrate, Qt::LeftButton);
  EXPECT_EQ(Control<QAbstractButton>(page, 1045)->text(), "Aborted");
  EXPECT_EQ(Control<QLineEdit>(page, 1039)->text(), "10");
  page->reject();
  delete page;
  EXPECT_EQ(StoredMagVal(), 10u);

  // Closing the window during a run.
  page = window_->makePage(MENU_COMPASS);
  page->setAttribute(Qt::WA_DeleteOnClose);
  page->setWindowModality(Qt::ApplicationModal);  // as the menu runs it
  page->show();
  QTest::mouseClick(Control<QPushButton>(page, 1042), Qt::LeftButton);
  EXPECT_EQ(StoredMagVal(), 0u);
  window_->close();
  EXPECT_EQ(StoredMagVal(), 10u);
}

TEST_F(SettingsGuiTest, WithoutADisplayItSaysSoInOneLine) {
  std::string out;
  EXPECT_EQ(RunCommand("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + std::string(FERROX_SETTINGS_TOOL) +
                           " --root " + root_ + " 2>&1",
                       &out),
            1);
  EXPECT_EQ(out, "ferrox-settings: no display (neither DISPLAY nor WAYLAND_DISPLAY is set)\n");
}
