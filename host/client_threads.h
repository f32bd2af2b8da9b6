// The threads that serve the host's clients: started one per client, reaped when they end, and
// all joined when the host stops, so that none is still inside a driver when it is deactivated.
#pragma once
#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

class ClientThreads {
 public:
  void Start(std::function<void()> serve) {
    std::lock_guard<std::mutex> lock(lock_);
    Reap();
    auto client = std::make_unique<Client>();
    Client* c = client.get();
    c->thread = std::thread([c, serve = std::move(serve)] {
      serve();
      c->done = true;
    });
    clients_.push_back(std::move(client));
  }
  void JoinAll() {
    std::list<std::unique_ptr<Client>> all;
    {
      std::lock_guard<std::mutex> lock(lock_);
      all.swap(clients_);
    }
    for (auto& c : all) c->thread.join();
  }
  ~ClientThreads() { JoinAll(); }

 private:
  struct Client {
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void Reap() {  // under lock_
    for (auto it = clients_.begin(); it != clients_.end();) {
      if ((*it)->done) {
        (*it)->thread.join();
        it = clients_.erase(it);
      } else {
        ++it;
      }
    }
  }
  std::mutex lock_;
  std::list<std::unique_ptr<Client>> clients_;
};
