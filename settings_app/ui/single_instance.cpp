#include "single_instance.h"
#include <QLocalServer>
#include <QLocalSocket>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cstring>

int RaiseRunningInstance(const QString& path) {
  // Plain sockets: this runs before the application object exists (a command-line run has none).
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  QByteArray p = path.toLocal8Bit();
  if (static_cast<size_t>(p.size()) >= sizeof a.sun_path) {
    close(fd);
    return 0;
  }
  memcpy(a.sun_path, p.constData(), static_cast<size_t>(p.size()));
  int raised = 0;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    raised = write(fd, "raise\n", 6) == 6;
  }
  close(fd);
  return raised;
}

SingleInstance::SingleInstance(const QString& path, QObject* parent) : QObject(parent), server_(new QLocalServer(this)) {
  QLocalServer::removeServer(path);  // nobody answered on it: a socket left by an ended instance
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  server_->listen(path);
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* s = server_->nextPendingConnection()) {
      connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
      emit raiseRequested();
    }
  });
}

bool SingleInstance::listening() const { return server_->isListening(); }
