#include "cell_jobs.h"
#include <QThreadPool>
#include <atomic>

namespace {

std::atomic<int> g_pending{0};
std::atomic<long long> g_status{-1};  // -1: nothing new

QThreadPool& Worker() {
  static QThreadPool* pool = [] {
    auto* p = new QThreadPool;
    p->setMaxThreadCount(1);  // in the order they were asked for
    p->setExpiryTimeout(-1);
    return p;
  }();
  return *pool;
}

}  // namespace

void RunCellJob(std::function<DWORD()> call) {
  ++g_pending;
  Worker().start([call] {
    g_status = call();
    --g_pending;
  });
}

void RunCellTask(std::function<void()> call) {
  ++g_pending;
  Worker().start([call] {
    call();
    --g_pending;
  });
}

bool TakeCellJobStatus(DWORD* status) {
  long long s = g_status.exchange(-1);
  if (s < 0) return false;
  *status = static_cast<DWORD>(s);
  return true;
}

int CellJobsPending() { return g_pending; }
