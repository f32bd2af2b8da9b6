// One settings program per data root: the first takes an exclusive lock on a file under the root
// and, holding it, listens on a local socket there; a later start finds the lock taken, connects
// (waiting a moment for a first that is still starting), and either asks it to come forward or
// hands it its command line to apply.
#pragma once
#include <QObject>
#include <QString>
#include <string>

class QLocalServer;

// Takes the program's lock for the life of the process; false when another instance holds it.
bool TakeInstanceLock(const QString& lockPath);
// Sends `message` ("raise", or "command LINE") to the instance listening on `path`, waiting up to
// `waitMs` for one that holds the lock but does not listen yet; 1 when it took it.
int TellRunningInstance(const QString& path, const std::string& message, int waitMs);

class SingleInstance : public QObject {
  Q_OBJECT
 public:
  // Listens on `path`; only the holder of the lock may (it removes a socket an ended one left).
  explicit SingleInstance(const QString& path, QObject* parent = nullptr);
  bool listening() const;
 signals:
  void raiseRequested();
  void commandRequested(const QString& line);

 private:
  QLocalServer* server_;
};
