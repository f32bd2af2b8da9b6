#include "sensor_backend.h"

std::unique_ptr<SensorBackend> MakeSensorBackend(const std::string& choice, const std::string& iioRoot) {
  if (choice == "none") return nullptr;
  if (choice == "iio") return MakeIioBackend(iioRoot);
  if (choice == "proxy") return MakeProxyBackend();
  if (choice.rfind("script:", 0) == 0) return MakeScriptBackend(choice.substr(7));
  if (choice != "auto" && !choice.empty()) return nullptr;
  // The proxy, where it runs, owns the sensors and knows their mounting; raw IIO otherwise.
  if (auto proxy = MakeProxyBackend()) return proxy;
  return MakeIioBackend(iioRoot);
}
