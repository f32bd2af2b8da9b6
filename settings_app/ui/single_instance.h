// One settings program per data root: the first listens on a local socket under the root; a
// later start connects, asks it to come forward, and ends.
#pragma once
#include <QObject>
#include <QString>

class QLocalServer;

// 1 when another instance answered on `path` and was asked to come forward.
int RaiseRunningInstance(const QString& path);

class SingleInstance : public QObject {
  Q_OBJECT
 public:
  explicit SingleInstance(const QString& path, QObject* parent = nullptr);
  bool listening() const;
 signals:
  void raiseRequested();

 private:
  QLocalServer* server_;
};
