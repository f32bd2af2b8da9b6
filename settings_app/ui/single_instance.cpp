#include "single_instance.h"
#include <QLocalServer>
#include <QLocalSocket>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

bool TakeInstanceLock(const QString& lockPath) {
  int fd = open(lockPath.toLocal8Bit().constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return true;  // a root that cannot hold the lock: nothing to keep apart from
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;  // held until the process ends
  close(fd);
  return false;
}

int TellRunningInstance(const QString& path, const std::string& message, int waitMs) {
  // Plain sockets: this runs before the application object exists (a command-line run has none).
  QByteArray p = path.toLocal8Bit();
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (static_cast<size_t>(p.size()) >= sizeof a.sun_path) return 0;
  memcpy(a.sun_path, p.constData(), static_cast<size_t>(p.size()));
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      std::string line = message + "\n";
      bool sent = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
      char ack = 0;
      bool taken = sent && read(fd, &ack, 1) == 1 && ack == 'y';  // the instance took it
      close(fd);
      return taken;
    }
    close(fd);
    if (std::chrono::steady_clock::now() >= until) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

SingleInstance::SingleInstance(const QString& path, QObject* parent) : QObject(parent), server_(new QLocalServer(this)) {
  QLocalServer::removeServer(path);  // the lock's holder alone gets here: a socket left by an ended one
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  server_->listen(path);
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* s = server_->nextPendingConnection()) {
      connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
      connect(s, &QLocalSocket::readyRead, this, [this, s] {
        while (s->canReadLine()) {
          QString line = QString::fromUtf8(s->readLine()).trimmed();
          if (line == "raise") emit raiseRequested();
          else if (line.startsWith("command ")) emit commandRequested(line.mid(8));
          else continue;
          s->write("y");
          s->flush();
        }
      });
    }
  });
}

bool SingleInstance::listening() const { return server_->isListening(); }
