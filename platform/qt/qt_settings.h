// The panel's remembered settings as one human-readable INI file in the
// user's configuration directory ($XDG_CONFIG_HOME/mdq/mdq.ini).
#pragma once

#include <QString>

#include "backend.h"

namespace mdq::platform {

class QtSettingsStore : public SettingsStore {
 public:
  QtSettingsStore();
  std::string location() const override;
  Read read(std::map<std::string, std::string>* values, std::string* why) override;
  bool write(const std::map<std::string, std::string>& values, std::string* why) override;
  std::string setAside() override;

 private:
  QString path_;
};

}  // namespace mdq::platform
